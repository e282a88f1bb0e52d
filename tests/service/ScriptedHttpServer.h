#pragma once

#include <QTcpServer>
#include <QUrl>

// An HTTP/1.1 server on 127.0.0.1 that answers each request with the next scripted reply and
// records what it received, so tests see exactly what was sent.
class ScriptedHttpServer : public QObject {
public:
    struct Reply {
        // Cut and Stalled announce one byte more than `body`, then close or fall silent.
        enum class Ending { Complete, Cut, Stalled };
        int status = 200;
        QByteArray body{};
        QByteArray headers{}; // whole lines, each ending in CRLF
        int delayMs = 0;
        bool dropConnection = false; // close without sending a byte
        Ending ending = Ending::Complete;
        // Instead of `body`, this many bytes of filler as fast as the client reads, chunked or not.
        qint64 streamed = 0;
        bool chunked = false;
    };
    struct Request {
        QByteArray method, target;
        QMap<QByteArray, QByteArray> headers; // names in lower case
        QByteArray body;
    };

    explicit ScriptedHttpServer(QObject* parent = nullptr);
    QUrl url() const { return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_server->serverPort())); }
    void enqueue(Reply reply) { m_replies << std::move(reply); }
    void enqueueJson(int status, const QByteArray& json) { enqueue({status, json}); }
    // Requests for this target get these replies in turn, round and round, outside the queue.
    void answerInTurn(const QByteArray& target, QList<Reply> replies) { m_rotations[target] = {replies, 0}; }
    void answerAlways(const QByteArray& target, Reply reply) { answerInTurn(target, {std::move(reply)}); }
    qint64 streamedBytes() const { return m_streamed; }
    // A long run keeps no record, so that the server's memory stays flat.
    void setRecording(bool on) { m_recording = on; }
    const QList<Request>& requests() const { return m_requests; }

private:
    void serve(QTcpSocket* socket);
    void answer(QTcpSocket* socket, const Reply& reply);
    QTcpServer* m_server = new QTcpServer(this);
    QList<Reply> m_replies;
    QMap<QByteArray, std::pair<QList<Reply>, qsizetype>> m_rotations;
    QList<Request> m_requests;
    qint64 m_streamed = 0;
    bool m_recording = true;
};

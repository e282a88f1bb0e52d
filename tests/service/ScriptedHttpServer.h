#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>
#include <QTcpServer>
#include <QUrl>

// An HTTP/1.1 server on 127.0.0.1 that answers each request with the next scripted reply and
// records what it received, so tests see exactly what the client sent.
class ScriptedHttpServer : public QObject {
    Q_OBJECT

public:
    struct Reply {
        int status = 200;
        QByteArray body;
        QList<std::pair<QByteArray, QByteArray>> headers;
        int delayMs = 0;
        bool dropConnection = false;
    };
    struct Request {
        QByteArray method;
        QByteArray target;
        QMap<QByteArray, QByteArray> headers; // names in lower case
        QByteArray body;
    };

    explicit ScriptedHttpServer(QObject* parent = nullptr);
    QUrl url() const;
    void enqueue(Reply reply) { m_replies << std::move(reply); }
    void enqueueJson(int status, const QByteArray& json) { enqueue({status, json, {}, 0, false}); }
    // Requests for this target always get this reply, outside the queue.
    void answerAlways(const QByteArray& target, Reply reply) { m_fixed.insert(target, std::move(reply)); }
    const QList<Request>& requests() const { return m_requests; }

private:
    void onConnection();
    QTcpServer m_server;
    QList<Reply> m_replies;
    QMap<QByteArray, Reply> m_fixed;
    QList<Request> m_requests;
};

#include "ScriptedHttpServer.h"

#include <QTcpSocket>
#include <QTimer>

ScriptedHttpServer::ScriptedHttpServer(QObject* parent)
    : QObject(parent) {
    m_server.listen(QHostAddress::LocalHost, 0);
    connect(&m_server, &QTcpServer::newConnection, this, &ScriptedHttpServer::onConnection);
}

QUrl ScriptedHttpServer::url() const {
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort()));
}

void ScriptedHttpServer::onConnection() {
    while (QTcpSocket* socket = m_server.nextPendingConnection()) {
        auto buffer = std::make_shared<QByteArray>();
        const int connection = ++m_connections;
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer, connection] {
            *buffer += socket->readAll();
            const qsizetype end = buffer->indexOf("\r\n\r\n");
            if (end < 0) {
                return;
            }
            Request request;
            request.connection = connection;
            const QList<QByteArray> lines = buffer->left(end).split('\n');
            const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
            request.method = first.value(0);
            request.target = first.value(1);
            for (qsizetype i = 1; i < lines.size(); ++i) {
                const qsizetype colon = lines[i].indexOf(':');
                if (colon > 0) {
                    request.headers.insert(lines[i].left(colon).trimmed().toLower(), lines[i].mid(colon + 1).trimmed());
                }
            }
            const qsizetype length = request.headers.value("content-length").toLongLong();
            if (buffer->size() < end + 4 + length) {
                return;
            }
            request.body = buffer->mid(end + 4, length);
            buffer->remove(0, end + 4 + length);
            ++m_count;
            if (m_stream) {
                const auto [total, announce] = *m_stream;
                m_stream.reset();
                stream(socket, total, announce);
                return;
            }
            Reply reply{404, {}, {}, 0, false};
            if (auto turn = m_rotations.find(request.target); turn != m_rotations.end() && !turn->first.isEmpty()) {
                reply = turn->first.at(turn->second++ % turn->first.size());
            } else if (m_fixed.contains(request.target)) {
                reply = m_fixed.value(request.target);
            } else if (!m_replies.isEmpty()) {
                reply = m_replies.takeFirst();
            }
            if (m_recording) {
                m_requests << std::move(request);
            }
            QTimer::singleShot(reply.delayMs, socket, [socket, reply] {
                if (reply.dropConnection) {
                    socket->abort();
                    return;
                }
                const bool complete = reply.ending == Reply::Ending::Complete;
                QByteArray out = "HTTP/1.1 " + QByteArray::number(reply.status) + " Scripted\r\n";
                out += "Content-Length: " + QByteArray::number(reply.body.size() + (complete ? 0 : 1)) + "\r\n";
                for (const auto& [name, value] : reply.headers) {
                    out += name + ": " + value + "\r\n";
                }
                out += (reply.keepAlive ? "\r\n" : "Connection: close\r\n\r\n") + reply.body;
                socket->write(out);
                if (reply.ending != Reply::Ending::Stalled && !reply.keepAlive) {
                    socket->disconnectFromHost();
                }
            });
        });
    }
}

void ScriptedHttpServer::stream(QTcpSocket* socket, qint64 total, bool announceLength) {
    QByteArray head = "HTTP/1.1 200 Scripted\r\nContent-Type: application/json\r\n";
    head += announceLength ? "Content-Length: " + QByteArray::number(total) + "\r\n" : "Transfer-Encoding: chunked\r\n";
    socket->write(head + "Connection: close\r\n\r\n");
    struct Progress {
        qint64 sent = 0;
        bool ended = false;
    };
    auto progress = std::make_shared<Progress>();
    const QByteArray filler(64 * 1024, 'x');
    // Keeps a few chunks in flight; a client that stops reading stops the stream.
    auto refill = [this, socket, progress, total, announceLength, filler] {
        while (progress->sent < total && socket->bytesToWrite() < 4 * filler.size()) {
            const auto size = static_cast<qsizetype>(std::min<qint64>(filler.size(), total - progress->sent));
            const QByteArray piece = filler.left(size);
            socket->write(announceLength ? piece : QByteArray::number(size, 16) + "\r\n" + piece + "\r\n");
            progress->sent += size;
            m_streamed = progress->sent;
        }
        if (progress->sent >= total && !progress->ended) {
            progress->ended = true;
            if (!announceLength) {
                socket->write("0\r\n\r\n");
            }
            socket->disconnectFromHost();
        }
    };
    connect(socket, &QTcpSocket::bytesWritten, socket, refill);
    refill();
}

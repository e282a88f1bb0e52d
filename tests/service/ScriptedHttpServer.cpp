#include "ScriptedHttpServer.h"

#include <QSslServer>
#include <QTcpSocket>
#include <QTimer>

ScriptedHttpServer::ScriptedHttpServer(QObject* parent, const std::optional<QSslConfiguration>& tls)
    : QObject(parent)
    , m_server(tls ? new QSslServer(this) : new QTcpServer(this)) {
    if (tls) {
        static_cast<QSslServer*>(m_server)->setSslConfiguration(*tls);
    }
    m_server->listen(QHostAddress::LocalHost, 0);
    // Emitted only once a TLS handshake is through.
    connect(m_server, &QTcpServer::pendingConnectionAvailable, this, [this] {
        while (QTcpSocket* socket = m_server->nextPendingConnection()) {
            serve(socket, ++m_connections);
        }
    });
}

QUrl ScriptedHttpServer::url() const {
    const bool secure = qobject_cast<QSslServer*>(m_server);
    return QUrl(QStringLiteral("%1://127.0.0.1:%2").arg(secure ? u"https" : u"http").arg(m_server->serverPort()));
}

void ScriptedHttpServer::serve(QTcpSocket* socket, int connection) {
    auto buffer = std::make_shared<QByteArray>();
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer, connection] {
        *buffer += socket->readAll();
        const qsizetype end = buffer->indexOf("\r\n\r\n");
        Request request{{}, {}, {}, {}, connection};
        const QList<QByteArray> lines = buffer->left(end).split('\n');
        for (const QByteArray& line : lines.mid(1)) {
            if (const qsizetype colon = line.indexOf(':'); colon > 0) {
                request.headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
            }
        }
        const qsizetype length = request.headers.value("content-length").toLongLong();
        if (end < 0 || buffer->size() < end + 4 + length) {
            return;
        }
        const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
        request.method = first.value(0), request.target = first.value(1);
        request.body = buffer->mid(end + 4, length);
        buffer->remove(0, end + 4 + length);
        if (const auto streamed = std::exchange(m_stream, std::nullopt)) {
            return stream(socket, streamed->first, streamed->second);
        }
        Reply reply{404};
        if (auto turn = m_rotations.find(request.target); turn != m_rotations.end()) {
            reply = turn->first.at(turn->second++ % turn->first.size());
        } else if (!m_replies.isEmpty()) {
            reply = m_replies.takeFirst();
        }
        if (m_recording) {
            m_requests << std::move(request);
        }
        QTimer::singleShot(reply.delayMs, socket, [socket, reply] {
            if (reply.dropConnection) {
                return socket->abort();
            }
            const bool complete = reply.ending == Reply::Ending::Complete;
            QByteArray head = "HTTP/1.1 " + QByteArray::number(reply.status) +
                              " Scripted\r\nContent-Length: " + QByteArray::number(reply.body.size() + !complete);
            for (const auto& [name, value] : reply.headers) {
                head += "\r\n" + name + ": " + value;
            }
            socket->write(head + (reply.keepAlive ? "\r\n\r\n" : "\r\nConnection: close\r\n\r\n") + reply.body);
            if (reply.ending != Reply::Ending::Stalled && !reply.keepAlive) {
                socket->disconnectFromHost();
            }
        });
    });
}

void ScriptedHttpServer::stream(QTcpSocket* socket, qint64 total, bool announceLength) {
    socket->write("HTTP/1.1 200 Scripted\r\n" +
                  (announceLength ? "Content-Length: " + QByteArray::number(total) : "Transfer-Encoding: chunked") +
                  "\r\nConnection: close\r\n\r\n");
    auto sent = std::make_shared<qint64>(0);
    // Keeps a few pieces in flight: a client that stops reading stops the stream.
    auto refill = [this, socket, sent, total, announceLength] {
        while (*sent < total && socket->bytesToWrite() < 256 * 1024) {
            const QByteArray piece(static_cast<qsizetype>(std::min<qint64>(64 * 1024, total - *sent)), 'x');
            socket->write(announceLength ? piece : QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n");
            m_streamed = *sent += piece.size();
            if (*sent >= total) {
                socket->write(announceLength ? "" : "0\r\n\r\n");
                socket->disconnectFromHost();
            }
        }
    };
    connect(socket, &QTcpSocket::bytesWritten, socket, refill);
    refill();
}

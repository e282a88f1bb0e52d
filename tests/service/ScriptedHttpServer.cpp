#include "ScriptedHttpServer.h"

#include <QTcpSocket>
#include <QTimer>

ScriptedHttpServer::ScriptedHttpServer(QObject* parent)
    : QObject(parent) {
    m_server->listen(QHostAddress::LocalHost, 0);
    // Emitted once for each connection accepted.
    connect(m_server, &QTcpServer::newConnection, this, [this] { serve(m_server->nextPendingConnection()); });
}

// One request a connection: every reply closes it.
void ScriptedHttpServer::serve(QTcpSocket* socket) {
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer = QByteArray()]() mutable {
        buffer += socket->readAll();
        const qsizetype end = buffer.indexOf("\r\n\r\n");
        if (end < 0) {
            return;
        }
        const QList<QByteArray> lines = buffer.left(end).split('\n');
        Request request{lines.value(0).split(' ').value(0), lines.value(0).split(' ').value(1), {}, {}};
        for (const QByteArray& line : lines.mid(1)) {
            if (const qsizetype colon = line.indexOf(':'); colon > 0) {
                request.headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
            }
        }
        const qsizetype length = request.headers.value("content-length").toLongLong();
        if (buffer.size() < end + 4 + length) {
            return;
        }
        // Answered once: anything the client sends after its one request is not another.
        QObject::disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
        request.body = buffer.mid(end + 4, length);
        const auto turn = m_rotations.find(request.target);
        const Reply reply = turn != m_rotations.end() ? turn->first.at(turn->second++ % turn->first.size())
                            : m_replies.isEmpty()     ? Reply{404}
                                                      : m_replies.takeFirst();
        if (m_recording) {
            m_requests << std::move(request);
        }
        QTimer::singleShot(reply.delayMs, socket, [this, socket, reply] { answer(socket, reply); });
    });
}

void ScriptedHttpServer::answer(QTcpSocket* socket, const Reply& reply) {
    if (reply.dropConnection) {
        return socket->abort();
    }
    const auto length = reply.streamed ? reply.streamed : reply.body.size() + (reply.ending != Reply::Ending::Complete);
    socket->write("HTTP/1.1 " + QByteArray::number(reply.status) + " Scripted\r\n" + reply.headers +
                  (reply.chunked ? "Transfer-Encoding: chunked" : "Content-Length: " + QByteArray::number(length)) +
                  "\r\nConnection: close\r\n\r\n" + reply.body);
    // Keeps a few pieces of a stream in flight: a client that stops reading stops the stream.
    auto refill = [this, socket, reply, sent = std::make_shared<qint64>(0)] {
        while (*sent < reply.streamed && socket->bytesToWrite() < 256 * 1024) {
            const QByteArray piece(static_cast<qsizetype>(std::min<qint64>(64 * 1024, reply.streamed - *sent)), 'x');
            socket->write(reply.chunked ? QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n" : piece);
            m_streamed = *sent += piece.size();
            if (reply.chunked && *sent == reply.streamed) {
                socket->write("0\r\n\r\n");
            }
        }
        if (*sent >= reply.streamed && reply.ending != Reply::Ending::Stalled) {
            socket->disconnectFromHost();
        }
    };
    connect(socket, &QTcpSocket::bytesWritten, socket, refill);
    refill();
}

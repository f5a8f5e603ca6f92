#include "support/unsizedhttpserver.h"

#include <QHostAddress>
#include <QTcpSocket>

namespace {
const qint64 chunkSize = 16 * 1024;
const char* const sentProperty = "unsizedBodySent";
} // namespace

UnsizedHttpServer::UnsizedHttpServer(qint64 bodySize, QObject* parent)
    : QObject(parent)
    , bodySize(bodySize)
{
    connect(&server, &QTcpServer::newConnection, this, &UnsizedHttpServer::onNewConnection);
}

bool UnsizedHttpServer::listen()
{
    return server.listen(QHostAddress::LocalHost);
}

QString UnsizedHttpServer::url() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort());
}

void UnsizedHttpServer::onNewConnection()
{
    while (QTcpSocket* socket = server.nextPendingConnection()) {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
            if (socket->property(sentProperty).isValid())
                return;
            socket->setProperty("request",
                                socket->property("request").toByteArray() + socket->readAll());
            if (socket->property("request").toByteArray().contains("\r\n\r\n"))
                answer(socket);
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            const qint64 sent = socket->property(sentProperty).toLongLong();
            if (sent < bodySize)
                ++cutShort;
            socket->deleteLater();
        });
    }
}

void UnsizedHttpServer::answer(QTcpSocket* socket)
{
    ++requests;
    socket->setProperty(sentProperty, qint64(0));
    socket->write("HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nConnection: close\r\n\r\n");
    connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] { sendMore(socket); });
    sendMore(socket);
}

void UnsizedHttpServer::sendMore(QTcpSocket* socket)
{
    if (socket->state() != QAbstractSocket::ConnectedState || socket->bytesToWrite() > chunkSize)
        return;
    const qint64 sent = socket->property(sentProperty).toLongLong();
    const qint64 next = qMin(chunkSize, bodySize - sent);
    if (next <= 0) {
        socket->disconnectFromHost();
        return;
    }
    socket->write(QByteArray(int(next), 'u'));
    socket->setProperty(sentProperty, sent + next);
}

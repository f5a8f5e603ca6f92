#include "engine/banner.h"

#include <QHostInfo>
#include <QTimerEvent>

const QString BANNER_SERVER = QStringLiteral(UPDATE_SERVER_HOST);

namespace {
const quint16 bannerPort = 2009;
const int replyTimeoutMs = 5000;
const int maxReplySize = 1024;
} // namespace

Banner::Banner(QObject* parent)
    : QObject(parent)
    , socket(new QUdpSocket(this))
{
    socket->bind(0);
    connect(socket, &QUdpSocket::readyRead, this, &Banner::onReadyRead);
    connect(socket, &QAbstractSocket::errorOccurred, this, &Banner::onError);
}

Banner::~Banner()
{
    resendTimer.stop();
}

void Banner::run()
{
    QHostInfo::lookupHost(BANNER_SERVER, this, &Banner::onResolved);
}

void Banner::sendRequest()
{
    const char request[2] = {0x01, 0x01};
    if (socket->writeDatagram(request, sizeof request, serverAddress, bannerPort) == -1) {
        resendTimer.stop();
        return;
    }
    resendTimer.start(replyTimeoutMs, this);
}

void Banner::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != resendTimer.timerId()) {
        QObject::timerEvent(event);
        return;
    }
    if (sendCount++ == 0)
        sendRequest();
    else
        resendTimer.stop();
}

void Banner::onResolved(QHostInfo hostInfo)
{
    if (hostInfo.error() != QHostInfo::NoError || hostInfo.addresses().isEmpty())
        return;
    serverAddress.clear();
    const QList<QHostAddress> addresses = hostInfo.addresses();
    for (const QHostAddress& address : addresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
            serverAddress = address;
            break;
        }
    }
    if (serverAddress.isNull())
        return;
    sendRequest();
}

void Banner::onReadyRead()
{
    char buffer[maxReplySize];
    qint64 length = -1;
    // Anyone may send to our port; only the server's datagrams count, the rest are dropped.
    for (;;) {
        QHostAddress sender;
        quint16 senderPort = 0;
        length = socket->readDatagram(buffer, sizeof buffer, &sender, &senderPort);
        if (length < 0)
            return;
        if (senderPort == bannerPort &&
            sender.isEqual(serverAddress, QHostAddress::TolerantConversion))
            break;
    }
    resendTimer.stop();
    const QStringList parts =
        QString::fromLatin1(buffer, int(length)).split(QLatin1Char(','), Qt::KeepEmptyParts);
    if (parts.size() == 2)
        emit bannerFound(parts.at(0), parts.at(1));
}

void Banner::onError(QAbstractSocket::SocketError)
{
    resendTimer.stop();
}

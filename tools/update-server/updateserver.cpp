#include "updateserver.h"

#include <QNetworkDatagram>
#include <QUdpSocket>

UpdateServer::UpdateServer(QObject* parent)
    : QObject(parent)
    , versionSocket(new QUdpSocket(this))
    , bannerSocket(new QUdpSocket(this))
{
    connect(versionSocket, &QUdpSocket::readyRead, this, &UpdateServer::onVersionReadyRead);
    connect(bannerSocket, &QUdpSocket::readyRead, this, &UpdateServer::onBannerReadyRead);
}

bool UpdateServer::listen(const QHostAddress& address, quint16 versionPort, quint16 bannerPort)
{
    if (!versionSocket->bind(address, versionPort)) {
        lastError = QStringLiteral("version port %1: %2")
                        .arg(versionPort)
                        .arg(versionSocket->errorString());
        return false;
    }
    if (!bannerSocket->bind(address, bannerPort)) {
        lastError =
            QStringLiteral("banner port %1: %2").arg(bannerPort).arg(bannerSocket->errorString());
        return false;
    }
    return true;
}

void UpdateServer::onVersionReadyRead()
{
    while (versionSocket->hasPendingDatagrams()) {
        const QNetworkDatagram request = versionSocket->receiveDatagram();
        const QByteArray data = request.data();
        if (data == QByteArray("3", 2))
            versionSocket->writeDatagram(request.makeReply(versionReply));
        else if (data == QByteArray("*", 2))
            versionSocket->writeDatagram(request.makeReply(newsReply));
    }
}

void UpdateServer::onBannerReadyRead()
{
    while (bannerSocket->hasPendingDatagrams()) {
        const QNetworkDatagram request = bannerSocket->receiveDatagram();
        if (request.data() == QByteArray("\x01\x01", 2))
            bannerSocket->writeDatagram(request.makeReply(bannerReply));
    }
}

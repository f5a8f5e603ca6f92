#ifndef UPDATESERVER_H
#define UPDATESERVER_H

#include <QByteArray>
#include <QHostAddress>
#include <QObject>

class QUdpSocket;

// Answers the updater's UDP queries with fixed texts: "3" and a zero byte on the version port
// gets the version list, "*" and a zero byte the news text; 0x01 0x01 on the banner port gets
// "imageurl,clickurl". Anything else is ignored. Every reply goes to the sender.
class UpdateServer : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(UpdateServer)

public:
    explicit UpdateServer(QObject* parent = nullptr);

    // Binds both ports on address; false, with the reason in errorString(), when either fails.
    bool listen(const QHostAddress& address, quint16 versionPort, quint16 bannerPort);
    QString errorString() const { return lastError; }

    QByteArray versionReply;
    QByteArray newsReply;
    QByteArray bannerReply;

private:
    void onVersionReadyRead();
    void onBannerReadyRead();

    QUdpSocket* versionSocket = nullptr;
    QUdpSocket* bannerSocket = nullptr;
    QString lastError;
};

#endif // UPDATESERVER_H

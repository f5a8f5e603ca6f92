#ifndef BANNER_H
#define BANNER_H

#include <QBasicTimer>
#include <QHostAddress>
#include <QHostInfo>
#include <QObject>
#include <QString>
#include <QUdpSocket>

class QTimerEvent;

// The update server's host name, asked for the banner.
extern const QString BANNER_SERVER;

// A best-effort query of the update server for the banner: one 2-byte UDP request to port 2009,
// one resend after 5000 ms without a reply, and a reply "<image address>,<click address>"
// from that address and port; datagrams from anyone else are discarded.
// Every failure ends the query silently. Not reusable; GUI thread only.
class Banner : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Banner)

public:
    // Creates and binds the socket (any local port); sends nothing yet.
    explicit Banner(QObject* parent);
    ~Banner() override;

    // Starts the look-up of the server's name; the request follows once it has resolved.
    void run();
    // Sends the request to serverAddress and (re)arms the 5000 ms reply time-out; a failed
    // send stops the time-out and ends the query.
    void sendRequest();

    QUdpSocket* socket = nullptr;
    QBasicTimer resendTimer;
    QHostAddress serverAddress;
    int sendCount = 0;

signals:
    // The reply named an image address and a click address (either may be empty).
    void bannerFound(QString bannerUrl, QString clickUrl);

protected:
    // The reply time-out: resends once, then gives up.
    void timerEvent(QTimerEvent* event) override;

private slots:
    void onResolved(QHostInfo hostInfo);
    void onReadyRead();
    void onError(QAbstractSocket::SocketError socketError);
};

#endif // BANNER_H

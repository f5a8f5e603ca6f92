#ifndef UNSIZEDHTTPSERVER_H
#define UNSIZEDHTTPSERVER_H

#include <QObject>
#include <QString>
#include <QTcpServer>

class QTcpSocket;

// An HTTP server on 127.0.0.1 (a free port) that answers every request with 200 and a body
// of 'u' bytes without a Content-Length: the body ends when the server closes the connection.
// It writes only as fast as the client reads, so a huge body costs the test no memory. Lives
// on the thread that created it.
class UnsizedHttpServer : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(UnsizedHttpServer)

public:
    explicit UnsizedHttpServer(qint64 bodySize, QObject* parent = nullptr);

    bool listen();
    // "http://127.0.0.1:<port>", without a trailing "/".
    QString url() const;

    int requestCount() const { return requests; }
    // Answers whose connection the client closed before the body ended.
    int closedByClient() const { return cutShort; }

private:
    void onNewConnection();
    void answer(QTcpSocket* socket);
    void sendMore(QTcpSocket* socket);

    QTcpServer server;
    qint64 bodySize = 0;
    int requests = 0;
    int cutShort = 0;
};

#endif // UNSIZEDHTTPSERVER_H

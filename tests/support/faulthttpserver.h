#ifndef FAULTHTTPSERVER_H
#define FAULTHTTPSERVER_H

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTcpServer>

class QTcpSocket;

// One scripted answer of FaultHttpServer.
struct FaultResponse
{
    enum Kind
    {
        Good,               // 200 with body and its true length
        Status,             // the given status with a short body
        AuthChallenge,      // 401 with a Basic challenge
        Redirect,           // 302 to location
        DropMidBody,        // 200 announcing body, sends cut bytes, closes the connection
        Stall,              // 200 announcing body, sends cut bytes, then waits for the test
        LongerThanAnnounced // 200 announcing cut bytes but sending the whole body
    };

    static FaultResponse good(const QByteArray& body);
    // 200 with body as it is, labelled "Content-Encoding: " + encoding.
    static FaultResponse labelled(const QByteArray& body, const QByteArray& encoding);
    static FaultResponse status(int code);
    static FaultResponse authChallenge();
    static FaultResponse redirect(const QString& location);
    static FaultResponse dropAfter(const QByteArray& body, int cut);
    static FaultResponse stallAfter(const QByteArray& body, int cut);
    static FaultResponse longerThanAnnounced(const QByteArray& body, int announced);

    Kind kind = Good;
    int statusCode = 200;
    QByteArray body;
    int cut = 0;
    QString location;
    // Header lines sent after the standard ones, each ending in "\r\n".
    QByteArray extraHeaders;
};
Q_DECLARE_METATYPE(FaultResponse)

// A small HTTP/1.1 server on 127.0.0.1 (a free port) for faults that a real server does not
// make. Each request path is answered by its script: the responses given for it in turn, the
// last one repeated; an unknown path gets 404. Every answer closes its connection. Records
// the path of every request in arrival order. Lives on the thread that created it.
class FaultHttpServer : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(FaultHttpServer)

public:
    explicit FaultHttpServer(QObject* parent = nullptr);
    ~FaultHttpServer() override;

    // Listens on 127.0.0.1 with a port chosen by the system; false if that fails.
    bool listen();
    quint16 port() const;
    // "http://127.0.0.1:<port>", without a trailing "/".
    QString url() const;

    // Answers every request for path (beginning with "/") with response.
    void setResponse(const QString& path, const FaultResponse& response);
    // Answers the requests for path with the responses in turn, repeating the last one.
    void setResponses(const QString& path, const QList<FaultResponse>& responses);

    // Sends the next count bytes of the body of every stalled answer, which then waits again.
    void continueStalled(int count);
    // Sends the rest of every stalled answer and closes its connection.
    void finishStalled();
    // Connections that currently hold a stalled answer.
    int stalledCount() const;

    // The paths of all requests so far, in arrival order.
    QStringList requestedPaths() const { return requests; }
    int requestCount(const QString& path) const { return requests.count(path); }
    // The value of the header name (any letter case) in the request at index, in arrival
    // order; empty when it was not sent.
    QByteArray requestHeader(int index, const QByteArray& name) const;

signals:
    // A request for path has been read and its answer begun.
    void requestReceived(QString path);

private:
    struct Stalled
    {
        QPointer<QTcpSocket> socket;
        QByteArray rest;
    };

    void onNewConnection();
    void onReadyRead(QTcpSocket* socket);
    void answer(QTcpSocket* socket, const FaultResponse& response);
    FaultResponse nextResponse(const QString& path);

    QTcpServer server;
    QHash<QString, QList<FaultResponse>> scripts;
    QHash<QTcpSocket*, QByteArray> pending;
    QList<Stalled> stalled;
    QStringList requests;
    // The header lines of every request, names in lower case.
    QList<QHash<QByteArray, QByteArray>> requestHeaders;
};

#endif // FAULTHTTPSERVER_H

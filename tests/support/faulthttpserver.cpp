#include "support/faulthttpserver.h"

#include <QHostAddress>
#include <QTcpSocket>

namespace {

QByteArray reasonPhrase(int code)
{
    switch (code) {
    case 200:
        return "OK";
    case 206:
        return "Partial Content";
    case 302:
        return "Found";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    default:
        return "Status";
    }
}

QByteArray head(int code, qint64 length, const QByteArray& extraHeaders = QByteArray())
{
    return "HTTP/1.1 " + QByteArray::number(code) + ' ' + reasonPhrase(code) +
           "\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
           QByteArray::number(length) + "\r\nConnection: close\r\n" + extraHeaders + "\r\n";
}

// A 200 answer of the given kind that breaks off, stalls or is announced at cut bytes.
FaultResponse cutAnswer(FaultResponse::Kind kind, const QByteArray& body, int cut)
{
    FaultResponse r;
    r.kind = kind;
    r.body = body;
    r.cut = cut;
    return r;
}

} // namespace

FaultResponse FaultResponse::good(const QByteArray& body)
{
    FaultResponse r;
    r.body = body;
    return r;
}

FaultResponse FaultResponse::labelled(const QByteArray& body, const QByteArray& encoding)
{
    FaultResponse r = good(body);
    r.extraHeaders = "Content-Encoding: " + encoding + "\r\n";
    return r;
}

FaultResponse FaultResponse::status(int code)
{
    FaultResponse r;
    r.kind = Status;
    r.statusCode = code;
    r.body = "status " + QByteArray::number(code) + '\n';
    return r;
}

FaultResponse FaultResponse::authChallenge()
{
    FaultResponse r;
    r.kind = AuthChallenge;
    r.statusCode = 401;
    r.body = "authorization required\n";
    return r;
}

FaultResponse FaultResponse::redirect(const QString& location)
{
    FaultResponse r;
    r.kind = Redirect;
    r.statusCode = 302;
    r.location = location;
    r.body = "moved\n";
    return r;
}

FaultResponse FaultResponse::dropAfter(const QByteArray& body, int cut)
{
    return cutAnswer(DropMidBody, body, cut);
}

FaultResponse FaultResponse::stallAfter(const QByteArray& body, int cut)
{
    return cutAnswer(Stall, body, cut);
}

FaultResponse FaultResponse::longerThanAnnounced(const QByteArray& body, int announced)
{
    return cutAnswer(LongerThanAnnounced, body, announced);
}

FaultHttpServer::FaultHttpServer(QObject* parent)
    : QObject(parent)
{
    connect(&server, &QTcpServer::newConnection, this, &FaultHttpServer::onNewConnection);
}

FaultHttpServer::~FaultHttpServer()
{
    server.close();
}

bool FaultHttpServer::listen()
{
    return server.listen(QHostAddress::LocalHost, 0);
}

quint16 FaultHttpServer::port() const
{
    return server.serverPort();
}

QString FaultHttpServer::url() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

void FaultHttpServer::setResponse(const QString& path, const FaultResponse& response)
{
    scripts.insert(path, {response});
}

void FaultHttpServer::setResponses(const QString& path, const QList<FaultResponse>& responses)
{
    scripts.insert(path, responses);
}

void FaultHttpServer::onNewConnection()
{
    while (QTcpSocket* socket = server.nextPendingConnection()) {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            pending.remove(socket);
            socket->deleteLater();
        });
    }
}

void FaultHttpServer::onReadyRead(QTcpSocket* socket)
{
    if (!pending.contains(socket) && socket->property("answered").toBool()) {
        socket->readAll();
        return;
    }
    QByteArray& buffer = pending[socket];
    buffer += socket->readAll();
    if (!buffer.contains("\r\n\r\n"))
        return;
    const QList<QByteArray> lines = buffer.left(buffer.indexOf("\r\n\r\n")).split('\n');
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    QHash<QByteArray, QByteArray> headers;
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines.at(i).indexOf(':');
        if (colon > 0)
            headers.insert(lines.at(i).left(colon).trimmed().toLower(),
                           lines.at(i).mid(colon + 1).trimmed());
    }
    requestHeaders.append(headers);
    pending.remove(socket);
    socket->setProperty("answered", true);
    const QString path =
        requestLine.size() >= 2 ? QString::fromLatin1(requestLine.at(1)) : QString();
    requests.append(path);
    answer(socket, nextResponse(path));
    emit requestReceived(path);
}

FaultResponse FaultHttpServer::nextResponse(const QString& path)
{
    auto it = scripts.find(path);
    if (it == scripts.end() || it->isEmpty())
        return FaultResponse::status(404);
    if (it->size() > 1)
        return it->takeFirst();
    return it->first();
}

void FaultHttpServer::answer(QTcpSocket* socket, const FaultResponse& response)
{
    switch (response.kind) {
    case FaultResponse::Good:
    case FaultResponse::Status:
        socket->write(head(response.statusCode, response.body.size(), response.extraHeaders) +
                      response.body);
        socket->disconnectFromHost();
        break;
    case FaultResponse::AuthChallenge:
        socket->write(
            head(401, response.body.size(), "WWW-Authenticate: Basic realm=\"mirror\"\r\n") +
            response.body);
        socket->disconnectFromHost();
        break;
    case FaultResponse::Redirect:
        socket->write(
            head(302, response.body.size(), "Location: " + response.location.toLatin1() + "\r\n") +
            response.body);
        socket->disconnectFromHost();
        break;
    case FaultResponse::DropMidBody:
        socket->write(head(200, response.body.size()) + response.body.left(response.cut));
        socket->flush();
        socket->disconnectFromHost();
        break;
    case FaultResponse::Stall:
        socket->write(head(200, response.body.size()) + response.body.left(response.cut));
        socket->flush();
        stalled.append({socket, response.body.mid(response.cut)});
        break;
    case FaultResponse::LongerThanAnnounced:
        socket->write(head(200, response.cut) + response.body);
        socket->disconnectFromHost();
        break;
    }
}

QByteArray FaultHttpServer::requestHeader(int index, const QByteArray& name) const
{
    return requestHeaders.value(index).value(name.toLower());
}

void FaultHttpServer::continueStalled(int count)
{
    for (Stalled& s : stalled) {
        if (!s.socket)
            continue;
        s.socket->write(s.rest.left(count));
        s.socket->flush();
        s.rest.remove(0, count);
    }
}

void FaultHttpServer::finishStalled()
{
    const QList<Stalled> current = stalled;
    stalled.clear();
    for (const Stalled& s : current) {
        if (!s.socket)
            continue;
        s.socket->write(s.rest);
        s.socket->disconnectFromHost();
    }
}

int FaultHttpServer::stalledCount() const
{
    int count = 0;
    for (const Stalled& s : stalled) {
        if (s.socket && s.socket->state() == QAbstractSocket::ConnectedState)
            ++count;
    }
    return count;
}

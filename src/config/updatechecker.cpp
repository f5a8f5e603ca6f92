#include "config/updatechecker.h"

#include <QByteArray>
#include <QStringList>

#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

const unsigned short versionPort = 17384;
const int versionReplyLimit = 511;
const int newsReplyLimit = 4095;
const int replyTimeoutSeconds = 5;

// Closes the descriptor whichever step ends the exchange.
class SocketGuard
{
public:
    explicit SocketGuard(int fd)
        : fd(fd)
    {
    }
    ~SocketGuard()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Q_DISABLE_COPY(SocketGuard)
    const int fd;
};

bool sendRequest(int fd, char command, const sockaddr_in& destination)
{
    const char request[2] = {command, '\0'};
    const ssize_t sent =
        ::sendto(fd, request, sizeof(request), 0, reinterpret_cast<const sockaddr*>(&destination),
                 sizeof(destination));
    return sent > 0;
}

// One datagram of at most limit bytes, as text up to its first zero byte.
bool receiveText(int fd, int limit, QString& text)
{
    QByteArray buffer(limit + 1, '\0');
    const ssize_t received = ::recv(fd, buffer.data(), limit, 0);
    if (received < 0)
        return false;
    buffer[int(received)] = '\0';
    text = QString::fromLatin1(buffer.constData());
    return true;
}

QList<QPair<QString, QString>> parseVersions(const QString& reply)
{
    QList<QPair<QString, QString>> result;
    const QStringList entries = reply.split(QLatin1Char(','), Qt::KeepEmptyParts);
    for (const QString& entry : entries) {
        const int hash = entry.indexOf(QLatin1Char('#'));
        if (hash < 0)
            result.append(qMakePair(entry, QString()));
        else
            result.append(qMakePair(entry.left(hash), entry.mid(hash + 1)));
    }
    return result;
}

} // namespace

bool UpdateChecker::readFromServer()
{
    SocketGuard socket(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    if (socket.fd < 0)
        return false;

    addrinfo hints;
    std::memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    addrinfo* found = nullptr;
    if (::getaddrinfo(UPDATE_SERVER_HOST, nullptr, &hints, &found) != 0 || !found)
        return false;
    sockaddr_in destination;
    std::memset(&destination, 0, sizeof(destination));
    std::memcpy(&destination, found->ai_addr, sizeof(destination));
    ::freeaddrinfo(found);
    destination.sin_port = htons(versionPort);
    // A connected socket takes datagrams only from the server: another sender that learnt the
    // port cannot slip in a reply (replies are matched to requests by order only).
    if (::connect(socket.fd, reinterpret_cast<const sockaddr*>(&destination),
                  sizeof(destination)) != 0)
        return false;

    if (!sendRequest(socket.fd, '3', destination))
        return false;
    timeval timeout;
    timeout.tv_sec = replyTimeoutSeconds;
    timeout.tv_usec = 0;
    ::setsockopt(socket.fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));

    QString versionReply;
    if (!receiveText(socket.fd, versionReplyLimit, versionReply))
        return false;
    // A retried exchange must not see the entries of an earlier, failed one.
    versions = parseVersions(versionReply);

    if (!sendRequest(socket.fd, '*', destination))
        return false;
    QString newsReply;
    if (!receiveText(socket.fd, newsReplyLimit, newsReply))
        return false;
    news = newsReply;
    return true;
}

bool UpdateChecker::checkUpdate()
{
    return readFromServer();
}

QPair<QString, QString> UpdateChecker::getClientVersionByChannel(UpdateChannel channel) const
{
    if (int(channel) < 0 || int(channel) >= versions.size())
        return qMakePair(QString(), QString());
    return versions.at(int(channel));
}

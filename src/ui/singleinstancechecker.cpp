#include "ui/singleinstancechecker.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {
const int ConnectTimeout = 1000;
const int WriteTimeout = 1000;
// Between attempts to reach an instance whose socket is not there yet or has a full queue.
const int RetryPause = 10;

enum class Claim
{
    Taken,
    HeldElsewhere,
    Unavailable
};

// The claim that checkExistingInstance() made, until a checker takes it over.
QLocalServer* claimedServer = nullptr;
int claimedLock = -1;

// Only this user can add entries to such a folder or swap one in it for a link.
bool isOwnFolder(const QByteArray& path)
{
    struct stat info;
    return ::lstat(path.constData(), &info) == 0 && S_ISDIR(info.st_mode) &&
           info.st_uid == ::geteuid() && (info.st_mode & 077) == 0;
}

bool isSocketFile(const QString& path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISSOCK(info.st_mode);
}

// An exclusive lock on a file beside the socket makes the claim one step: of any number of
// starts exactly one gets it, and the kernel drops it with a holder that crashed. The holder
// listens at once, after removing whatever an earlier holder left at the path (a link there
// is removed, never followed).
Claim claim(const QString& path)
{
    const int lock = ::open(QFile::encodeName(path + QStringLiteral(".lock")).constData(),
                            O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (lock < 0)
        return Claim::Unavailable;
    if (::flock(lock, LOCK_EX | LOCK_NB) != 0) {
        const bool held = errno == EWOULDBLOCK;
        ::close(lock);
        return held ? Claim::HeldElsewhere : Claim::Unavailable;
    }
    ::unlink(QFile::encodeName(path).constData());
    claimedServer = new QLocalServer;
    claimedServer->listen(path);
    claimedLock = lock;
    return Claim::Taken;
}
} // namespace

SingleInstanceChecker::SingleInstanceChecker(QObject* parent)
    : QObject(parent)
{
    if (!claimedServer) {
        const QString path = getLocalServerPath();
        if (!path.isEmpty())
            claim(path);
    }
    server = std::exchange(claimedServer, nullptr);
    lockFile = std::exchange(claimedLock, -1);
    if (!server)
        server = new QLocalServer;
    server->setParent(this);
    connect(server, &QLocalServer::newConnection, this, &SingleInstanceChecker::onNewConnection);
}

SingleInstanceChecker::~SingleInstanceChecker()
{
    // The socket file goes before the lock, so a later holder's file is never the one removed.
    server->close();
    if (connection)
        connection->close();
    if (lockFile >= 0)
        ::close(lockFile);
}

QString SingleInstanceChecker::getLocalServerName()
{
    return getLocalServerName(QCoreApplication::applicationFilePath(), QDir::homePath());
}

QString SingleInstanceChecker::getLocalServerName(const QString& programPath,
                                                  const QString& homePath)
{
    QString key = programPath.toLower() + homePath;
    key.remove(QLatin1Char('/'));
    key.remove(QLatin1Char(':'));
    const QByteArray bytes = key.toUtf8();
    const quint16 checksum = qChecksum(bytes.constData(), uint(bytes.size()));
    return QStringLiteral("QORClientUpdate") + QString::number(checksum, 16);
}

QString SingleInstanceChecker::getLocalServerFolder()
{
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (runtime.startsWith('/') && isOwnFolder(runtime))
        return QFile::decodeName(runtime);
    const QByteArray own = QFile::encodeName(
        QDir::tempPath() + QStringLiteral("/QORClientUpdate-") + QString::number(::geteuid()));
    ::mkdir(own.constData(), 0700);
    return isOwnFolder(own) ? QFile::decodeName(own) : QString();
}

QString SingleInstanceChecker::getLocalServerPath()
{
    const QString folder = getLocalServerFolder();
    if (folder.isEmpty())
        return QString();
    return folder + QLatin1Char('/') + getLocalServerName();
}

bool SingleInstanceChecker::checkExistingInstance(const QString& message)
{
    const QString path = getLocalServerPath();
    if (path.isEmpty())
        return false;
    QElapsedTimer clock;
    clock.start();
    while (claim(path) == Claim::HeldElsewhere) {
        QLocalSocket socket;
        const int left = int(qMax<qint64>(0, ConnectTimeout - clock.elapsed()));
        if (isSocketFile(path)) {
            socket.connectToServer(path, QIODevice::ReadWrite);
            if (socket.waitForConnected(left)) {
                if (socket.write(message.toLatin1()) > 0)
                    socket.waitForBytesWritten(WriteTimeout);
                return true;
            }
        }
        // Not there yet or a full queue: try again, claiming too, as the holder may have ended.
        if (left == 0)
            return true;
        QThread::msleep(RetryPause);
    }
    return false;
}

void SingleInstanceChecker::onNewConnection()
{
    if (connection) {
        // Only the newest connection is served; the older one goes unread.
        disconnect(connection, nullptr, this, nullptr);
        connection->deleteLater();
    }
    connection = server->nextPendingConnection();
    if (connection)
        connect(connection, &QLocalSocket::readyRead, this, &SingleInstanceChecker::onReadyRead);
}

void SingleInstanceChecker::onReadyRead()
{
    if (!connection)
        return;
    QByteArray data = connection->readAll();
    const int nul = data.indexOf('\0');
    if (nul != -1)
        data.truncate(nul);
    emit otherInstanceActivate(QString::fromLatin1(data));

    // The socket is still delivering its readyRead(); release it from the event loop.
    QLocalSocket* done = connection;
    connection = nullptr;
    disconnect(done, nullptr, this, nullptr);
    done->deleteLater();
}

#include "ui/singleinstancechecker.h"

#include "config/configuration.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>

#include <cerrno>
#include <cstdio>
#include <cstring>
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

// The claim that checkExistingInstance() made, until a checker takes it over.
QLocalServer* claimedServer = nullptr;
int claimedFolder = -1;

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

void report(const QString& text)
{
    std::fprintf(stderr, "%s\n", qPrintable(text));
}

// The right to run is an exclusive lock on the client folder itself. A lock belongs to the
// folder, not to a name, so every start on it meets it, whatever its home, runtime or
// temporary folder, its user or its path to the folder; it leaves no file behind, goes with a
// holder that crashed, and the client that the holder starts does not inherit it. Returns 0
// when taken, else why not: EWOULDBLOCK while another process holds it.
int claimFolder()
{
    const QByteArray root = QFile::encodeName(Configuration::getAppRootPath());
    const int folder = ::open(root.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0 && ::flock(folder, LOCK_EX | LOCK_NB) == 0) {
        claimedFolder = folder;
        return 0;
    }
    const int error = errno;
    if (folder >= 0)
        ::close(folder);
    return error;
}

// Hands the message to the instance that listens at path, waiting up to wait ms to connect.
// A link at the path is never followed.
bool handOver(const QString& path, const QString& message, int wait)
{
    if (path.isEmpty() || !isSocketFile(path))
        return false;
    QLocalSocket socket;
    socket.connectToServer(path, QIODevice::ReadWrite);
    return socket.waitForConnected(wait) && socket.write(message.toLatin1()) > 0 &&
           socket.waitForBytesWritten(WriteTimeout);
}

// This process runs; error is why the folder could not be locked (0: it is). It listens at
// path, after removing whatever an earlier holder left there (a link is removed, not followed).
// Without the lock it runs all the same: refusing would stop every update on a file system
// that refuses locks, as some network file systems do; but it says so.
void run(const QString& path, int error)
{
    if (error != 0)
        report(QStringLiteral("Cannot lock the folder %1 (%2), so another update may run in it "
                              "at the same time.")
                   .arg(Configuration::getAppRootPath(),
                        QString::fromLocal8Bit(std::strerror(error))));
    claimedServer = new QLocalServer;
    if (path.isEmpty())
        return;
    ::unlink(QFile::encodeName(path).constData());
    claimedServer->listen(path);
}
} // namespace

SingleInstanceChecker::SingleInstanceChecker(QObject* parent)
    : QObject(parent)
{
    if (!claimedServer) {
        const int error = claimFolder();
        if (error != EWOULDBLOCK)
            run(getLocalServerPath(), error);
    }
    server = std::exchange(claimedServer, nullptr);
    folderLock = std::exchange(claimedFolder, -1);
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
    if (folderLock >= 0)
        ::close(folderLock);
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
    QElapsedTimer clock;
    clock.start();
    int error;
    while ((error = claimFolder()) == EWOULDBLOCK) {
        // The holder may not listen yet or have a full queue; the claim is tried again too, as
        // the holder may have ended.
        const int left = int(qMax<qint64>(0, ConnectTimeout - clock.elapsed()));
        if (handOver(path, message, left))
            return true;
        if (left == 0) {
            // The holder runs in another environment, or its socket cannot be reached.
            report(QStringLiteral("Another update is already running in the folder %1, so this "
                                  "start ends.")
                       .arg(Configuration::getAppRootPath()));
            return true;
        }
        QThread::msleep(RetryPause);
    }
    // Without the lock, an instance of this environment can still be found.
    if (error != 0 && handOver(path, message, ConnectTimeout))
        return true;
    run(path, error);
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

#include "ui/singleinstancechecker.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>

#include <sys/stat.h>
#include <unistd.h>

namespace {
const int ConnectTimeout = 1000;
const int WriteTimeout = 1000;

// True only when connecting to name is refused. A running instance that is busy (before its
// event loop runs, or with a full queue) did not answer the start-up check in time but still
// listens: taking its name would leave it unreachable for every later start.
bool nobodyListens(const QString& name)
{
    QLocalSocket probe;
    // The attempt is made at once; a full queue leaves it pending instead of refused.
    probe.connectToServer(name);
    const bool refused = probe.error() == QLocalSocket::ConnectionRefusedError;
    probe.abort();
    return refused;
}

// Only this user can add entries to such a folder or swap one in it for a link.
bool isOwnFolder(const QByteArray& path)
{
    struct stat info;
    return ::lstat(path.constData(), &info) == 0 && S_ISDIR(info.st_mode) &&
           info.st_uid == ::geteuid() && (info.st_mode & 077) == 0;
}
} // namespace

SingleInstanceChecker::SingleInstanceChecker(QObject* parent)
    : QObject(parent)
{
    server = new QLocalServer(this);
    connect(server, &QLocalServer::newConnection, this, &SingleInstanceChecker::onNewConnection);
    const QString path = getLocalServerPath();
    if (path.isEmpty())
        return;
    if (!server->listen(path) && server->serverError() == QAbstractSocket::AddressInUseError &&
        nobodyListens(path)) {
        // The socket file is left over from an instance that did not end cleanly; without
        // this the channel would stay lost.
        QLocalServer::removeServer(path);
        server->listen(path);
    }
}

SingleInstanceChecker::~SingleInstanceChecker()
{
    server->close();
    if (connection)
        connection->close();
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
    QLocalSocket socket;
    socket.connectToServer(path, QIODevice::ReadWrite);
    if (!socket.waitForConnected(ConnectTimeout))
        return false;
    if (socket.write(message.toLatin1()) <= 0)
        return false;
    return socket.waitForBytesWritten(WriteTimeout);
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

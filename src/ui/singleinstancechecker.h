#ifndef SINGLEINSTANCECHECKER_H
#define SINGLEINSTANCECHECKER_H

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

// Keeps one updater window per program path and home folder: the running window listens on a
// local socket named after both, and a second start sends "#" to it instead of running. The
// socket lives in a folder of the user's own, so no other user can take its place.
// The message is the text's Latin-1 bytes, without length, terminator or reply.
class SingleInstanceChecker : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(SingleInstanceChecker)

public:
    // Starts listening on getLocalServerPath(), taking over a socket file that a crashed
    // instance left: only when connecting to it is refused, so a running instance that is
    // merely busy keeps its name. A name that cannot be taken, or a user without a folder of
    // their own, is not reported: the program then runs without the channel.
    explicit SingleInstanceChecker(QObject* parent);
    ~SingleInstanceChecker() override;

    // "QORClientUpdate" and the lower-case hexadecimal CRC-16 (qChecksum) of the UTF-8 bytes
    // of the lower-cased program path followed by the home folder, "/" and ":" removed.
    static QString getLocalServerName();
    // The same name for a given program path and home folder.
    static QString getLocalServerName(const QString& programPath, const QString& homePath);
    // The folder that holds the socket: $XDG_RUNTIME_DIR, else "QORClientUpdate-" and the
    // user id in the temporary folder, created when missing. Each is taken only when it is a
    // folder, not a link, owned by this user and closed to everyone else; empty when neither is.
    static QString getLocalServerFolder();
    // The socket's path: that folder and getLocalServerName(); empty without the folder.
    static QString getLocalServerPath();
    // Blocking, before the event loop: true when a running instance accepted a connection
    // within 1000 ms and the message was written within another 1000 ms.
    static bool checkExistingInstance(const QString& message);

signals:
    // Another instance sent text (cut at its first NUL byte).
    void otherInstanceActivate(QString message);

private slots:
    void onNewConnection();
    void onReadyRead();

private:
    QLocalServer* server = nullptr;
    QLocalSocket* connection = nullptr;
};

#endif // SINGLEINSTANCECHECKER_H

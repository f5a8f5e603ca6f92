#ifndef SINGLEINSTANCECHECKER_H
#define SINGLEINSTANCECHECKER_H

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

// Keeps one updater per program path and home folder: the first start claims the instance and
// listens on a local socket named after both, and every other start sends "#" to it instead of
// running. The socket lives in a folder of the user's own, so no other user can take its place.
// The message is the text's Latin-1 bytes, without length, terminator or reply.
class SingleInstanceChecker : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(SingleInstanceChecker)

public:
    // Takes over the claim that checkExistingInstance() made in this process, or claims now
    // and listens. Without a claim (another instance holds it, or the user has no folder of
    // their own) the checker serves no channel, which is not reported.
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
    // Blocking, before the event loop. False when this process now holds the claim, taken in
    // one step with starting to listen and kept until the checker that takes it over is
    // destroyed; also false without a folder for the socket (the program then runs alone).
    // True when another instance holds the claim: this start must end; the instance was handed
    // the message when it could be reached within 1000 ms to connect and 1000 ms to write.
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
    // The exclusive lock that the claim holds, -1 without a claim.
    int lockFile = -1;
};

#endif // SINGLEINSTANCECHECKER_H

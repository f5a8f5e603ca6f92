#ifndef SINGLEINSTANCECHECKER_H
#define SINGLEINSTANCECHECKER_H

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

// Keeps one updater per client folder: the first start claims the folder and listens on a local
// socket named after the program path and home folder; every other start on the folder ends,
// after sending "#" to that socket when it can reach it (the same program path and home, and
// the same folder for sockets). The socket lives in a folder of the user's own, so no other user
// can take its place. The message is the text's Latin-1 bytes, without length, terminator or
// reply.
class SingleInstanceChecker : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(SingleInstanceChecker)

public:
    // Takes over the claim that checkExistingInstance() made in this process, or claims now
    // and listens. While another instance holds the claim, or without a folder of the user's
    // own for the socket, the checker serves no channel, which is not reported.
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
    // Blocking, before the event loop. False when this process now holds the claim on the
    // client folder, kept until the checker that takes it over is destroyed, and listens (when
    // there is a folder for the socket); also false, said on standard error, when the folder
    // cannot be locked at all and no instance of this environment answers. True when another
    // instance holds the claim: this start must end, touching nothing; the instance was handed
    // the message when it could be reached within 1000 ms to connect and 1000 ms to write,
    // else standard error says why this start ends.
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
    // The client folder, opened to hold the claim's lock; -1 without a claim.
    int folderLock = -1;
};

#endif // SINGLEINSTANCECHECKER_H

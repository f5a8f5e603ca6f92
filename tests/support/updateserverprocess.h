#ifndef UPDATESERVERPROCESS_H
#define UPDATESERVERPROCESS_H

#include "support/childprocess.h"

#include <QProcess>
#include <QStringList>

// The update-server tool run as a separate process on 127.0.0.1, for tests that need a real
// update server: the version and news query (port 17384 unless given) and the banner query
// (port 2009 unless given). Stopped and reaped on destruction.
class UpdateServerProcess
{
public:
    UpdateServerProcess() = default;
    ~UpdateServerProcess();
    Q_DISABLE_COPY(UpdateServerProcess)

    // Starts the tool with the replies and any further options (e.g. "--banner-port", "0")
    // and waits until both ports are bound; false, with the tool's output in errorText(),
    // when it does not come up within a few seconds.
    bool start(const QString& versions, const QString& news, const QString& banner,
               const QStringList& extraArguments = QStringList());
    QString errorText() const { return failure; }

    // Where the test build put the tool.
    static QString programPath();
    // True when the update server's host name (UPDATE_SERVER_HOST) resolves to this machine
    // only; tests that query it skip otherwise, so no query ever leaves the machine.
    static bool serverHostIsLoopback();

private:
    ChildProcess process;
    QString failure;
};

#endif // UPDATESERVERPROCESS_H

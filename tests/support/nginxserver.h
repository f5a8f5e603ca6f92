#ifndef NGINXSERVER_H
#define NGINXSERVER_H

#include "support/childprocess.h"

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// Debian's nginx run as a child process of the test: one server block per mirror, each on a
// free port of 127.0.0.1 with a root folder of its own. Configuration, logs, pid and temp
// files live in a private temporary folder; nothing is written elsewhere and nothing listens
// on other addresses. The destructor stops the server.
class NginxServer
{
    Q_DISABLE_COPY(NginxServer)

public:
    NginxServer() = default;
    ~NginxServer();

    // Adds a mirror served from root (files are served as they are at request time). extra is
    // put verbatim into the mirror's server block, e.g. "limit_rate 64k;". Only before start().
    // Returns the mirror's index.
    int addMirror(const QString& root, const QString& extra = QString());

    // Writes the configuration, starts nginx and waits until every mirror accepts connections.
    // False, with the reason in errorText(), when nginx is missing or does not come up.
    bool start();
    // Stops nginx and waits for it to end; does nothing when it does not run.
    void stop();
    bool isRunning() const;

    int mirrorCount() const { return mirrors.size(); }
    quint16 port(int mirror) const { return mirrors.at(mirror).port; }
    // "http://127.0.0.1:<port>", the mirror's base address without a trailing "/".
    QString url(int mirror) const;
    // Writes a "mirrors.ini" naming every mirror by mirrorName() with its url and retries.
    bool writeMirrorsIni(const QString& path, int retries = 2) const;
    // "mirror<index>", the name of a mirror in the written "mirrors.ini".
    static QString mirrorName(int mirror);

    QString errorText() const { return lastError; }
    // The error log and the access log of the running (or last) server.
    QByteArray errorLog() const;
    QByteArray accessLog() const;

    static QString binaryPath();

private:
    struct Mirror
    {
        QString root;
        QString extra;
        quint16 port = 0;
    };

    QString configText() const;
    bool waitUntilListening(int timeoutMs);

    QList<Mirror> mirrors;
    QTemporaryDir workDir;
    ChildProcess process;
    QString lastError;
};

#endif // NGINXSERVER_H

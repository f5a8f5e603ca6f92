#ifndef DOWNLOADRUN_H
#define DOWNLOADRUN_H

#include "config/configuration.h"
#include "net/mirrors.h"
#include "support/nginxserver.h"

#include <QNetworkAccessManager>
#include <QStringList>
#include <QTemporaryDir>

class MirrorTree;
class TaskSpecification;

// What the download tasks of one update share, on loopback: nginx serving a mirror tree from
// several mirror roots, the network access manager, the mirror list loaded from a written
// "mirrors.ini", and a configuration whose temporary folder is private to the test. Every
// message of the mirror list and of watched tasks is collected in log, in order.
class DownloadRun
{
    Q_DISABLE_COPY(DownloadRun)

public:
    explicit DownloadRun(int version = 1);

    // Builds tree into mirrorCount roots, starts nginx on them and loads the mirror list
    // (each mirror with retries). extra goes into every mirror's server block (see
    // NginxServer::addMirror). False, with the reason in errorText, on any failure.
    bool start(const MirrorTree& tree, int mirrorCount, int retries = 2,
               const QString& extra = QString());

    // Collects the task's message and error texts into log.
    void watch(TaskSpecification* task);
    int logCount(const QString& line) const { return log.count(line); }

    // The root folder nginx serves for a mirror; it holds the version folder.
    QString mirrorRoot(int mirror) const;
    // The version folder of a mirror, where the product ini and the sections lie.
    QString mirrorVersionDir(int mirror) const;
    // How often nginx was asked for path (e.g. "/1/client_linux_x86.ini"), on any mirror.
    int requestCount(const QString& path) const;

    int version = 1;
    QStringList log;
    QString errorText;
    QTemporaryDir dir;
    NginxServer nginx;
    QNetworkAccessManager manager;
    Mirrors mirrors{nullptr};
    Configuration config;
};

#endif // DOWNLOADRUN_H

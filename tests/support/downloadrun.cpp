#include "support/downloadrun.h"

#include "support/mirrortree.h"
#include "tasks/taskspecification.h"

#include <QDir>
#include <QNetworkProxy>
#include <QObject>

DownloadRun::DownloadRun(int version)
    : version(version)
{
    // Traffic stays on loopback whatever the environment says about proxies.
    manager.setProxy(QNetworkProxy::NoProxy);
    config.clientType = QStringLiteral("client_linux_x86");
    config.clientVersion = version;
    config.downloadConcurrency = 6;
    config.tempDir = dir.path() + QStringLiteral("/temp");
    QDir().mkpath(config.tempDir);
    QObject::connect(&mirrors, &Mirrors::message, &mirrors,
                     [this](const QString& text) { log << text; });
}

bool DownloadRun::start(const MirrorTree& tree, int mirrorCount, int retries, const QString& extra)
{
    if (!dir.isValid()) {
        errorText = QStringLiteral("no temporary folder");
        return false;
    }
    for (int i = 0; i < mirrorCount; ++i) {
        if (!tree.build(mirrorRoot(i), &errorText))
            return false;
        nginx.addMirror(mirrorRoot(i), extra);
    }
    if (!nginx.start()) {
        errorText = nginx.errorText();
        return false;
    }
    const QString ini = dir.path() + QStringLiteral("/mirrors.ini");
    if (!nginx.writeMirrorsIni(ini, retries)) {
        errorText = QStringLiteral("cannot write %1").arg(ini);
        return false;
    }
    mirrors.initDefault(ini, version);
    if (mirrors.mirrorList.size() != mirrorCount) {
        errorText = QStringLiteral("the mirror list holds %1 mirrors, not %2")
                        .arg(mirrors.mirrorList.size())
                        .arg(mirrorCount);
        return false;
    }
    return true;
}

void DownloadRun::watch(TaskSpecification* task)
{
    QObject::connect(task, &TaskSpecification::message, &mirrors,
                     [this](const QString& text) { log << text; });
    QObject::connect(task, &TaskSpecification::error, &mirrors,
                     [this](const QString& text) { log << text; });
}

QString DownloadRun::mirrorRoot(int mirror) const
{
    return dir.path() + QStringLiteral("/mirror%1").arg(mirror);
}

QString DownloadRun::mirrorVersionDir(int mirror) const
{
    return mirrorRoot(mirror) + QLatin1Char('/') + QString::number(version);
}

int DownloadRun::requestCount(const QString& path) const
{
    const QByteArray needle = " " + path.toUtf8() + " HTTP/";
    return nginx.accessLog().count(needle);
}

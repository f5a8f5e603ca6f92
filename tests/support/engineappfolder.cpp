#include "support/engineappfolder.h"

#include "config/configuration.h"
#include "support/nginxserver.h"
#include "support/treesnapshot.h"

#include <QDir>
#include <QFile>

EngineAppFolder::EngineAppFolder()
    : previousTmpDir(qgetenv("TMPDIR"))
    , hadTmpDir(qEnvironmentVariableIsSet("TMPDIR"))
{
    QFile::remove(mirrorsIniPath());
    QFile::remove(updateIniPath());
    qputenv("TMPDIR", QFile::encodeName(temp.path()));
}

EngineAppFolder::~EngineAppFolder()
{
    QFile::remove(mirrorsIniPath());
    QFile::remove(updateIniPath());
    if (hadTmpDir)
        qputenv("TMPDIR", previousTmpDir);
    else
        qunsetenv("TMPDIR");
}

QString EngineAppFolder::mirrorsIniPath()
{
    return QDir(Configuration::getAppRootPath()).absoluteFilePath(QStringLiteral("mirrors.ini"));
}

QString EngineAppFolder::updateIniPath()
{
    return QDir(Configuration::getAppRootPath()).absoluteFilePath(QStringLiteral("update.ini"));
}

bool EngineAppFolder::writeMirrorsIni(const NginxServer& nginx, int retries) const
{
    return nginx.writeMirrorsIni(mirrorsIniPath(), retries);
}

bool EngineAppFolder::writeUpdateIni(const QByteArray& text) const
{
    return writeFile(Configuration::getAppRootPath(), QStringLiteral("update.ini"), text);
}

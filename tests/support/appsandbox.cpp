#include "support/appsandbox.h"

#include "config/configuration.h"

#include <QDir>
#include <QFileInfo>

AppSandbox::AppSandbox()
    : dir(Configuration::getAppRootPath() + QStringLiteral("/sandbox-XXXXXX"))
{
}

QString AppSandbox::filePath(const QString& rel) const
{
    return QDir(path()).filePath(rel);
}

QString AppSandbox::relative(const QString& rel) const
{
    return QFileInfo(path()).fileName() + QLatin1Char('/') + rel;
}

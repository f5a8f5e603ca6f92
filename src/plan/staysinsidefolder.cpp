#include "plan/staysinsidefolder.h"

#include <QDir>
#include <QStringList>

bool staysInsideFolder(const QString& relativePath)
{
    if (relativePath.isEmpty() || relativePath.contains(QChar::Null) ||
        QDir::isAbsolutePath(relativePath))
        return false;
    const QStringList parts = relativePath.split(QLatin1Char('/'));
    if (parts.contains(QStringLiteral("..")))
        return false;
    // A leading "./" is the folder itself; a "." further on names no folder the installation
    // can create ("a/./b" with "a" missing, "a/.").
    if (parts.indexOf(QStringLiteral("."), 1) >= 0)
        return false;
    return QDir::cleanPath(relativePath) != QLatin1String(".");
}

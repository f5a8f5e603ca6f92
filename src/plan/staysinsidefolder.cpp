#include "plan/staysinsidefolder.h"

#include <QDir>
#include <QStringList>

bool staysInsideFolder(const QString& relativePath)
{
    if (relativePath.isEmpty() || relativePath.contains(QChar::Null) ||
        QDir::isAbsolutePath(relativePath))
        return false;
    if (relativePath.split(QLatin1Char('/')).contains(QStringLiteral("..")))
        return false;
    return QDir::cleanPath(relativePath) != QLatin1String(".");
}

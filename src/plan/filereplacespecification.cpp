#include "plan/filereplacespecification.h"

#include <QFileInfo>

bool FileReplaceSpecification::hasUnzip() const
{
    return !unzipName.isEmpty();
}

QString FileReplaceSpecification::pureDestFilePath() const
{
    return hasUnzip() ? unzipName : file;
}

QString FileReplaceSpecification::destFileName(const QString& prefix) const
{
    const QString dest = pureDestFilePath();
    if (prefix.isEmpty())
        return dest;
    const QFileInfo info(dest);
    QString result = prefix + info.fileName();
    if (info.path() != QLatin1String("."))
        result = info.path() + QLatin1Char('/') + result;
    return result;
}

QString FileReplaceSpecification::oldDestFileName() const
{
    return destFileName(QStringLiteral("_old_"));
}

#include "plan/filereplacespecification.h"

#include <QFileInfo>
#include <QStringList>

namespace {
const QStringList executableFiles = {
    QStringLiteral("qorclient_linux_x86"), QStringLiteral("qorclient_linux_amd64"),
    QStringLiteral("qorclient_runscript.sh"), QStringLiteral("update")};
const QStringList executableSuffixes = {QStringLiteral("so"), QStringLiteral("so.4")};
} // namespace

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

bool FileReplaceSpecification::isExecutable() const
{
    const QFileInfo info(pureDestFilePath());
    return executableFiles.contains(info.fileName()) ||
           executableSuffixes.contains(info.completeSuffix());
}

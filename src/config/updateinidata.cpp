#include "config/updateinidata.h"

#include "config/configuration.h"

#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QRegularExpression>
#include <QSettings>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QString currentGroup()
{
    return QStringLiteral("current");
}

// The recorded folder receives every download and is emptied later: only a real folder of
// our own qualifies, never a symbolic link or something another user planted.
bool isOwnFolder(const QString& path)
{
    struct stat info;
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return false;
    return S_ISDIR(info.st_mode) && info.st_uid == ::getuid();
}

// A save writes the whole file under the name, a dot and six letters, next to it and renames it
// over the file; a kill in between leaves that copy behind for good. Each save first removes such
// copies: regular files of exactly that name, never a link, and only under the lock that every
// save holds, so that no save under way loses its copy.
void removeSaveLeftovers()
{
    const QFileInfo file(UpdateIniData::filename());
    QLockFile lock(file.filePath() + QStringLiteral(".lock"));
    if (!lock.tryLock(0))
        return;
    const QRegularExpression copy(QRegularExpression::anchoredPattern(
        QRegularExpression::escape(file.fileName()) + QStringLiteral("\\.[A-Za-z]{6}")));
    const QDir folder = file.absoluteDir();
    // Regular files only: links and special files are not listed.
    for (const QString& name : folder.entryList(QDir::Files | QDir::Hidden | QDir::NoSymLinks)) {
        if (copy.match(name).hasMatch())
            QFile::remove(folder.filePath(name));
    }
}

} // namespace

QString UpdateIniData::filename()
{
    return QDir(Configuration::getAppRootPath()).absoluteFilePath(QStringLiteral("update.ini"));
}

bool UpdateIniData::get(int* version, QString* type, QString* dir)
{
    QSettings settings(filename(), QSettings::IniFormat);
    settings.beginGroup(currentGroup());
    bool versionParsed = false;
    // Read as text, so that a number out of range does not parse (QVariant would cut it).
    const int recordedVersion =
        settings.value(QStringLiteral("version")).toString().toInt(&versionParsed);
    const QString recordedDir = settings.value(QStringLiteral("dir")).toString();
    const QString recordedType = settings.value(QStringLiteral("type")).toString();

    // The folder is emptied later: a damaged or edited record must not name any other one.
    if (!versionParsed || recordedType.isEmpty() || recordedDir.isEmpty() ||
        !Configuration::isTempDirPath(recordedDir) || !isOwnFolder(recordedDir))
        return false;
    if (version)
        *version = recordedVersion;
    if (dir)
        *dir = recordedDir;
    if (type)
        *type = recordedType;
    return true;
}

void UpdateIniData::modify(int version, const QString& dir, const QString& type)
{
    removeSaveLeftovers();
    QSettings settings(filename(), QSettings::IniFormat);
    settings.beginGroup(currentGroup());
    settings.setValue(QStringLiteral("version"), version);
    settings.setValue(QStringLiteral("dir"), dir);
    settings.setValue(QStringLiteral("type"), type);
}

void UpdateIniData::cleanup()
{
    removeSaveLeftovers();
    QSettings settings(filename(), QSettings::IniFormat);
    settings.remove(currentGroup());
}

#include "plan/makedownloadreplacelistfunc.h"

#include "config/configuration.h"
#include "crypto/checksigfunc.h"
#include "install/stagedfile.h"
#include "plan/staysinsidefolder.h"
#include "tasks/fileentry.h"

#include <QFileInfo>
#include <QSettings>

namespace {

const QString DeleteSection = QStringLiteral("delete");
const QString FieldSeparator = QStringLiteral("::");

// Entries at listed names are judged as the installation and the deletion step will find
// them: a link is an entry of its own, never read through; only a regular file is opened and
// summed, so anything else there (a FIFO, a socket, a device, a folder) counts as outdated.
// The check is connected to nothing: an entry that cannot be read simply does not match.
bool fileMatches(const QString& path, const QString& expected)
{
    return CheckSigFunc(path, expected).run();
}

// What the deletion step removes: any entry but a folder, a link (dangling or not) as the link
// itself. A folder is never emptied, so it is not listed.
bool isDeletable(const QString& path)
{
    return FileEntry::exists(path) && !FileEntry::isFolder(path);
}

} // namespace

MakeDownloadReplaceListFunc::MakeDownloadReplaceListFunc(Configuration* config,
                                                         FileSpecifications& lists)
    : config(config)
    , lists(lists)
{
}

bool MakeDownloadReplaceListFunc::run()
{
    lists.clear();
    const QString iniPath =
        config->tempDir + QLatin1Char('/') + config->clientType + QStringLiteral(".ini");
    emit message(QStringLiteral("Compiling download and replace list"));

    QSettings settings(iniPath, QSettings::IniFormat);
    const double total = getFileCount(settings);
    if (total == 0) {
        emit message(QStringLiteral("No files in product ini"));
        return false;
    }

    const QString appRoot = Configuration::getAppRootPath() + QLatin1Char('/');
    const QString tempRoot = config->tempDir + QLatin1Char('/');
    int n = 0;
    const QStringList sections = settings.childGroups();
    for (const QString& section : sections) {
        const auto rejectLine = [this, &section] {
            emit message(QStringLiteral("Warning: product ini contains invalid line in section %1")
                             .arg(section));
            return false;
        };
        settings.beginGroup(section);
        const QStringList keys = settings.allKeys();
        for (const QString& key : keys) {
            ++n;
            emit progress(n / total);
            if (!staysInsideFolder(key))
                return rejectLine();
            if (section == DeleteSection) {
                if (isDeletable(appRoot + key))
                    lists.deletes.append(key);
                continue;
            }

            const QStringList parts = settings.value(key).toString().split(FieldSeparator);
            const bool unzipSafe =
                parts.size() != 5 || parts.at(4).isEmpty() || staysInsideFolder(parts.at(4));
            if ((parts.size() != 2 && parts.size() != 5) || !unzipSafe)
                return rejectLine();

            FileDownloadSpecification download;
            download.section = section;
            download.file = key;
            download.md5 = parts.at(0);
            download.size = parts.at(1).toULongLong();
            FileReplaceSpecification replace;
            replace.section = section;
            replace.file = key;
            if (parts.size() == 5) {
                replace.unzipMd5 = parts.at(2);
                replace.unzipSize = parts.at(3).toULongLong();
                replace.unzipName = parts.at(4);
            }

            const QString installedMd5 = replace.hasUnzip() ? replace.unzipMd5 : download.md5;
            const QString installedPath = appRoot + replace.destFileName(QString());
            const bool isInstalled = FileEntry::exists(installedPath);
            const bool isCurrent = isInstalled && fileMatches(installedPath, installedMd5);
            // Replacing an installed file deletes its leftover copy itself and lists the new one.
            if (!isInstalled || isCurrent)
                listLeftoverOldCopy(replace, appRoot);
            listLeftoverTempFiles(replace, appRoot);
            // A crash of an older updater between writing a program and its chmod left it so.
            if (isCurrent && replace.isExecutable())
                FileEntry::addExecuteBits(installedPath);
            if (isCurrent)
                continue;
            lists.replaces.append(replace);
            if (!fileMatches(tempRoot + key, download.md5))
                lists.downloads.append(download);
        }
        settings.endGroup();
    }
    return true;
}

void MakeDownloadReplaceListFunc::listLeftoverOldCopy(const FileReplaceSpecification& replace,
                                                      const QString& appRoot)
{
    const QString oldCopy = replace.oldDestFileName();
    if (isDeletable(appRoot + oldCopy) &&
        !config->isSpecialFileName(QFileInfo(replace.pureDestFilePath()).fileName()))
        lists.deletes.append(oldCopy);
}

void MakeDownloadReplaceListFunc::listLeftoverTempFiles(const FileReplaceSpecification& replace,
                                                        const QString& appRoot)
{
    for (const QString& name : {replace.destFileName(QString()), replace.oldDestFileName()}) {
        const QString temp = StagedFile::tempName(name);
        if (isDeletable(appRoot + temp))
            lists.deletes.append(temp);
    }
}

int MakeDownloadReplaceListFunc::getFileCount(QSettings& settings)
{
    int count = 0;
    const QStringList sections = settings.childGroups();
    for (const QString& section : sections) {
        settings.beginGroup(section);
        count += settings.allKeys().size();
        settings.endGroup();
    }
    return count;
}

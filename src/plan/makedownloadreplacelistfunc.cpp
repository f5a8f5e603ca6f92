#include "plan/makedownloadreplacelistfunc.h"

#include "config/configuration.h"
#include "crypto/checksigfunc.h"
#include "plan/staysinsidefolder.h"
#include "tasks/fileentry.h"
#include "tasks/slowfileoptaskspecification.h"

#include <QFileInfo>
#include <QSettings>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

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
// itself. A folder goes only at the updater's own "_old_" and ".new." names.
bool isDeletable(const QString& path)
{
    return FileEntry::exists(path) && !FileEntry::isFolder(path);
}

// One entry of the product ini in list order and, for a file, what stands at its names.
struct ListedEntry
{
    bool isDelete = false;
    // For a "delete" entry only section and file (the key) are set.
    FileReplaceSpecification replace;
    FileDownloadSpecification download;
    bool isInstalled = false;
    bool isCurrent = false;
    bool isDownloaded = false;

    void judge(const QString& appRoot, const QString& tempRoot)
    {
        const QString installedMd5 = replace.hasUnzip() ? replace.unzipMd5 : download.md5;
        const QString installedPath = appRoot + replace.destFileName(QString());
        isInstalled = FileEntry::exists(installedPath);
        isCurrent = isInstalled && fileMatches(installedPath, installedMd5);
        isDownloaded = !isCurrent && fileMatches(tempRoot + download.file, download.md5);
    }
};

// Reads the entries of every section in list order, up to the first one that is not valid
// (a path that leaves its folder, other than 2 or 5 fields), whose section then goes to
// invalidSection.
void readEntries(QSettings& settings, std::vector<ListedEntry>& entries, QString& invalidSection)
{
    const QStringList sections = settings.childGroups();
    for (const QString& section : sections) {
        settings.beginGroup(section);
        const QStringList keys = settings.allKeys();
        for (const QString& key : keys) {
            ListedEntry entry;
            entry.isDelete = section == DeleteSection;
            entry.replace.section = section;
            entry.replace.file = key;
            const QStringList parts = entry.isDelete
                                          ? QStringList()
                                          : settings.value(key).toString().split(FieldSeparator);
            const bool unzipSafe =
                parts.size() != 5 || parts.at(4).isEmpty() || staysInsideFolder(parts.at(4));
            if (!staysInsideFolder(key) ||
                (!entry.isDelete && ((parts.size() != 2 && parts.size() != 5) || !unzipSafe))) {
                invalidSection = section;
                return;
            }
            if (!entry.isDelete) {
                entry.download.section = section;
                entry.download.file = key;
                entry.download.md5 = parts.at(0);
                entry.download.size = parts.at(1).toULongLong();
                if (parts.size() == 5) {
                    entry.replace.unzipMd5 = parts.at(2);
                    entry.replace.unzipSize = parts.at(3).toULongLong();
                    entry.replace.unzipName = parts.at(4);
                }
            }
            entries.push_back(entry);
        }
        settings.endGroup();
    }
}

// Judges the listed files ahead of the compilation on as many threads as there are cores:
// summing one installed file after another would leave all cores but one idle. The
// compilation takes each judgement in list order; where it has caught up it judges the next
// unclaimed entry itself, so a helper that could not be started (no thread to be had at a
// process or memory limit) leaves no entry unjudged, and one that starts late finds less.
class FileJudge
{
public:
    FileJudge(std::vector<ListedEntry>& entries, const QString& appRoot, const QString& tempRoot)
        : entries(entries)
        , appRoot(appRoot)
        , tempRoot(tempRoot)
        , done(entries.size(), false)
    {
        const int files = int(std::count_if(entries.begin(), entries.end(),
                                            [](const ListedEntry& e) { return !e.isDelete; }));
        const int threads = qMin(QThread::idealThreadCount(), files);
        for (int i = 0; i < threads; ++i) {
            helpers.emplace_back(QThread::create([this] {
                while (judgeNext()) {
                }
            }));
            helpers.back()->start();
        }
    }
    // A helper that was never started is not waited for.
    ~FileJudge()
    {
        for (const std::unique_ptr<QThread>& helper : helpers)
            helper->wait();
    }
    Q_DISABLE_COPY(FileJudge)

    const ListedEntry& judged(int i)
    {
        while (!isDone(i) && judgeNext()) {
        }
        std::unique_lock<std::mutex> lock(mutex);
        ready.wait(lock, [this, i] { return bool(done[size_t(i)]); });
        return entries[size_t(i)];
    }

private:
    bool isDone(int i)
    {
        const std::lock_guard<std::mutex> lock(mutex);
        return done[size_t(i)];
    }

    // False when every entry has been claimed.
    bool judgeNext()
    {
        const size_t i = next++;
        if (i >= entries.size())
            return false;
        if (!entries[i].isDelete)
            entries[i].judge(appRoot, tempRoot);
        {
            const std::lock_guard<std::mutex> lock(mutex);
            done[i] = true;
        }
        ready.notify_all();
        return true;
    }

    std::vector<ListedEntry>& entries;
    const QString appRoot;
    const QString tempRoot;
    std::vector<bool> done;
    std::atomic<size_t> next{0};
    std::mutex mutex;
    std::condition_variable ready;
    std::vector<std::unique_ptr<QThread>> helpers;
};

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
    std::vector<ListedEntry> entries;
    QString invalidSection;
    // Reserved: a vector grown step by step would leave its earlier blocks behind as free but
    // resident memory of this thread's heap, for the rest of the run.
    entries.reserve(size_t(total));
    readEntries(settings, entries, invalidSection);
    // The files are summed ahead on every core; each is taken here, in list order, once its
    // sums are known.
    FileJudge judge(entries, appRoot, tempRoot);
    const int count = int(entries.size());
    for (int i = 0; i < count; ++i) {
        const ListedEntry& entry = judge.judged(i);
        emit progress((i + 1) / total);
        if (entry.isDelete) {
            if (isDeletable(appRoot + entry.replace.file))
                lists.deletes.append(entry.replace.file);
            continue;
        }
        // Replacing an installed file deletes its leftover copy itself and lists the new one.
        if (!entry.isInstalled || entry.isCurrent)
            listLeftoverOldCopy(entry.replace, appRoot);
        listLeftoverTempFiles(entry.replace, appRoot);
        // A crash of an older updater between writing a program and its chmod left it so. It
        // gets the installer's mode: execute bits added to its own could leave a program that
        // anyone may write to.
        if (entry.isCurrent && entry.replace.isExecutable())
            FileEntry::makeExecutable(appRoot + entry.replace.destFileName(QString()),
                                      SlowFileOpFunc::ExecutableMode);
        if (entry.isCurrent)
            continue;
        lists.replaces.append(entry.replace);
        if (!entry.isDownloaded)
            lists.downloads.append(entry.download);
    }
    if (invalidSection.isNull())
        return true;
    emit progress((count + 1) / total);
    emit message(QStringLiteral("Warning: product ini contains invalid line in section %1")
                     .arg(invalidSection));
    return false;
}

void MakeDownloadReplaceListFunc::listLeftoverOldCopy(const FileReplaceSpecification& replace,
                                                      const QString& appRoot)
{
    const QString oldCopy = replace.oldDestFileName();
    if (FileEntry::exists(appRoot + oldCopy) &&
        !config->isSpecialFileName(QFileInfo(replace.pureDestFilePath()).fileName()))
        lists.deletes.append(oldCopy);
}

void MakeDownloadReplaceListFunc::listLeftoverTempFiles(const FileReplaceSpecification& replace,
                                                        const QString& appRoot)
{
    for (const QString& name : {replace.destFileName(QString()), replace.oldDestFileName()}) {
        const QString temp = FileEntry::tempName(name);
        if (FileEntry::exists(appRoot + temp))
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

#include "install/filekeeptaskspecification.h"

#include "tasks/fileentry.h"

FileKeepTaskSpecification::FileKeepTaskSpecification(RollbackDataList* journal, const QString& src,
                                                     const QString& dst, QObject* parent,
                                                     double weight)
    : FileCopyTaskSpecification(journal, src, dst, parent, weight)
{
    failMessage = QStringLiteral("Could not rename '%1' to '%2'").arg(src, dst);
}

void FileKeepTaskSpecification::execute()
{
    kept = FileEntry::stamp(src);
    const bool linked = FileEntry::link(src, dst);
    if (!linked && FileEntry::isRegularFile(src) && !FileEntry::exists(dst)) {
        // Moving the file would leave its name empty until the new one is written.
        FileCopyTaskSpecification::execute();
        return;
    }
    state = TaskRunning;
    runDone(linked || FileEntry::rename(src, dst));
}

RollbackData FileKeepTaskSpecification::undoEntry() const
{
    RollbackData entry(RollbackData::Rename, src, dst);
    entry.kept = kept;
    return entry;
}

#include "install/filekeeptaskspecification.h"

#include "install/filecopyfunc.h"

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
    const bool linked = FileCopyFunc(src, dst, false, false, true).link();
    if (!linked && FileEntry::isRegularFile(src) && !FileEntry::exists(dst)) {
        // Moving the file would leave its name empty until the new one is written.
        FileCopyTaskSpecification::execute();
        return;
    }
    state = TaskRunning;
    runDone(linked);
}

void FileKeepTaskSpecification::runDone(bool res)
{
    // Where no second name and no copy can be made, the name stands empty for a while rather
    // than every update failing here.
    FileCopyTaskSpecification::runDone(res ||
                                       (state == TaskRunning && FileEntry::rename(src, dst)));
}

ASyncFunc* FileKeepTaskSpecification::createFunction()
{
    return new FileCopyFunc(src, dst, false, false, true);
}

RollbackData FileKeepTaskSpecification::undoEntry() const
{
    RollbackData entry(RollbackData::Rename, src, dst);
    entry.kept = kept;
    return entry;
}

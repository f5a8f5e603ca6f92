#include "install/filerenametaskspecification.h"

#include "install/filecopyfunc.h"
#include "tasks/fileentry.h"

FileRenameTaskSpecification::FileRenameTaskSpecification(const QString& from, const QString& to,
                                                         RollbackDataList* journal, QObject* parent,
                                                         double weight)
    : FastFileOpTaskSpecification(to, journal, parent, weight)
    , sourcePath(from)
{
}

bool FileRenameTaskSpecification::doOp()
{
    const bool ok = keepSource ? keep() : FileEntry::rename(sourcePath, path);
    if (!ok) {
        emit message(QStringLiteral("Could not rename '%1' to '%2'").arg(sourcePath, path));
        return false;
    }
    addRollbackOp(RollbackData(RollbackData::Rename, sourcePath, path));
    return true;
}

bool FileRenameTaskSpecification::keep()
{
    if (FileEntry::link(sourcePath, path))
        return true;
    // No second name here (FAT, exFAT, another file system, too many links), or path is taken:
    // moving the file would leave its name empty until the new one is written. Both fail, and
    // change nothing, when path exists.
    return FileEntry::isRegularFile(sourcePath) ? FileCopyFunc(sourcePath, path).run()
                                                : FileEntry::rename(sourcePath, path);
}

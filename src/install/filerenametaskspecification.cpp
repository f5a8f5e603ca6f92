#include "install/filerenametaskspecification.h"

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
    const bool ok =
        keepSource ? FileEntry::keepAs(sourcePath, path) : FileEntry::rename(sourcePath, path);
    if (!ok) {
        emit message(QStringLiteral("Could not rename '%1' to '%2'").arg(sourcePath, path));
        return false;
    }
    addRollbackOp(RollbackData(RollbackData::Rename, sourcePath, path));
    return true;
}

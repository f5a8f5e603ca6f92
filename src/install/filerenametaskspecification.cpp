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
    if (!FileEntry::rename(sourcePath, path)) {
        emit message(QStringLiteral("Could not rename '%1' to '%2'").arg(sourcePath, path));
        return false;
    }
    addRollbackOp(RollbackData(RollbackData::Rename, sourcePath, path));
    return true;
}

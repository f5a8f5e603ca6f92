#include "install/filedeletetaskspecification.h"

#include "tasks/fileentry.h"

#include <QFile>

FileDeleteTaskSpecification::FileDeleteTaskSpecification(bool mustSucceed, const QString& path,
                                                         QObject* parent, double weight)
    : FastFileOpTaskSpecification(path, nullptr, parent, weight)
    , mustSucceed(mustSucceed)
{
}

bool FileDeleteTaskSpecification::doOp()
{
    const bool removed =
        wholeTree && FileEntry::isFolder(path) ? FileEntry::removeTree(path) : QFile::remove(path);
    if (removed || !mustSucceed)
        return true;
    emit message(QStringLiteral("Could not delete '%1'").arg(path));
    return false;
}

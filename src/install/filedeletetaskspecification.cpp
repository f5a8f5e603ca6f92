#include "install/filedeletetaskspecification.h"

#include <QFile>

FileDeleteTaskSpecification::FileDeleteTaskSpecification(bool mustSucceed, const QString& path,
                                                         QObject* parent, double weight)
    : FastFileOpTaskSpecification(path, nullptr, parent, weight)
    , mustSucceed(mustSucceed)
{
}

bool FileDeleteTaskSpecification::doOp()
{
    if (QFile::remove(path) || !mustSucceed)
        return true;
    emit message(QStringLiteral("Could not delete '%1'").arg(path));
    return false;
}

#include "install/filecopytaskspecification.h"

#include "install/filecopyfunc.h"

FileCopyTaskSpecification::FileCopyTaskSpecification(RollbackDataList* journal, const QString& src,
                                                     const QString& dst, QObject* parent,
                                                     double weight)
    : SlowFileOpSpecification(QStringLiteral("Could not copy '%1' to '%2'").arg(src, dst), journal,
                              src, dst, parent, weight)
{
}

ASyncFunc* FileCopyTaskSpecification::createFunction()
{
    return new FileCopyFunc(src, dst, replaceDst, executable);
}

#include "install/fileunziptaskspecification.h"

#include "install/fileunzipfunc.h"

FileUnzipTaskSpecification::FileUnzipTaskSpecification(RollbackDataList* journal,
                                                       const QString& src, const QString& dst,
                                                       QObject* parent, double weight)
    : SlowFileOpSpecification(QStringLiteral("Could not unzip '%1' to '%2'").arg(src, dst), journal,
                              src, dst, parent, weight)
{
}

ASyncFunc* FileUnzipTaskSpecification::createFunction()
{
    return new FileUnzipFunc(src, dst, replaceDst, executable);
}

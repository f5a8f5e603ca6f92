#include "install/filecopyfunc.h"

#include <QFile>

FileCopyFunc::FileCopyFunc(const QString& src, const QString& dst)
    : SlowFileOpFunc(src, dst)
{
}

bool FileCopyFunc::run()
{
    return QFile::copy(src, dst);
}

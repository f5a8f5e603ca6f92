#ifndef FILECOPYFUNC_H
#define FILECOPYFUNC_H

#include "tasks/slowfileoptaskspecification.h"

// Copies src to dst on a pool thread. Never overwrites an existing dst.
class FileCopyFunc : public SlowFileOpFunc
{
    Q_OBJECT
    Q_DISABLE_COPY(FileCopyFunc)

public:
    FileCopyFunc(const QString& src, const QString& dst);

    // QFile::copy(src, dst); a failed copy leaves no partial dst behind.
    bool run() override;
};

#endif // FILECOPYFUNC_H

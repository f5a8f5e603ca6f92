#ifndef FILEUNZIPFUNC_H
#define FILEUNZIPFUNC_H

#include "tasks/slowfileoptaskspecification.h"

// Decompresses the gzip file src into dst on a pool thread, streaming through a fixed buffer.
// A source that is not gzip data is copied through unchanged. No partial or empty dst
// survives a failure.
class FileUnzipFunc : public SlowFileOpFunc
{
    Q_OBJECT
    Q_DISABLE_COPY(FileUnzipFunc)

public:
    FileUnzipFunc(const QString& src, const QString& dst);

    // unzipFile(dst, src); removes dst when that fails.
    bool run() override;
    // Note the order: the destination first. Truncates an existing destination; false on any
    // failure to open, read, write or flush. Both paths are encoded as QFile encodes them.
    bool unzipFile(const QString& destination, const QString& source);
};

#endif // FILEUNZIPFUNC_H

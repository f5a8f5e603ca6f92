#ifndef FILEUNZIPFUNC_H
#define FILEUNZIPFUNC_H

#include "tasks/slowfileoptaskspecification.h"

class StagedFile;

// Decompresses the gzip file src into dst on a pool thread, streaming through a fixed buffer.
// A source that is not gzip data is copied through unchanged. The output is written under a
// temporary name next to dst and then given its name, so dst never holds partial output and a
// failure leaves it as it was. Overwrites an existing dst only when replaceDst is set.
class FileUnzipFunc : public SlowFileOpFunc
{
    Q_OBJECT
    Q_DISABLE_COPY(FileUnzipFunc)

public:
    FileUnzipFunc(const QString& src, const QString& dst, bool replaceDst = false,
                  bool executable = false);

    // unzipFile into the temporary file, which is put in place when that succeeds; with
    // executable it has ExecutableMode before.
    bool run() override;
    // Note the order: the destination first, written through its open descriptor. False on any
    // failure to open, read or write. The source path is encoded as QFile encodes it.
    bool unzipFile(StagedFile& destination, const QString& source);
};

#endif // FILEUNZIPFUNC_H

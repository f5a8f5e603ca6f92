#include "install/fileunzipfunc.h"

#include "install/stagedfile.h"

#include <QFile>

#include <zlib.h>

namespace {
constexpr int BlockSize = 16384;
} // namespace

FileUnzipFunc::FileUnzipFunc(const QString& src, const QString& dst, bool replaceDst,
                             bool executable)
    : SlowFileOpFunc(src, dst, replaceDst, executable)
{
}

bool FileUnzipFunc::run()
{
    StagedFile output(dst, replaceDst);
    return output.isOpen() && (!executable || output.setMode(ExecutableMode)) &&
           unzipFile(output, src) && output.place();
}

bool FileUnzipFunc::unzipFile(StagedFile& destination, const QString& source)
{
    // The name as QFile put the download on disk: Latin-1 would miss every file whose path is
    // not plain ASCII, and a compressed download could then never be installed.
    gzFile in = gzopen(QFile::encodeName(source).constData(), "rb");
    if (!in)
        return false;
    gzrewind(in);

    char buffer[BlockSize];
    int n = 0;
    do {
        n = gzread(in, buffer, BlockSize);
    } while (n > 0 && destination.write(buffer, n));
    gzclose(in);
    // 0 only at the end of the data; a failed write leaves n above 0, a read error below.
    return n == 0;
}

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
           unzipFile(output.tempPath(), src) && output.place();
}

bool FileUnzipFunc::unzipFile(const QString& destination, const QString& source)
{
    // The name as QFile put the download on disk: Latin-1 would miss every file whose path is
    // not plain ASCII, and a compressed download could then never be installed.
    const QByteArray sourceName = QFile::encodeName(source);
    QFile out(destination);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;

    gzFile in = gzopen(sourceName.constData(), "rb");
    if (!in)
        return false;
    gzrewind(in);

    char buffer[BlockSize];
    for (;;) {
        const int n = gzread(in, buffer, BlockSize);
        if (n == 0) {
            // The last blocks may still sit in QFile's buffer: a full disk shows only here.
            const bool flushed = out.flush();
            out.close();
            gzclose(in);
            if (!flushed)
                QFile::remove(destination);
            return flushed;
        }
        if (n < 0 || out.write(buffer, n) != n) {
            gzclose(in);
            out.close();
            QFile::remove(destination);
            return false;
        }
    }
}

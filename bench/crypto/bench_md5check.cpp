// The MD5 check of a 3 GiB sparse file: its time, and its memory, which must not follow the
// size of the file. Usage: bench_md5check [size in MiB] [folder for the file]

#include "crypto/checksigfunc.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>

#include <sys/resource.h>

namespace {

qint64 peakResidentKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// MD5 of size zero bytes, computed directly.
QString zeroMd5(qint64 size)
{
    QCryptographicHash hash(QCryptographicHash::Md5);
    const QByteArray block(1 << 20, '\0');
    for (qint64 left = size; left > 0; left -= block.size())
        hash.addData(block.constData(), int(qMin<qint64>(left, block.size())));
    return QString::fromLatin1(hash.result().toHex());
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    const QStringList args = app.arguments();
    const qint64 size = (args.size() > 1 ? args.at(1).toLongLong() : 3072) * 1024 * 1024;
    QTemporaryDir dir(args.size() > 2 ? args.at(2) + QStringLiteral("/md5bench-XXXXXX")
                                      : QString());
    if (!dir.isValid()) {
        out << "cannot create a temporary folder\n";
        return 1;
    }
    const QString path = dir.filePath(QStringLiteral("sparse.bin"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(size)) {
        out << "cannot create a sparse file of " << size << " bytes in " << dir.path() << "\n";
        return 1;
    }
    file.close();

    const QString expected = zeroMd5(size);
    const qint64 before = peakResidentKiB();
    QElapsedTimer timer;
    timer.start();
    CheckSigFunc func(path, expected);
    QObject::connect(&func, &ASyncFunc::message,
                     [&](const QString& text) { out << "message: " << text << "\n"; });
    const bool pass = func.run();
    const qint64 ms = timer.elapsed();
    const qint64 after = peakResidentKiB();

    out << "file size:        " << size / (1024 * 1024) << " MiB\n"
        << "check passed:     " << (pass ? "yes" : "NO") << "\n"
        << "time:             " << ms << " ms (" << (ms > 0 ? size / 1024 / 1024 * 1000 / ms : 0)
        << " MiB/s)\n"
        << "peak RSS before:  " << before << " KiB\n"
        << "peak RSS after:   " << after << " KiB (grew by " << after - before << " KiB)\n";
    // Memory that grew with the file would show up as hundreds of MiB here.
    const bool bounded = after - before < 16 * 1024;
    out << "memory bounded:   " << (bounded ? "yes" : "NO") << "\n";
    return pass && bounded ? 0 : 1;
}

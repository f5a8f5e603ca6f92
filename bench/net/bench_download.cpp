// Downloads one large file from nginx on loopback, first through DownloadTaskSpecification,
// then with "curl -o", and prints both times, their ratio and the peak resident memory of
// this process. Every file it makes lives in a temporary folder that is removed at the end.

#include "net/downloadtaskspecification.h"
#include "net/mirrors.h"
#include "support/nginxserver.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>

#include <cstdio>

namespace {

const int version = 1;
const QString fileName = QStringLiteral("big.bin");

// Peak resident set size of this process so far, in KiB, from /proc/self/status.
qint64 peakResidentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly | QIODevice::Text))
        return -1;
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray& line : lines) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

// Writes size bytes of a non-repeating pattern, so that nothing on the way can shortcut it.
bool makeFile(const QString& path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QByteArray block(1 << 20, Qt::Uninitialized);
    quint32 state = 0x12345678u;
    for (qint64 written = 0; written < size; written += block.size()) {
        for (int i = 0; i < block.size(); i += 4) {
            state = state * 1664525u + 1013904223u;
            memcpy(block.data() + i, &state, 4);
        }
        const qint64 chunk = qMin<qint64>(block.size(), size - written);
        if (file.write(block.constData(), chunk) != chunk)
            return false;
    }
    return file.flush();
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    const qint64 size = argc > 1 ? QByteArray(argv[1]).toLongLong() : (qint64(1) << 30);

    QTemporaryDir dir;
    const QString root = dir.path() + QStringLiteral("/mirror");
    const QString versionDir = root + QLatin1Char('/') + QString::number(version);
    if (!dir.isValid() || !QDir().mkpath(versionDir) ||
        !makeFile(versionDir + QLatin1Char('/') + fileName, size)) {
        out << "cannot create the test file in " << dir.path() << Qt::endl;
        return 1;
    }

    NginxServer nginx;
    nginx.addMirror(root);
    if (!nginx.start()) {
        out << "nginx did not start: " << nginx.errorText() << Qt::endl;
        return 1;
    }
    const QString mirrorsIni = dir.path() + QStringLiteral("/mirrors.ini");
    nginx.writeMirrorsIni(mirrorsIni);

    QNetworkAccessManager manager;
    manager.setProxy(QNetworkProxy::NoProxy);
    Mirrors mirrors(nullptr);
    mirrors.initDefault(mirrorsIni, version);

    const QString qtTarget = dir.path() + QStringLiteral("/qt.bin");
    DownloadTaskSpecification task(&manager, &mirrors, fileName, qtTarget, size, nullptr, 1.0);
    QEventLoop loop;
    QObject::connect(&task, &TaskSpecification::finished, &loop, &QEventLoop::quit);
    QObject::connect(&task, &TaskSpecification::canceled, &loop, &QEventLoop::quit);
    QObject::connect(&task, &TaskSpecification::message,
                     [&out](const QString& text) { out << "  " << text << Qt::endl; });
    const qint64 peakBefore = peakResidentKiB();
    QElapsedTimer timer;
    timer.start();
    task.execute();
    if (task.state == TaskRunning)
        loop.exec();
    const double qtSeconds = timer.nsecsElapsed() / 1e9;
    const qint64 peakAfter = peakResidentKiB();
    const qint64 qtSize = QFileInfo(qtTarget).size();
    if (task.state != TaskFinished || qtSize != size) {
        out << "download through DownloadTaskSpecification failed" << Qt::endl;
        return 1;
    }
    QFile::remove(qtTarget);

    const QString curlTarget = dir.path() + QStringLiteral("/curl.bin");
    const QString url =
        nginx.url(0) + QLatin1Char('/') + QString::number(version) + QLatin1Char('/') + fileName;
    timer.restart();
    const int curlStatus = QProcess::execute(
        QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("--noproxy"),
                                 QStringLiteral("*"), QStringLiteral("-o"), curlTarget, url});
    const double curlSeconds = timer.nsecsElapsed() / 1e9;
    const qint64 curlSize = QFileInfo(curlTarget).size();
    QFile::remove(curlTarget);
    if (curlStatus != 0 || curlSize != size) {
        out << "curl failed with status " << curlStatus << Qt::endl;
        return 1;
    }

    const double mib = size / double(1 << 20);
    out << QStringLiteral("file size:                     %1 MiB").arg(mib, 0, 'f', 0) << Qt::endl;
    out << QStringLiteral("DownloadTaskSpecification:     %1 s (%2 MiB/s)")
               .arg(qtSeconds, 0, 'f', 2)
               .arg(mib / qtSeconds, 0, 'f', 0)
        << Qt::endl;
    out << QStringLiteral("curl -o:                       %1 s (%2 MiB/s)")
               .arg(curlSeconds, 0, 'f', 2)
               .arg(mib / curlSeconds, 0, 'f', 0)
        << Qt::endl;
    out << QStringLiteral("ratio (task / curl):           %1")
               .arg(qtSeconds / curlSeconds, 0, 'f', 2)
        << Qt::endl;
    out << QStringLiteral("peak memory (VmHWM) before:    %1 KiB").arg(peakBefore) << Qt::endl;
    out << QStringLiteral("peak memory (VmHWM) after:     %1 KiB").arg(peakAfter) << Qt::endl;
    return 0;
}

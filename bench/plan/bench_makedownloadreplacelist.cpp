// Two commands, both resolved against the folder this program runs from (the application
// folder of the compilation):
//   generate TEMPDIR FILES BYTES   writes FILES random files of BYTES bytes below data/ and a
//                                  product ini listing them into TEMPDIR
//   compile TEMPDIR                compiles that product ini and prints the seconds it took;
//                                  fails unless every file was found current
#include "config/configuration.h"
#include "plan/makedownloadreplacelisttaskspecification.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTextStream>

#include <cstdio>

namespace {

const QString ClientType = QStringLiteral("client_linux_x86");
constexpr int FilesPerFolder = 100;

int generate(const QString& tempDir, int files, int bytes)
{
    const QString appRoot = Configuration::getAppRootPath();
    QFile ini(tempDir + QLatin1Char('/') + ClientType + QStringLiteral(".ini"));
    if (!ini.open(QIODevice::WriteOnly)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(ini.fileName()));
        return 1;
    }
    QTextStream out(&ini);
    out << "[client]\n";
    QByteArray data(bytes, '\0'); // random words cover all but the last bytes % 4
    QRandomGenerator random(4711);
    for (int i = 0; i < files; ++i) {
        const QString rel =
            QStringLiteral("data/d%1/f%2.bin").arg(i / FilesPerFolder).arg(i % FilesPerFolder);
        random.fillRange(reinterpret_cast<quint32*>(data.data()), bytes / 4);
        QDir().mkpath(appRoot + QStringLiteral("/data/d%1").arg(i / FilesPerFolder));
        QFile file(appRoot + QLatin1Char('/') + rel);
        if (!file.open(QIODevice::WriteOnly) || file.write(data) != bytes) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(file.fileName()));
            return 1;
        }
        const QByteArray md5 = QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
        out << rel << '=' << md5 << "::" << bytes << '\n';
    }
    return 0;
}

int compile(const QString& tempDir)
{
    Configuration config;
    config.clientType = ClientType;
    config.tempDir = tempDir;
    FileSpecifications output;
    MakeDownloadReplaceListTaskSpecification task(&config, output, nullptr, 1.0);
    QObject::connect(&task, &TaskSpecification::finished, qApp, &QCoreApplication::quit);
    QObject::connect(&task, &TaskSpecification::canceled, qApp, &QCoreApplication::quit);
    QObject::connect(&task, &TaskSpecification::message,
                     [](const QString& text) { std::fprintf(stderr, "%s\n", qPrintable(text)); });

    QElapsedTimer timer;
    timer.start();
    task.execute();
    QCoreApplication::exec();
    const double seconds = timer.nsecsElapsed() / 1e9;

    if (task.state != TaskFinished || !output.downloads.isEmpty() || !output.replaces.isEmpty()) {
        std::fprintf(stderr, "compilation did not find every file current\n");
        return 1;
    }
    std::printf("%.3f\n", seconds);
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() == 5 && args.at(1) == QLatin1String("generate"))
        return generate(args.at(2), args.at(3).toInt(), args.at(4).toInt());
    if (args.size() == 3 && args.at(1) == QLatin1String("compile"))
        return compile(args.at(2));
    std::fprintf(stderr, "usage: %s generate TEMPDIR FILES BYTES | compile TEMPDIR\n", argv[0]);
    return 2;
}

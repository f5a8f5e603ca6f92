#include "support/probeappfolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QUrl>

ProbeAppFolder::ProbeAppFolder(const QString& folderName, const QString& program)
{
    if (!temporary.isValid()) {
        failure = temporary.errorString();
        return;
    }
    folder = temporary.path() + QLatin1Char('/') + folderName;
    const QString source =
        program.isEmpty() ? QStringLiteral(TEST_BINARY_DIR "/tests/config/configprobe") : program;
    programName = QFileInfo(source).fileName();
    if (!QDir().mkpath(folder) || !QFile::copy(source, programPath()))
        failure = QStringLiteral("cannot copy %1 into %2").arg(source, folder);
}

ProbeAppFolder::Result ProbeAppFolder::run(const QString& operation, const QStringList& arguments,
                                           const QMap<QString, QString>& environment) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("CONFIGPROBE_OP"), operation);
    for (auto it = environment.cbegin(); it != environment.cend(); ++it)
        env.insert(it.key(), it.value());

    QProcess process;
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(programPath(), arguments);
    Result result;
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished(3000);
        result.output = QStringLiteral("probe did not finish");
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    const QByteArray output = process.readAllStandardOutput();
    result.output = QString::fromUtf8(output);
    result.errorOutput = QString::fromLocal8Bit(process.readAllStandardError());
    for (const QByteArray& line : output.split('\n')) {
        const int equals = line.indexOf('=');
        if (equals > 0)
            result.values.insert(
                QString::fromUtf8(line.left(equals)),
                QString::fromUtf8(QByteArray::fromPercentEncoding(line.mid(equals + 1))));
    }
    return result;
}

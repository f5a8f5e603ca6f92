#include "support/updateserverprocess.h"

#include <QDeadlineTimer>
#include <QHostInfo>

UpdateServerProcess::~UpdateServerProcess()
{
    if (process.state() != QProcess::NotRunning) {
        process.terminate();
        if (!process.waitForFinished(3000)) {
            process.kill();
            process.waitForFinished(3000);
        }
    }
}

QString UpdateServerProcess::programPath()
{
    return QStringLiteral(TEST_BINARY_DIR "/tools/update-server/update-server");
}

bool UpdateServerProcess::serverHostIsLoopback()
{
    const QHostInfo info = QHostInfo::fromName(QStringLiteral(UPDATE_SERVER_HOST));
    bool loopbackOnly = !info.addresses().isEmpty();
    for (const QHostAddress& address : info.addresses())
        loopbackOnly = loopbackOnly && address.isLoopback();
    return loopbackOnly;
}

bool UpdateServerProcess::start(const QString& versions, const QString& news, const QString& banner,
                                const QStringList& extraArguments)
{
    QStringList arguments{QStringLiteral("--versions"), versions, QStringLiteral("--news"), news,
                          QStringLiteral("--banner"),   banner};
    arguments += extraArguments;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(programPath(), arguments);
    if (!process.waitForStarted(5000)) {
        failure = process.errorString();
        return false;
    }
    QByteArray output;
    const QDeadlineTimer deadline(5000);
    while (!output.contains("listening on") && !deadline.hasExpired()) {
        if (process.state() == QProcess::NotRunning)
            break;
        process.waitForReadyRead(100);
        output += process.readAll();
    }
    if (output.contains("listening on"))
        return true;
    failure = QString::fromLocal8Bit(output);
    return false;
}

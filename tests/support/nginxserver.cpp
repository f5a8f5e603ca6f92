#include "support/nginxserver.h"

#include "support/treesnapshot.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <unistd.h>

namespace {

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

} // namespace

NginxServer::~NginxServer()
{
    stop();
}

int NginxServer::addMirror(const QString& root, const QString& extra)
{
    Mirror mirror;
    mirror.root = QDir(root).absolutePath();
    mirror.extra = extra;
    mirrors.append(mirror);
    return mirrors.size() - 1;
}

QString NginxServer::binaryPath()
{
    return QStringLiteral("/usr/sbin/nginx");
}

QString NginxServer::url(int mirror) const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port(mirror));
}

QString NginxServer::mirrorName(int mirror)
{
    return QStringLiteral("mirror%1").arg(mirror);
}

QString NginxServer::configText() const
{
    const QString dir = workDir.path();
    QString text;
    text += QStringLiteral("daemon off;\nmaster_process off;\nworker_processes 1;\n");
    // As root nginx would switch to "nobody" and lose access to the test's private folders.
    if (geteuid() == 0)
        text += QStringLiteral("user root root;\n");
    text += QStringLiteral("pid \"%1/nginx.pid\";\n").arg(dir);
    text += QStringLiteral("lock_file \"%1/nginx.lock\";\n").arg(dir);
    text += QStringLiteral("error_log \"%1/error.log\" info;\n").arg(dir);
    text += QStringLiteral("events { worker_connections 256; }\n");
    text += QStringLiteral("http {\n");
    text += QStringLiteral("    access_log \"%1/access.log\";\n").arg(dir);
    for (const char* kind : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
        text += QStringLiteral("    %1_temp_path \"%2/%1\";\n").arg(QLatin1String(kind), dir);
    text += QStringLiteral("    default_type application/octet-stream;\n");
    text += QStringLiteral("    sendfile on;\n    keepalive_timeout 65;\n");
    for (int i = 0; i < mirrors.size(); ++i) {
        const Mirror& mirror = mirrors.at(i);
        text += QStringLiteral("    server {\n");
        text += QStringLiteral("        listen 127.0.0.1:%1;\n").arg(mirror.port);
        text += QStringLiteral("        server_name %1;\n").arg(mirrorName(i));
        text += QStringLiteral("        root \"%1\";\n").arg(mirror.root);
        text += QStringLiteral("        location / { }\n");
        if (!mirror.extra.isEmpty())
            text += QStringLiteral("        %1\n").arg(mirror.extra);
        text += QStringLiteral("    }\n");
    }
    text += QStringLiteral("}\n");
    return text;
}

bool NginxServer::start()
{
    if (isRunning())
        return true;
    if (!workDir.isValid()) {
        lastError = QStringLiteral("no temporary folder for nginx");
        return false;
    }
    if (!QFile::exists(binaryPath())) {
        lastError = QStringLiteral("%1 is not installed").arg(binaryPath());
        return false;
    }
    const QString dir = workDir.path();
    // A port found free may be taken by another test before nginx binds it: try again then.
    for (int attempt = 0; attempt < 5; ++attempt) {
        for (Mirror& mirror : mirrors)
            mirror.port = freeLoopbackPort();
        QFile config(dir + QStringLiteral("/nginx.conf"));
        if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            lastError = QStringLiteral("cannot write %1").arg(config.fileName());
            return false;
        }
        config.write(configText().toUtf8());
        config.close();
        QFile::remove(dir + QStringLiteral("/error.log"));

        process.setProgram(binaryPath());
        process.setArguments({QStringLiteral("-p"), dir + QLatin1Char('/'), QStringLiteral("-c"),
                              config.fileName(), QStringLiteral("-e"),
                              dir + QStringLiteral("/error.log")});
        process.setStandardOutputFile(dir + QStringLiteral("/stdout.log"));
        process.setStandardErrorFile(dir + QStringLiteral("/stderr.log"));
        process.start();
        if (!process.waitForStarted(5000)) {
            lastError = process.errorString();
            return false;
        }
        if (waitUntilListening(10000))
            return true;
        stop();
        lastError = QString::fromUtf8(errorLog() + readFile(dir + QStringLiteral("/stderr.log")));
        if (!lastError.contains(QLatin1String("Address already in use")))
            return false;
    }
    return false;
}

bool NginxServer::waitUntilListening(int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    int ready = 0;
    while (ready < mirrors.size() && timer.elapsed() < timeoutMs) {
        if (process.state() != QProcess::Running)
            return false;
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, mirrors.at(ready).port);
        if (socket.waitForConnected(200))
            ++ready;
        else
            QThread::msleep(20);
    }
    return ready == mirrors.size() && process.state() == QProcess::Running;
}

void NginxServer::stop()
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

bool NginxServer::isRunning() const
{
    return process.state() == QProcess::Running;
}

bool NginxServer::writeMirrorsIni(const QString& path, int retries) const
{
    QSettings settings(path, QSettings::IniFormat);
    settings.clear();
    settings.beginWriteArray(QStringLiteral("mirrors"), mirrors.size());
    for (int i = 0; i < mirrors.size(); ++i) {
        settings.setArrayIndex(i);
        settings.setValue(QStringLiteral("mirror"), mirrorName(i));
    }
    settings.endArray();
    for (int i = 0; i < mirrors.size(); ++i) {
        settings.beginGroup(mirrorName(i));
        settings.setValue(QStringLiteral("url"), url(i));
        settings.setValue(QStringLiteral("retries"), retries);
        settings.endGroup();
    }
    settings.sync();
    return settings.status() == QSettings::NoError;
}

QByteArray NginxServer::errorLog() const
{
    return readFile(workDir.path() + QStringLiteral("/error.log"));
}

QByteArray NginxServer::accessLog() const
{
    return readFile(workDir.path() + QStringLiteral("/access.log"));
}

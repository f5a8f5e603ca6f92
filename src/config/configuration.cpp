#include "config/configuration.h"

#include "config/updatechecker.h"
#include "config/updateinidata.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QSettings>

#include <sys/stat.h>

namespace {

const int defaultDownloadConcurrency = 6;

QString tempDirPrefix()
{
    return QStringLiteral("vendrel_temp_");
}

// The numbers createTempDir writes: 0..999, decimal, no leading zeros.
bool isTempDirNumber(const QString& text)
{
    if (text.isEmpty() || text.size() > 3 || (text.size() > 1 && text.at(0) == QLatin1Char('0')))
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}

} // namespace

Configuration::Configuration(QObject* parent)
    : QObject(parent)
{
}

Configuration::~Configuration() = default;

QString Configuration::getAppRootPath()
{
    return QCoreApplication::applicationDirPath();
}

QString Configuration::getUpdateType()
{
    return QStringLiteral("client_linux_x86");
}

QString Configuration::getClientBinaryName()
{
    return QStringLiteral("qorclient_runscript.sh");
}

QStringList Configuration::getSpecialFileNames()
{
    return QStringList{QStringLiteral("update"),
                       QStringLiteral("libQtCore.so.4"),
                       QStringLiteral("libQtGui.so.4"),
                       QStringLiteral("libQtNetwork.so.4"),
                       QStringLiteral("libqgif.so"),
                       QStringLiteral("libqjpeg.so"),
                       QStringLiteral("libqtaccessiblewidgets.so")};
}

const QString& Configuration::getSpecialFileRenamePrefix()
{
    static const QString prefix = QStringLiteral("_old_");
    return prefix;
}

bool Configuration::isSpecialFileName(const QString& name) const
{
    return getSpecialFileNames().contains(name, Qt::CaseSensitive);
}

void Configuration::getProxyAndDownloadConcurrency()
{
    QSettings settings(UpdateIniData::filename(), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("update"));
    proxy = settings.value(QStringLiteral("proxy")).toString();
    // Read as text: QVariant's conversion would cut a value out of range to its low bits.
    bool parsed = false;
    downloadConcurrency = settings.value(QStringLiteral("streams")).toString().toInt(&parsed);
    if (!parsed || downloadConcurrency < 1)
        downloadConcurrency = defaultDownloadConcurrency;
}

void Configuration::getUpdateChannel()
{
    QSettings settings(UpdateIniData::filename(), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("Channel"));
    const QString alpha = settings.value(QStringLiteral("alpha")).toString();
    const bool beta = settings.value(QStringLiteral("beta"), false).toBool();
    if (!alpha.isEmpty()) {
        updateChannel = UpdateChannelAlpha;
        bool parsed = false;
        clientVersion = settings.value(QStringLiteral("alphaRevno")).toString().toInt(&parsed);
        if (!parsed)
            clientVersion = 0;
        return;
    }
    updateChannel = beta ? UpdateChannelBeta : UpdateChannelStable;
    clientVersion = 0;
}

bool Configuration::getClientVersionFromString(const QString& text, const QString& errorFormat)
{
    if (clientVersion != 0)
        return true;
    bool parsed = false;
    clientVersion = text.toInt(&parsed, 10);
    if (parsed)
        return true;
    emit fatalError(errorFormat.arg(text));
    return false;
}

bool Configuration::getClientTypeVersion(const QStringList& args, int index)
{
    if (index < 0 || index >= args.size()) {
        emit fatalError(QStringLiteral("No client type specified"));
        return false;
    }
    clientType = args.at(index);
    if (index + 1 < args.size())
        return getClientVersionFromString(
            args.at(index + 1), QCoreApplication::translate("QObject", "Invalid version nr (%1)"));
    emit fatalError(QStringLiteral("No client version specified"));
    return false;
}

bool Configuration::getDefaultParameters()
{
    if (clientType.isEmpty())
        clientType = getUpdateType();
    if (clientVersion != 0)
        return true;
    const QPair<QString, QString> latest = getLatestClientVersion(updateChannel, news);
    if (latest.first.isEmpty())
        return false;
    if (!getClientVersionFromString(
            latest.first, QCoreApplication::translate(
                              "QObject", "Update server returned invalid version nr (%1)")))
        return false;
    clientVersionLabel = latest.second;
    return true;
}

bool Configuration::parseCommandLineOptions()
{
    const QStringList args = QCoreApplication::arguments();
    getUpdateChannel();
    noUserMode = false;

    const QString noUserOption = QStringLiteral("--nouser");
    if (args.size() >= 2 && args.at(1) == noUserOption) {
        if (args.size() >= 4 && !getClientTypeVersion(args, 2))
            return false;
        if (args.size() >= 5 && args.at(4) != QLatin1String("#"))
            clientVersionLabel = args.at(4);
        if (args.size() >= 6)
            news = args.at(5);
        if (!getDefaultParameters())
            return false;
        noUserMode = true;
        return true;
    }
    if (args.size() == 3)
        return getClientTypeVersion(args, 1);
    return getDefaultParameters();
}

QPair<QString, QString> Configuration::getLatestClientVersion(UpdateChannel channel, QString& news)
{
    UpdateChecker checker;
    for (;;) {
        if (checker.checkUpdate()) {
            news = checker.news;
            return checker.getClientVersionByChannel(channel);
        }
        const QMessageBox::StandardButton answer = QMessageBox::critical(
            nullptr, QCoreApplication::translate("QObject", "Error"),
            QCoreApplication::translate(
                "QObject", "Failed to query latest client\nversion from update server."),
            QMessageBox::Retry | QMessageBox::Abort, QMessageBox::NoButton);
        if (answer == QMessageBox::Abort)
            return qMakePair(QString(), QString());
    }
}

bool Configuration::createTempDir(const std::function<void(const QString&)>& record)
{
    QString base = QDir::tempPath();
    if (base.isEmpty()) {
        emit fatalError(QStringLiteral("Unable to get temp directory."));
        return false;
    }
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    base += tempDirPrefix();

    QDir().mkpath(QFileInfo(base).absolutePath());
    for (int n = 0; n < 1000; ++n) {
        const QString candidate = base + QString::number(n);
        // mkdir fails on anything already there, a planted (even dangling) symbolic link
        // included, so the folder is always our own, fresh and private.
        const QByteArray path = QFile::encodeName(candidate);
        struct stat info;
        if (::lstat(path.constData(), &info) == 0)
            continue;
        if (record)
            record(candidate);
        if (::mkdir(path.constData(), S_IRWXU) != 0)
            continue;
        ::chmod(path.constData(), S_IRWXU);
        tempDir = candidate;
        return true;
    }
    emit fatalError(QStringLiteral("Unable to create temp directory."));
    return false;
}

bool Configuration::isTempDirPath(const QString& path)
{
    // Only the text itself is judged, as it will be used: the system follows a link before a
    // trailing "/" or "/.", and resolves ".." after following links, so any other spelling of
    // a good name may lead somewhere else.
    if (path != QDir::cleanPath(path))
        return false;
    const QString tempPath = QDir::tempPath();
    if (tempPath.isEmpty())
        return false;
    const QFileInfo info(path);
    const QString name = info.fileName();
    return info.path() == QDir::cleanPath(tempPath) && name.startsWith(tempDirPrefix()) &&
           isTempDirNumber(name.mid(tempDirPrefix().size()));
}

bool Configuration::initalizeStart(const QString& dir,
                                   const std::function<void(const QString&)>& record)
{
    if (dir.isEmpty())
        return createTempDir(record);
    tempDir = dir;
    return true;
}

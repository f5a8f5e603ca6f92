#include "engine/updateengine.h"

#include "config/configuration.h"
#include "config/updateinidata.h"
#include "crypto/tomcryptutil.h"
#include "engine/banner.h"
#include "engine/maintaskspecification.h"
#include "net/mirrors.h"
#include "net/mirrorurl.h"
#include "tasks/fileentry.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const int tickMs = 1000;
const quint16 defaultProxyPort = 3128;
const qint64 maxBannerSize = 270000;
const qint64 bannerReadBufferSize = 64 * 1024;

QString mirrorsFileName()
{
    return QStringLiteral("mirrors.ini");
}

QString appFilePath(const QString& name)
{
    return QDir(Configuration::getAppRootPath()).absoluteFilePath(name);
}

// Removes the emptied folder itself; false when it has no parent or could not be removed.
bool removeFolder(const QString& path, bool* hasParent)
{
    QDir dir(path);
    const QString name = dir.dirName();
    *hasParent = dir.cdUp();
    return *hasParent && dir.rmdir(name);
}
} // namespace

UpdateEngine::UpdateEngine(Configuration& config, QObject* parent)
    : QObject(parent)
    , config(&config)
    , timer(new QTimer(this))
    , manager(new QNetworkAccessManager(this))
{
    connect(&config, &Configuration::message, this, &UpdateEngine::message);
    connect(timer, &QTimer::timeout, this, &UpdateEngine::onTimer);

    config.getProxyAndDownloadConcurrency();
    if (config.proxy.isEmpty()) {
        manager->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
        return;
    }
    const QUrl url(config.proxy);
    // A text without "scheme://" still parses as a URL, but names no host to connect to.
    if (url.isValid() && !url.host().isEmpty()) {
        manager->setProxy(
            QNetworkProxy(QNetworkProxy::HttpProxy, url.host(), url.port(defaultProxyPort)));
        return;
    }
    // Queued, so that it reaches the receivers connected right after construction.
    const QString text = QStringLiteral("'%1' is an invalid proxy specification").arg(config.proxy);
    QMetaObject::invokeMethod(
        this, [this, text]() { emit fatalError(text); }, Qt::QueuedConnection);
}

UpdateEngine::~UpdateEngine()
{
    // A running task holds replies of the manager and slots of the mirror list; children go in
    // the order created, so the tasks must go before them. A task released by reset() may
    // still run and wait for its deferred deletion.
    const QList<MainTaskSpecification*> tasks =
        findChildren<MainTaskSpecification*>(QString(), Qt::FindDirectChildrenOnly);
    for (MainTaskSpecification* each : tasks) {
        disconnect(each, nullptr, this, nullptr);
        delete each;
    }
    task = nullptr;
}

bool UpdateEngine::initialize()
{
    try {
        crypt_init();
    } catch (const crypt_exception& e) {
        emit fatalError(QString::fromLatin1(e.what()));
        return false;
    }

    if (!QFileInfo::exists(appFilePath(mirrorsFileName()))) {
        emit fatalError(QStringLiteral("%1 is missing, cannot proceed.").arg(mirrorsFileName()));
        return false;
    }

    // The mirror draws of the run use qrand, which Qt 5.15 marks deprecated but keeps.
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    qsrand(uint(QDateTime::currentDateTime().toSecsSinceEpoch()));
    QT_WARNING_POP

    QString dir;
    int version = 0;
    if (UpdateIniData::get(&version, nullptr, &dir)) {
        if (version == config->clientVersion) {
            emit message(QStringLiteral("Previous update session for v. %1 found").arg(version));
        } else {
            emit message(QStringLiteral("Cleanup previous session (v. %1, %2) files...")
                             .arg(version)
                             .arg(dir));
            cleanupDirectory(dir);
            bool hasParent = false;
            const bool removed = removeFolder(dir, &hasParent);
            if (hasParent)
                emit message(removed ? QStringLiteral("Ok")
                                     : QStringLiteral("Failed to remove directory"));
            dir.clear();
            UpdateIniData::cleanup();
        }
    }

    const auto record = [this](const QString& folder) {
        UpdateIniData::modify(config->clientVersion, folder, config->clientType);
    };
    if (!config->initalizeStart(dir, record))
        return false;
    // A new folder was recorded as it was made.
    if (!dir.isEmpty())
        record(config->tempDir);

    // The list of an earlier run is not used again; its task has been released before it.
    if (mirrors)
        mirrors->deleteLater();
    mirrors = new Mirrors(this);
    connect(mirrors, &Mirrors::fatalError, this, &UpdateEngine::fatalError);
    connect(mirrors, &Mirrors::message, this, &UpdateEngine::message);
    const bool loaded =
        config->updateChannel == UpdateChannelAlpha
            ? mirrors->initAlpha(appFilePath(QStringLiteral("update.ini")), config->clientVersion)
            : mirrors->initDefault(appFilePath(mirrorsFileName()), config->clientVersion);
    if (!loaded)
        return false;

    state = EngineInitialized;
    return true;
}

bool UpdateEngine::startUpdate()
{
    task = new MainTaskSpecification(manager, mirrors, config, this, 1.0);
    connect(task, &TaskSpecification::finished, this, &UpdateEngine::onTaskFinished);
    connect(task, &TaskSpecification::canceled, this, &UpdateEngine::onTaskCanceled);
    connect(task, &TaskSpecification::error, this, &UpdateEngine::error);
    connect(task, &TaskSpecification::updateProgress, this, &UpdateEngine::updateProgress);
    connect(task, &TaskSpecification::message, this, &UpdateEngine::message);

    state = EngineRunning;
    timer->start(tickMs);
    task->execute();
    return true;
}

bool UpdateEngine::busy() const
{
    return state == EngineInitialized || state == EngineRunning;
}

void UpdateEngine::cancelUpdate()
{
    if (state == EngineRunning && task)
        task->userCanceled();
}

void UpdateEngine::reset()
{
    state = EngineIdle;
    timer->stop();
    releaseTask();
}

void UpdateEngine::releaseTask()
{
    if (!task)
        return;
    disconnect(task, nullptr, this, nullptr);
    task->deleteLater();
    task = nullptr;
}

void UpdateEngine::onTimer()
{
    if (state != EngineRunning || !task)
        return;
    quint64 done = 0;
    quint64 total = 0;
    quint64 speed = 0;
    bool downloading = false;
    MainTaskSpecification* const ticked = task;
    task->timeTick(done, total, speed, downloading);
    // A download that fails for good inside the tick ends the run before timeTick returns;
    // the end has been reported, and figures after it would show a download still running.
    if (state != EngineRunning || task != ticked)
        return;
    emit downloadProgress(done, total, speed, downloading);
}

void UpdateEngine::onTaskFinished()
{
    timer->stop();
    cleanup();
    state = EngineFinished;
    emit message(QStringLiteral("Update successfully finished"));
    releaseTask();
    emit downloadProgress(0, 0, 0, false);
    emit updateFinished();
}

void UpdateEngine::onTaskCanceled()
{
    timer->stop();
    state = EngineCanceled;
    if (task && task->state == TaskUserCanceled)
        emit message(QStringLiteral("User aborted update"));
    releaseTask();
    emit downloadProgress(0, 0, 0, false);
    emit updateCanceled();
}

void UpdateEngine::removeOldFiles(const QString& dir)
{
    const QDir folder(dir);
    const QStringList names = Configuration::getSpecialFileNames();
    for (const QString& name : names)
        QFile::remove(folder.absoluteFilePath(Configuration::getSpecialFileRenamePrefix() + name));
}

void UpdateEngine::cleanupDirectory(const QString& path)
{
    // The folder was checked by path a moment ago and may have been swapped for a link since:
    // it is opened without following one, checked again through the handle and emptied
    // through it.
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat info;
    if (::fstat(fd, &info) == 0 && info.st_uid == ::getuid())
        FileEntry::emptyFolder(fd, true);
    ::close(fd);
}

void UpdateEngine::cleanup()
{
    emit message(QStringLiteral("Remove temporary files..."));
    QString dir;
    if (UpdateIniData::get(nullptr, nullptr, &dir)) {
        cleanupDirectory(dir);
        bool hasParent = false;
        removeFolder(dir, &hasParent);
        UpdateIniData::cleanup();
    }
    emit message(QStringLiteral("Temporary files removed."));
}

void UpdateEngine::getBanner()
{
    if (bannerReply)
        return;
    auto* banner = new Banner(this);
    connect(banner, &Banner::bannerFound, this, &UpdateEngine::onBannerFound);
    banner->run();
}

void UpdateEngine::onBannerFound(QString bannerUrl, QString clickUrl)
{
    // One image download at a time: a second reply to the same query changes nothing.
    if (bannerReply)
        return;
    const QUrl url(bannerUrl);
    // The address comes from a datagram: a local file (a device, a pipe) could block the
    // program or never end, so only web addresses are fetched.
    if (!url.isValid() || !isWebAddress(url))
        return;
    bannerClickUrl = clickUrl;
    bannerBody.clear();
    bannerReply = manager->get(QNetworkRequest(url));
    // The body is taken over as it arrives, so neither the reply nor the engine holds more
    // than the limit, whether or not the server announced a size.
    bannerReply->setReadBufferSize(bannerReadBufferSize);
    connect(bannerReply, &QNetworkReply::finished, this, &UpdateEngine::onBannerDownloadFinished);
    connect(bannerReply, &QNetworkReply::metaDataChanged, this,
            &UpdateEngine::onBannermetaDataChanged);
    connect(bannerReply, &QNetworkReply::readyRead, this, &UpdateEngine::onBannerReadyRead);
}

void UpdateEngine::onBannermetaDataChanged()
{
    if (!bannerReply)
        return;
    const QVariant length = bannerReply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() > maxBannerSize)
        dropBannerDownload();
}

void UpdateEngine::onBannerReadyRead()
{
    if (bannerReply)
        takeBannerData();
}

bool UpdateEngine::takeBannerData()
{
    bannerBody += bannerReply->read(maxBannerSize + 1 - bannerBody.size());
    if (bannerBody.size() <= maxBannerSize)
        return true;
    dropBannerDownload();
    return false;
}

void UpdateEngine::dropBannerDownload()
{
    disconnect(bannerReply, nullptr, this, nullptr);
    bannerReply->abort();
    bannerReply->deleteLater();
    bannerReply = nullptr;
    bannerBody.clear();
}

void UpdateEngine::onBannerDownloadFinished()
{
    if (!bannerReply || !takeBannerData())
        return;
    bannerReply->deleteLater();
    bannerReply = nullptr;
    const QByteArray body = bannerBody;
    bannerBody.clear();
    emit bannerFound(body, bannerClickUrl);
}

#include "net/downloadtaskspecification.h"

#include "net/mirrors.h"
#include "net/mirrorurl.h"
#include "net/transportpool.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace {
// What the reply may hold unread before it stops reading from the socket. Without a bound Qt
// buffers as fast as the network delivers, and a large file piles up in memory.
const qint64 replyBufferSize = 1024 * 1024;
// Every read hands the freed room back to Qt's network thread as one queued event, and the
// network thread answers each with a block of at most that room: small reads make the two
// threads trade events for every few kilobytes, which a busy GUI thread or a loaded machine
// turns into the download's pace.
const qint64 copyChunkSize = 256 * 1024;

// One copy buffer for all downloads of a thread: readData() holds on to it only from a read to
// the write of the same block, and a buffer that outlives each file is never handed back to the
// system and faulted in afresh for the next one.
QByteArray& copyBuffer()
{
    thread_local QByteArray buffer(int(copyChunkSize), Qt::Uninitialized);
    return buffer;
}
} // namespace

DownloadTaskSpecification::DownloadTaskSpecification(QNetworkAccessManager* manager,
                                                     Mirrors* mirrors, const QString& remotePath,
                                                     const QString& localPath, qint64 expectedSize,
                                                     QObject* parent, double weight)
    : TaskSpecification(parent, weight)
    , manager(manager)
    , mirrors(mirrors)
    , remotePath(remotePath)
    , file(localPath)
    , expectedSize(expectedSize)
    , initialExpectedSize(expectedSize)
{
}

DownloadTaskSpecification::~DownloadTaskSpecification()
{
    releaseReply();
}

void DownloadTaskSpecification::execute()
{
    emit message(QStringLiteral("Downloading %1").arg(remotePath));
    state = TaskRunning;
    startDownload();
}

void DownloadTaskSpecification::startDownload()
{
    const int picked = mirrors->getRandomMirror(mirror);
    if (picked == Mirrors::NoMirrorLeft) {
        errorCancel();
        return;
    }
    if (picked == Mirrors::AllSlotsInUse) {
        waitForSlot();
        return;
    }
    holdsSlot = true;

    // A new file every time, never one opened at the name: the file there may have become an
    // installed file too (a second name), which must keep its bytes; nor is a link followed.
    // Unbuffered: each write reaches the system at once, so a failed one carries its reason.
    const QIODevice::OpenMode mode =
        QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered;
    if (!file.open(mode) && (!file.remove() || !file.open(mode))) {
        emit error(QStringLiteral("Unable to create file %1 for saving").arg(file.fileName()));
        resetDownload();
        errorCancel();
        return;
    }

    QNetworkRequest request(mirrorFileUrl(mirror.url + QLatin1Char('/'), remotePath));
    // A redirection is a failure of the mirror, never a hop to some other server.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    // Without this Qt offers gzip itself and unpacks any body labelled gzip: a mirror that
    // labels its .gz files that way would deliver other bytes than the ones listed.
    request.setRawHeader("Accept-Encoding", "identity");
    if (transports)
        transport = transports->take();
    reply = (transport ? transport : manager)->get(request);
    if (!reply) {
        emit error(QStringLiteral("Download failed to initialize"));
        resetDownload();
        errorCancel();
        return;
    }

    reply->setReadBufferSize(replyBufferSize);
    if (reply->isRunning()) {
        connect(reply, &QNetworkReply::downloadProgress, this,
                &DownloadTaskSpecification::onDownloadProgress);
        connect(reply, &QNetworkReply::readyRead, this, &DownloadTaskSpecification::onReadyRead);
        connect(reply, &QNetworkReply::finished, this,
                &DownloadTaskSpecification::onDownloadFinished);
        connect(reply, &QNetworkReply::metaDataChanged, this,
                &DownloadTaskSpecification::onMetaDataChanged);
    } else {
        errorRetry(reply->errorString());
    }
}

void DownloadTaskSpecification::waitForSlot()
{
    connect(manager, &QNetworkAccessManager::finished, this,
            &DownloadTaskSpecification::onOtherDownloadFinished,
            static_cast<Qt::ConnectionType>(Qt::QueuedConnection | Qt::UniqueConnection));
}

void DownloadTaskSpecification::stopWaitingForSlot()
{
    manager->disconnect(this);
}

void DownloadTaskSpecification::onOtherDownloadFinished(QNetworkReply*)
{
    stopWaitingForSlot();
    // A wake-up may still be queued after a cancel or a reset stopped the wait.
    if (state == TaskRunning && !reply)
        startDownload();
}

void DownloadTaskSpecification::onMetaDataChanged()
{
    if (!reply)
        return;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isNull() || status.toInt() == 200)
        return;
    mirrors->removeMirror(mirror.name);
    errorRetry(
        QStringLiteral("%1 returned %2")
            .arg(mirror.url + QLatin1Char('/') + remotePath, QString::number(status.toInt())));
}

void DownloadTaskSpecification::onDownloadProgress(qint64, qint64 bytesTotal)
{
    if (bytesTotal > 0 && expectedSize == -1)
        expectedSize = bytesTotal;
}

void DownloadTaskSpecification::onReadyRead()
{
    readData();
}

bool DownloadTaskSpecification::readData()
{
    for (;;) {
        if (!reply)
            return true;
        idleTicks = 0;
        const qint64 available = reply->bytesAvailable();
        if (available <= 0)
            return true;
        qint64 wanted = qMin(available, copyChunkSize);
        // A bounded file takes in one byte past its bound at most.
        if (sizeLimit >= 0)
            wanted = qMin(wanted, sizeLimit + 1 - bytesReceived);
        QByteArray& buffer = copyBuffer();
        const qint64 read = reply->read(buffer.data(), wanted);
        if (read < 0) {
            errorRetry(reply->errorString());
            return false;
        }
        if (read == 0)
            return true;
        if (!writeToFile(buffer.constData(), read))
            return false;
        bytesReceived += read;
        if (expectedSize > 0)
            setProgress(qMin(1.0, double(bytesReceived) / double(expectedSize)));
        if (sizeLimit >= 0 && bytesReceived > sizeLimit) {
            stopAtSizeLimit();
            return false;
        }
    }
}

bool DownloadTaskSpecification::writeToFile(const char* data, qint64 size)
{
    while (size > 0) {
        // A short write is retried for the rest, whose failure then names the system's reason.
        const qint64 written = file.write(data, size);
        if (written <= 0) {
            // The local disk failed, not the mirror: no other mirror would fare better.
            emit error(QStringLiteral("Error writing to file %1: %2")
                           .arg(file.fileName(), file.errorString()));
            resetDownload();
            errorCancel();
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

void DownloadTaskSpecification::stopAtSizeLimit()
{
    // The rest is not wanted: what is on disk already fails the check by its size alone.
    reply->disconnect(this);
    reply->abort();
    releaseReply();
    file.close();
    downloadFinished();
}

void DownloadTaskSpecification::onDownloadFinished()
{
    if (!reply)
        return;
    if (reply->error() != QNetworkReply::NoError) {
        if (reply->error() == QNetworkReply::AuthenticationRequiredError) {
            mirrors->removeMirror(mirror.name);
            reply->close();
        }
        errorRetry(reply->errorString());
        return;
    }
    if (!readData())
        return;
    reply->close();
    releaseReply();
    file.close();
    downloadFinished();
}

void DownloadTaskSpecification::downloadFinished()
{
    emit message(QStringLiteral("Downloading %1 finished").arg(remotePath));
    if (holdsSlot) {
        holdsSlot = false;
        mirrors->releaseMirror(mirror.name);
    }
    finish();
}

void DownloadTaskSpecification::errorRetry(const QString& text)
{
    mirrors->addMirrorError(mirror.name);
    resetDownload();
    emit message(text);
    startDownload();
}

void DownloadTaskSpecification::resetDownload()
{
    if (holdsSlot) {
        holdsSlot = false;
        mirrors->releaseMirror(mirror.name);
    }
    mirror.name.clear();
    // Released, not aborted: called from one of the reply's own signals, an abort makes it
    // report a second error once its queued status error arrives.
    releaseReply();
    idleTicks = 0;
    if (file.isOpen()) {
        file.close();
        file.remove();
    }
    lastTickBytes = 0;
    expectedSize = initialExpectedSize;
    bytesReceived = 0;
    setProgress(0.0);
}

void DownloadTaskSpecification::releaseReply()
{
    if (reply) {
        reply->disconnect(this);
        reply->deleteLater();
        reply = nullptr;
    }
    if (transport) {
        transports->giveBack(transport);
        transport = nullptr;
    }
}

void DownloadTaskSpecification::reset()
{
    stopWaitingForSlot();
    resetDownload();
    TaskSpecification::reset();
}

void DownloadTaskSpecification::timeTick(quint64& downloadDone, quint64& downloadTotal,
                                         quint64& speed, bool& downloading)
{
    downloadDone = quint64(bytesReceived);
    downloadTotal = expectedSize < 0 ? 0 : quint64(expectedSize);
    speed = quint64(bytesReceived - lastTickBytes);
    lastTickBytes = bytesReceived;

    if (state != TaskRunning || !reply)
        return;
    ++idleTicks;
    if (idleTicks > mirror.timeoutTicks)
        errorRetry(QStringLiteral("file %1 timed out on mirror %2").arg(remotePath, mirror.name));
    else
        downloading = true;
}

void DownloadTaskSpecification::userCanceled()
{
    TaskSpecification::userCanceled();
    if (state != TaskRunning)
        return;
    stopWaitingForSlot();
    resetDownload();
    userCancel();
}

void DownloadTaskSpecification::handleOtherTaskCancelled(TaskSpecification* other)
{
    stopWaitingForSlot();
    if (reply) {
        emit message(QStringLiteral("Abort downloading %1").arg(remotePath));
        resetDownload();
    }
    // A sibling that ended on the user's cancel usually just took the request first: ending
    // with an error here would make the whole run look failed instead of cancelled.
    if (other->state == TaskUserCanceled)
        userCancel();
    else
        errorCancel();
}

#ifndef DOWNLOADTASKSPECIFICATION_H
#define DOWNLOADTASKSPECIFICATION_H

#include "net/ftpsiteaccessdata.h"
#include "tasks/taskspecification.h"

#include <QFile>
#include <QString>

class Mirrors;
class QNetworkAccessManager;
class QNetworkReply;
class TransportPool;

// Fetches one file by a plain GET from a mirror drawn from the shared mirror list into a local
// file, copying the data straight to disk as it arrives; the reply itself holds a bounded
// amount of unread data, so memory use does not grow with the file. A failed attempt (bad status,
// network error, more than the mirror's timeoutTicks ticks without data) deletes the partial
// file, counts an error against the mirror or removes it, and starts again from byte 0 on a
// newly drawn mirror. While every connection slot is taken the task waits for the next reply of
// the manager to finish. It fails when no mirror is left, the local file or the request cannot
// be made, or the local file cannot be written (a full disk); that failure is not the mirror's
// and counts nothing against it. Neither size nor content of the file is checked.
class DownloadTaskSpecification : public TaskSpecification
{
    Q_OBJECT
    Q_DISABLE_COPY(DownloadTaskSpecification)

public:
    // manager and mirrors are shared and not owned. The file is fetched from the mirror's
    // versioned address + "/" + remotePath into localPath. expectedSize < 0 means unknown;
    // -1 also takes the size the server announces.
    DownloadTaskSpecification(QNetworkAccessManager* manager, Mirrors* mirrors,
                              const QString& remotePath, const QString& localPath,
                              qint64 expectedSize, QObject* parent, double weight);
    // Releases a running reply; does not give back its slot or delete a partial file.
    ~DownloadTaskSpecification() override;

    // Logs "Downloading %1", enters TaskRunning and starts the first attempt. May end the task
    // before it returns (no mirror left, file or request cannot be made).
    void execute() override;
    // Abandons the current attempt (its partial file is deleted) and returns to TaskIdle.
    void reset() override;
    // Writes bytes done, bytes expected (0 while unknown) and bytes since the previous tick,
    // sets downloading while a reply runs, and retries once a reply has gone more than
    // mirror.timeoutTicks ticks without data.
    void timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed,
                  bool& downloading) override;
    // While running: abandons the attempt (or stops waiting for a slot) and ends in
    // TaskUserCanceled.
    void userCanceled() override;
    // While running: abandons the attempt (or stops waiting) and ends in TaskUserCanceled when
    // the sibling ended on the user's cancel, else in TaskErrorCanceled.
    void handleOtherTaskCancelled(TaskSpecification* other) override;
    // The file has arrived: logs "Downloading %1 finished", gives back the slot and finishes.
    // The file stays on disk and mirror keeps naming the mirror that delivered it.
    virtual void downloadFinished();

    // Draws a mirror and sends the request, or waits for a slot, or fails the task.
    void startDownload();
    // Ends the current attempt: gives back the slot once, drops the reply, deletes a partial
    // file and clears the counters and progress.
    void resetDownload();
    // Counts an error against the mirror, ends the attempt, logs text and starts the next one.
    void errorRetry(const QString& text);
    // Copies everything the reply has available to the file, in blocks of up to 256 KiB, and
    // reports the progress after each block. False when the attempt has already ended: a read
    // error started a retry, a write error failed the task, or the file passed sizeLimit and
    // the task finished.
    bool readData();
    // Drops the reply of the attempt, if any, and gives its manager back to transports.
    void releaseReply();

    QNetworkAccessManager* manager = nullptr;
    // Where set, each request takes a manager of its own from there, held until the request
    // ends (transport); manager then only tells of the ends of other downloads.
    TransportPool* transports = nullptr;
    QNetworkAccessManager* transport = nullptr;
    Mirrors* mirrors = nullptr;
    QNetworkReply* reply = nullptr;
    int idleTicks = 0;
    QString remotePath;
    QFile file;
    qint64 lastTickBytes = 0;
    qint64 expectedSize = -1;
    qint64 initialExpectedSize = -1;
    qint64 bytesReceived = 0;
    // Once more bytes than this have arrived the transfer stops and the task finishes with
    // the file as it is, too large for the caller's check to accept. Negative: no limit.
    qint64 sizeLimit = -1;
    // The mirror of the current attempt; name empty while no attempt has drawn one.
    FTPSiteAccessData mirror;

private:
    void waitForSlot();
    void stopAtSizeLimit();
    // Writes all of data to the file; on failure emits error with the file's name and the
    // system's reason, ends the attempt and fails the task, and returns false.
    bool writeToFile(const char* data, qint64 size);
    void stopWaitingForSlot();

    // True from the reservation of a slot until it is given back, so it is given back once.
    bool holdsSlot = false;

private slots:
    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onReadyRead();
    void onDownloadFinished();
    void onMetaDataChanged();
    void onOtherDownloadFinished(QNetworkReply* finishedReply);
};

#endif // DOWNLOADTASKSPECIFICATION_H

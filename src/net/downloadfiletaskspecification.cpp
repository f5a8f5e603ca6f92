#include "net/downloadfiletaskspecification.h"

#include "config/configuration.h"
#include "crypto/checksignaturetaskspecification.h"
#include "net/downloadtaskspecification.h"
#include "net/mirrors.h"

DownloadFileTaskSpecification::DownloadFileTaskSpecification(const FileDownloadSpecification& spec,
                                                             QNetworkAccessManager* manager,
                                                             Mirrors* mirrors,
                                                             Configuration* config, QObject* parent,
                                                             double weight)
    : ComposedTaskSpecification(1, weight, parent)
    , spec(spec)
    , manager(manager)
    , mirrors(mirrors)
    , config(config)
{
}

void DownloadFileTaskSpecification::execute()
{
    makeSubtasksAndStart();
}

void DownloadFileTaskSpecification::reset()
{
    clearSubTasks();
    downloadTask = nullptr;
    TaskSpecification::reset();
}

void DownloadFileTaskSpecification::makeSubtasksAndStart()
{
    const QString remotePath = spec.section + QLatin1Char('/') + spec.file;
    const QString localPath = config->tempDir + QLatin1Char('/') + spec.file;

    downloadTask = new DownloadTaskSpecification(manager, mirrors, remotePath, localPath,
                                                 qint64(spec.size), this, 0.8);
    downloadTask->transports = transports;
    addSubTask(downloadTask);

    auto* check = new CheckSignatureTaskSpecification(localPath, spec.md5, false, this, 0.2);
    connect(check, &CheckSignatureTaskSpecification::checkDone, this,
            &DownloadFileTaskSpecification::onSigCheckDone);
    addSubTask(check);

    state = TaskRunning;
    executeSubTasks();
}

void DownloadFileTaskSpecification::onSigCheckDone(bool pass, CheckSignatureTaskSpecification*)
{
    if (pass)
        return;
    if (cancelRequested) {
        // A new attempt would clear the user's cancel: the run is ending, so the failed check
        // ends the task, without blaming the mirror. The reporting check goes with the others.
        clearSubTasks();
        downloadTask = nullptr;
        userCancel();
        return;
    }
    emit message(
        QStringLiteral("md5 sum for %1 failed, invalidating mirror and retrying").arg(spec.file));
    mirrors->removeMirror(downloadTask->mirror.name);
    // The reporting check goes with the others, so its coming finished() no longer counts.
    reset();
    makeSubtasksAndStart();
}

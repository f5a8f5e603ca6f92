#include "net/downloadfilelisttaskspecification.h"

#include "config/configuration.h"
#include "net/downloadfiletaskspecification.h"
#include "net/mirrors.h"
#include "net/transportpool.h"
#include "plan/staysinsidefolder.h"

#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QSet>

DownloadFileListTaskSpecification::DownloadFileListTaskSpecification(
    QList<FileDownloadSpecification>* files, QNetworkAccessManager* manager, Mirrors* mirrors,
    Configuration* config, QObject* parent, double weight)
    : ComposedTaskSpecification(config->downloadConcurrency, weight, parent)
    , files(files)
    , manager(manager)
    , mirrors(mirrors)
    , config(config)
{
}

DownloadFileListTaskSpecification::~DownloadFileListTaskSpecification()
{
    // Later: the file tasks, released only after this body, still hold replies of its managers.
    if (transports)
        transports->deleteLater();
}

void DownloadFileListTaskSpecification::execute()
{
    makeSubtasksAndStart();
}

void DownloadFileListTaskSpecification::reset()
{
    clearSubTasks();
    totalBytes = 0;
    TaskSpecification::reset();
}

void DownloadFileListTaskSpecification::makeSubtasksAndStart()
{
    if (files->isEmpty()) {
        emit message(QStringLiteral("No downloads needed"));
        finish();
        return;
    }
    if (!makeSubDirs())
        return;
    emit message(QStringLiteral("Downloading files"));

    for (const FileDownloadSpecification& entry : qAsConst(*files))
        totalBytes += entry.size;
    if (!transports) {
        // No more requests run at once than the mirrors have slots, and these only shrink.
        int capacity = 0;
        int used = 0;
        mirrors->calcUseStats(capacity, used);
        transports = new TransportPool(manager, qMin(maxParallel, capacity));
    }
    addSubTasksOnDemand(files->size());
    state = TaskRunning;
    executeSubTasks();
}

TaskSpecification* DownloadFileListTaskSpecification::makeSubTask(int index)
{
    auto* task = new DownloadFileTaskSpecification(files->at(index), manager, mirrors, config, this,
                                                   1.0 / files->size());
    task->transports = transports;
    return task;
}

bool DownloadFileListTaskSpecification::makeSubDirs()
{
    const QDir temp(config->tempDir);
    QSet<QString> made{QStringLiteral(".")};
    for (const FileDownloadSpecification& entry : qAsConst(*files)) {
        if (!staysInsideFolder(entry.file)) {
            emit message(QStringLiteral("Invalid file name %1 in download list").arg(entry.file));
            errorCancel();
            return false;
        }
    }
    for (const FileDownloadSpecification& entry : qAsConst(*files)) {
        const QString folder = QFileInfo(entry.file).path();
        if (made.contains(folder))
            continue;
        if (!temp.mkpath(folder)) {
            emit message(QStringLiteral("Could not create dir %1")
                             .arg(temp.canonicalPath() + QLatin1Char('/') + folder));
            errorCancel();
            return false;
        }
        made.insert(folder);
    }
    return true;
}

void DownloadFileListTaskSpecification::timeTick(quint64& downloadDone, quint64& downloadTotal,
                                                 quint64& speed, bool& downloading)
{
    // An error raised inside the tick may end the run, and this task with it, in its box.
    const QPointer<DownloadFileListTaskSpecification> self(this);
    ComposedTaskSpecification::timeTick(downloadDone, downloadTotal, speed, downloading);
    if (self)
        downloadTotal = totalBytes;
}

#ifndef DOWNLOADFILELISTTASKSPECIFICATION_H
#define DOWNLOADFILELISTTASKSPECIFICATION_H

#include "plan/filedownloadspecification.h"
#include "tasks/composedtaskspecification.h"

#include <QList>

class Configuration;
class Mirrors;
class QNetworkAccessManager;
class TransportPool;

// Downloads and checks every file of the download list into the temporary folder, as many at
// a time as the configured download concurrency allows, each file with the same share of the
// progress. The sub-folders the list needs are created first. On the tick it reports the
// total size of the whole list from the start.
class DownloadFileListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
    Q_DISABLE_COPY(DownloadFileListTaskSpecification)

public:
    // files is neither owned nor copied: the owner keeps it alive and unchanged while the task
    // runs. The concurrency is read from config here, once. Creates no sub-task.
    DownloadFileListTaskSpecification(QList<FileDownloadSpecification>* files,
                                      QNetworkAccessManager* manager, Mirrors* mirrors,
                                      Configuration* config, QObject* parent, double weight);
    ~DownloadFileListTaskSpecification() override;

    // Starts the downloads; an empty list finishes at once with "No downloads needed".
    void execute() override;
    // Releases the file tasks, forgets the total and returns to TaskIdle with progress 0.
    void reset() override;
    // The sums over the file tasks, except that the total is the size of the whole list.
    void timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed,
                  bool& downloading) override;

    // Creates the folders and starts the file tasks, one per entry, each made when its start
    // is due and released once it has finished.
    void makeSubtasksAndStart();
    // One file's task, made when its start is due.
    TaskSpecification* makeSubTask(int index) override;
    // Creates every sub-folder of the temporary folder that the list needs, each once. False
    // after it has failed the task (also for a path that would leave the temporary folder).
    bool makeSubDirs();

    QList<FileDownloadSpecification>* files = nullptr;
    QNetworkAccessManager* manager = nullptr;
    Mirrors* mirrors = nullptr;
    Configuration* config = nullptr;
    quint64 totalBytes = 0;
    // Carry the downloads, one each, as many as can run at once (the smaller of the
    // concurrency and the mirrors' slots); made on the first start.
    TransportPool* transports = nullptr;
};

#endif // DOWNLOADFILELISTTASKSPECIFICATION_H

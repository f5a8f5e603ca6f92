#ifndef DOWNLOADFILETASKSPECIFICATION_H
#define DOWNLOADFILETASKSPECIFICATION_H

#include "plan/filedownloadspecification.h"
#include "tasks/composedtaskspecification.h"

class CheckSignatureTaskSpecification;
class Configuration;
class DownloadTaskSpecification;
class Mirrors;
class QNetworkAccessManager;
class TransportPool;

// Fetches one listed file from a mirror into the temporary folder and checks its MD5 sum, one
// step after the other (download 0.8, check 0.2 of the progress). A file whose sum does not
// match removes the mirror that delivered it and is fetched again from another one, without a
// bound of its own: the task fails once its download finds no mirror left. A cancel requested
// while the check runs makes a failed check end the task as cancelled by the user instead.
class DownloadFileTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
    Q_DISABLE_COPY(DownloadFileTaskSpecification)

public:
    // Copies the record; manager, mirrors and config are shared and not owned. Creates no
    // sub-task yet.
    DownloadFileTaskSpecification(const FileDownloadSpecification& spec,
                                  QNetworkAccessManager* manager, Mirrors* mirrors,
                                  Configuration* config, QObject* parent, double weight);

    // Starts the first attempt.
    void execute() override;
    // Releases the sub-tasks (they are not reset) and returns to TaskIdle with progress 0.
    void reset() override;

    // Builds one attempt, a download of section/file to tempDir/file followed by its MD5
    // check, and starts it.
    void makeSubtasksAndStart();

    FileDownloadSpecification spec;
    QNetworkAccessManager* manager = nullptr;
    // Given to the download, which then takes its carrier from there (see DownloadTask).
    TransportPool* transports = nullptr;
    Mirrors* mirrors = nullptr;
    Configuration* config = nullptr;
    // The download of the current attempt; released with the other sub-tasks.
    DownloadTaskSpecification* downloadTask = nullptr;

private slots:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification* check);
};

#endif // DOWNLOADFILETASKSPECIFICATION_H

#ifndef MAINTASKSPECIFICATION_H
#define MAINTASKSPECIFICATION_H

#include "plan/filespecifications.h"
#include "tasks/composedtaskspecification.h"

class Configuration;
class Mirrors;
class QNetworkAccessManager;

// The root task of one update run: downloads and verifies the product ini (0.1), compiles the
// download, replace and delete lists (0.05), downloads the files (0.4), installs them with
// rollback (0.4) and deletes what is listed for deletion (0.05), strictly one after another.
// The lists pass between the steps in files; a failed or cancelled step stops the run. Once
// the installation has finished, the run finishes: the deletion step always completes.
class MainTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
    Q_DISABLE_COPY(MainTaskSpecification)

public:
    // manager, mirrors and config are shared and not owned. Creates no sub-task yet.
    MainTaskSpecification(QNetworkAccessManager* manager, Mirrors* mirrors, Configuration* config,
                          QObject* parent, double weight);
    // A task destroyed while running first cancels its steps and waits for them to end, so an
    // installation is undone rather than left half done. It emits nothing while going.
    ~MainTaskSpecification() override;

    // Logs "Starting update process", builds five fresh steps and starts the first.
    void execute() override;
    // Releases the steps, empties the lists and returns to TaskIdle with progress 0. A running
    // task first cancels its steps and waits for them to end, silently, so an installation is
    // undone.
    void reset() override;
    // Creates the five steps in their order and starts them one at a time.
    void makeSubtasksAndStart();
    // A cancel before the installation has finished stops the run (an installation in
    // progress is undone); after it, a cancel is ignored.
    void userCanceled() override;

    QNetworkAccessManager* manager = nullptr; // not owned
    Mirrors* mirrors = nullptr;               // not owned
    Configuration* config = nullptr;          // not owned
    FileSpecifications files;

private:
    // True once the installation step has finished.
    bool installationFinished() const;
    // Cancels the steps and drives them to their end without an event loop.
    void settleSteps();
};

#endif // MAINTASKSPECIFICATION_H

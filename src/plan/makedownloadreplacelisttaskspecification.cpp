#include "plan/makedownloadreplacelisttaskspecification.h"

#include "plan/makedownloadreplacelistfunc.h"

MakeDownloadReplaceListTaskSpecification::MakeDownloadReplaceListTaskSpecification(
    Configuration* config, FileSpecifications& output, QObject* parent, double weight)
    : ASyncTaskSpecification(parent, weight)
    , config(config)
    , output(&output)
{
}

MakeDownloadReplaceListTaskSpecification::~MakeDownloadReplaceListTaskSpecification()
{
    // Still running means the result has not arrived: the work may still be filling the
    // working copy that goes with this object.
    if (state == TaskRunning)
        waitForJob();
}

ASyncFunc* MakeDownloadReplaceListTaskSpecification::createFunction()
{
    return new MakeDownloadReplaceListFunc(config, workingCopy);
}

void MakeDownloadReplaceListTaskSpecification::runDone(bool ok)
{
    // A task that has already ended must not overwrite lists that later steps own by now.
    if (ok && state == TaskRunning) {
        output->downloads = workingCopy.downloads;
        output->replaces = workingCopy.replaces;
        output->deletes = workingCopy.deletes;
    }
    ASyncTaskSpecification::runDone(ok);
}

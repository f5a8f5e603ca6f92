#ifndef MAKEDOWNLOADREPLACELISTTASKSPECIFICATION_H
#define MAKEDOWNLOADREPLACELISTTASKSPECIFICATION_H

#include "plan/filespecifications.h"
#include "tasks/asynctaskspecification.h"

class Configuration;

// The compilation of the update's lists from the product ini, on the global pool (see
// MakeDownloadReplaceListFunc). The work fills a working copy held here; only a successful run
// replaces the output's three lists with it, a failed one leaves the output as it was. A cancel
// request does not stop the compilation. Emits no error signal; failures are logged messages.
class MakeDownloadReplaceListTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
    Q_DISABLE_COPY(MakeDownloadReplaceListTaskSpecification)

public:
    // config and output are not owned and must outlive the task; the working copy starts empty.
    MakeDownloadReplaceListTaskSpecification(Configuration* config, FileSpecifications& output,
                                             QObject* parent, double weight);
    // A run still on the pool writes into the working copy, so destruction waits for the pool
    // to be idle first; an idle or ended task goes at once.
    ~MakeDownloadReplaceListTaskSpecification() override;

    // A new work object on the configuration and the working copy; the pool's runnable owns it.
    ASyncFunc* createFunction() override;
    // Only while TaskRunning: on success copies the working copy's lists into the output and
    // finishes, on failure ends as TaskErrorCanceled with the output untouched.
    void runDone(bool ok) override;

    Configuration* config = nullptr;      // not owned
    FileSpecifications* output = nullptr; // not owned
    FileSpecifications workingCopy;
};

#endif // MAKEDOWNLOADREPLACELISTTASKSPECIFICATION_H

#include "engine/maintaskspecification.h"

#include "install/filedeletelisttaskspecification.h"
#include "install/filereplacelisttaskspecification.h"
#include "net/downloadfilelisttaskspecification.h"
#include "net/inidownloadtaskspecification.h"
#include "plan/makedownloadreplacelisttaskspecification.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <QSignalBlocker>
#include <QThreadPool>

namespace {
// Each round delivers at least one queued hop of a step that has not ended; the steps of a
// cancelled run end in far fewer. The bound only guards against a step that never ends.
const int maxSettleRounds = 1000;
// The position of the installation among the five steps.
const int installationStep = 3;
} // namespace

MainTaskSpecification::MainTaskSpecification(QNetworkAccessManager* manager, Mirrors* mirrors,
                                             Configuration* config, QObject* parent, double weight)
    : ComposedTaskSpecification(1, weight, parent)
    , manager(manager)
    , mirrors(mirrors)
    , config(config)
{
}

MainTaskSpecification::~MainTaskSpecification()
{
    if (state == TaskRunning)
        settleSteps();
}

void MainTaskSpecification::settleSteps()
{
    // The steps are about to be discarded, and no event loop may deliver their queued results
    // first: without them a cancelled installation would never reach its rollback, and copies
    // still in the pool would land afterwards. Nothing of this is reported.
    const QSignalBlocker silent(this);
    userCanceled();
    const auto running = [this] {
        for (const TaskSpecification* step : qAsConst(subTasks))
            if (step->state == TaskRunning)
                return true;
        return false;
    };
    for (int round = 0; running() && round < maxSettleRounds; ++round) {
        QThreadPool::globalInstance()->waitForDone();
        QList<QPointer<QObject>> receivers;
        const QList<QObject*> children = findChildren<QObject*>();
        for (QObject* child : children)
            receivers.append(child);
        for (const QPointer<QObject>& receiver : qAsConst(receivers))
            if (receiver)
                QCoreApplication::sendPostedEvents(receiver, QEvent::MetaCall);
    }
}

void MainTaskSpecification::execute()
{
    emit message(QStringLiteral("Starting update process"));
    makeSubtasksAndStart();
}

void MainTaskSpecification::reset()
{
    if (state == TaskRunning)
        settleSteps();
    clearSubTasks();
    files.clear();
    TaskSpecification::reset();
}

void MainTaskSpecification::makeSubtasksAndStart()
{
    addSubTask(new IniDownloadTaskSpecification(manager, mirrors, config, this, 0.1));
    addSubTask(new MakeDownloadReplaceListTaskSpecification(config, files, this, 0.05));
    addSubTask(new DownloadFileListTaskSpecification(&files.downloads, manager, mirrors, config,
                                                     this, 0.4));
    auto* installation =
        new FileReplaceListTaskSpecification(&files.replaces, &files.deletes, config, this, 0.4);
    addSubTask(installation);
    auto* deletion = new FileDeleteListTaskSpecification(&files.deletes, this, 0.05);
    addSubTask(deletion);
    // The installation can finish although a cancel came while its last replacements ran.
    // Stopping there would leave the new files next to their "_old_" copies and the obsolete
    // files, so such a request no longer holds. The queued start of the deletion step reads
    // the flag after this.
    connect(installation, &TaskSpecification::finished, this, [this, deletion] {
        cancelRequested = false;
        deletion->cancelRequested = false;
    });
    state = TaskRunning;
    executeSubTasks();
}

void MainTaskSpecification::userCanceled()
{
    if (installationFinished())
        return;
    ComposedTaskSpecification::userCanceled();
}

bool MainTaskSpecification::installationFinished() const
{
    return subTasks.size() > installationStep &&
           subTasks.at(installationStep)->state == TaskFinished;
}

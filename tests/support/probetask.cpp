#include "support/probetask.h"

ProbeTask::ProbeTask(QObject* parent, double weight, Outcome outcome)
    : TaskSpecification(parent, weight)
    , outcome(outcome)
{
}

void ProbeTask::execute()
{
    int marker = 0;
    stackAtExecute = reinterpret_cast<quintptr>(&marker);
    ++executions;
    if (executionLog)
        executionLog->append(this);
    state = TaskRunning;
    switch (outcome) {
    case StayRunning:
        break;
    case FinishAtOnce:
        finish();
        break;
    case FailAtOnce:
        errorCancel();
        break;
    case UserCancelAtOnce:
        userCancel();
        break;
    }
}

void ProbeTask::userCanceled()
{
    TaskSpecification::userCanceled();
    ++userCancelRequests;
    if (userCancelEndsTask && state == TaskRunning)
        userCancel();
}

void ProbeTask::handleOtherTaskCancelled(TaskSpecification* other)
{
    siblingNotices.append(other);
}

void ProbeTask::timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed,
                         bool& downloading)
{
    downloadDone = tickDone;
    downloadTotal = tickTotal;
    speed = tickSpeed;
    downloading = tickDownloading;
    if (!tickError.isEmpty())
        emit error(tickError);
}

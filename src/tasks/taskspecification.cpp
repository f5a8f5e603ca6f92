#include "tasks/taskspecification.h"

TaskSpecification::TaskSpecification(QObject* parent, double weight)
    : QObject(parent)
    , parentProgressRange(weight)
{
}

void TaskSpecification::reset()
{
    cancelRequested = false;
    state = TaskIdle;
    setProgress(0.0);
}

void TaskSpecification::timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed,
                                 bool& downloading)
{
    downloadDone = 0;
    downloadTotal = 0;
    speed = 0;
    downloading = false;
}

void TaskSpecification::userCanceled()
{
    cancelRequested = true;
}

void TaskSpecification::handleOtherTaskCancelled(TaskSpecification*) {}

void TaskSpecification::setParentProgressRange(double weight)
{
    parentProgressRange = weight;
}

void TaskSpecification::setProgress(double fraction)
{
    progress = fraction * parentProgressRange;
    emit updateProgress(progress);
}

void TaskSpecification::finish()
{
    state = TaskFinished;
    setProgress(1.0);
    emit finished(this);
}

void TaskSpecification::errorCancel()
{
    state = TaskErrorCanceled;
    emit canceled(this);
}

void TaskSpecification::userCancel()
{
    state = TaskUserCanceled;
    emit canceled(this);
}

void TaskSpecification::onOtherTaskCancelled(TaskSpecification* other)
{
    if (other != this && state == TaskRunning)
        handleOtherTaskCancelled(other);
}

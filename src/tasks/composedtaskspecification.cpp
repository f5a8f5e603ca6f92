#include "tasks/composedtaskspecification.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>

ComposedTaskSpecification::ComposedTaskSpecification(int maxParallel, double weight,
                                                     QObject* parent)
    : TaskSpecification(parent, weight)
    , maxParallel(maxParallel)
{
    connect(this, &ComposedTaskSpecification::startNextTask, this,
            &ComposedTaskSpecification::onStartNextTask, Qt::QueuedConnection);
}

ComposedTaskSpecification::~ComposedTaskSpecification()
{
    clearSubTasks();
}

void ComposedTaskSpecification::addSubTask(TaskSpecification* subTask)
{
    subTasks.append(subTask);
    waitingTasks.append(subTask);
    connectSignals(subTask);
    countProgress(subTask, subTask->progress);
    setProgress(double(progressSum));
}

void ComposedTaskSpecification::addSubTasksOnDemand(int count)
{
    onDemandCount += count;
}

TaskSpecification* ComposedTaskSpecification::makeSubTask(int)
{
    return nullptr;
}

void ComposedTaskSpecification::connectSignals(TaskSpecification* subTask)
{
    connect(subTask, &TaskSpecification::finished, this,
            &ComposedTaskSpecification::onSubTaskFinished);
    connect(subTask, &TaskSpecification::canceled, this,
            &ComposedTaskSpecification::onSubTaskCanceled);
    connect(subTask, &TaskSpecification::error, this, &TaskSpecification::error);
    // The sub-task travels with the call: asking Qt for the sender costs a walk over every
    // sub-task connected to this one.
    connect(subTask, &TaskSpecification::updateProgress, this,
            [this, subTask](qreal) { onUpdateProgress(subTask); });
    connect(subTask, &TaskSpecification::message, this, &TaskSpecification::message);
    connect(this, &TaskSpecification::otherTaskCancelled, subTask,
            &ComposedTaskSpecification::onOtherTaskCancelled);
}

void ComposedTaskSpecification::executeSubTasks()
{
    state = TaskRunning;
    const int n = qMin(waitingTasks.size() + onDemandCount - onDemandMade, maxParallel);
    if (n == 0) {
        subtasksDone();
        return;
    }
    for (int i = 0; i < n; ++i)
        emit startNextTask();
}

void ComposedTaskSpecification::onStartNextTask()
{
    if (waitingTasks.isEmpty() && onDemandMade < onDemandCount && !subTaskCanceled &&
        !cancelRequested) {
        TaskSpecification* made = makeSubTask(onDemandMade++);
        subTasks.append(made);
        waitingTasks.append(made);
        connectSignals(made);
        countProgress(made, made->progress);
    }
    if (!waitingTasks.isEmpty() && !subTaskCanceled && !cancelRequested) {
        TaskSpecification* next = waitingTasks.takeFirst();
        runningTasks.append(next);
        next->execute();
    } else if (runningTasks.isEmpty() && !doneCalled) {
        doneCalled = true;
        subtasksDone();
    }
}

void ComposedTaskSpecification::onSubTaskFinished(TaskSpecification* subTask)
{
    runningTasks.removeOne(subTask);
    if (onDemandCount > 0)
        releaseFinished(subTask);
    else
        doneTasks.append(subTask);
    emit startNextTask();
}

void ComposedTaskSpecification::releaseFinished(TaskSpecification* subTask)
{
    // Its last tick reports what it received since the previous one: that goes out with the
    // next tick of this task, and its totals with every tick after.
    quint64 done = 0;
    quint64 total = 0;
    quint64 speed = 0;
    bool downloading = false;
    subTask->timeTick(done, total, speed, downloading);
    releasedSpeed += speed;
    if (total != 0) {
        releasedDone += done;
        releasedTotal += total;
    }
    // Its share stays in the progress sum; only its entry goes.
    countedProgress.remove(subTask);
    subTasks.removeOne(subTask);
    disconnect(subTask, nullptr, this, nullptr);
    disconnect(this, nullptr, subTask, nullptr);
    subTask->deleteLater();
}

void ComposedTaskSpecification::onSubTaskCanceled(TaskSpecification* subTask)
{
    runningTasks.removeOne(subTask);
    doneTasks.append(subTask);
    if (!subTaskCanceled) {
        subTaskCanceled = true;
        emit otherTaskCancelled(subTask);
    }
    if (runningTasks.isEmpty() && !doneCalled) {
        doneCalled = true;
        subtasksDone();
    }
}

void ComposedTaskSpecification::handleOtherTaskCancelled(TaskSpecification* other)
{
    emit otherTaskCancelled(other);
}

void ComposedTaskSpecification::userCanceled()
{
    TaskSpecification::userCanceled();
    if (state != TaskRunning)
        return;
    // A sub-task's end travels up synchronously.
    const QList<QPointer<TaskSpecification>> all = guardedSubTasks();
    const QPointer<ComposedTaskSpecification> self(this);
    for (const QPointer<TaskSpecification>& subTask : all) {
        if (!self)
            return;
        if (subTask)
            subTask->userCanceled();
    }
}

QList<QPointer<TaskSpecification>> ComposedTaskSpecification::guardedSubTasks() const
{
    QList<QPointer<TaskSpecification>> guarded;
    guarded.reserve(subTasks.size());
    for (TaskSpecification* subTask : subTasks)
        guarded.append(subTask);
    return guarded;
}

void ComposedTaskSpecification::onUpdateProgress(const TaskSpecification* subTask)
{
    // Only this sub-task's share can have changed; its field, not the signal's argument, is
    // what the sum stands for.
    countProgress(subTask, subTask->progress);
    setProgress(double(progressSum));
}

void ComposedTaskSpecification::countProgress(const TaskSpecification* subTask,
                                              double subTaskProgress)
{
    double& counted = countedProgress[subTask];
    progressSum += static_cast<long double>(subTaskProgress) - counted;
    counted = subTaskProgress;
}

TaskState ComposedTaskSpecification::getStateFromSubTasks() const
{
    bool userCanceledSeen = false;
    bool allFinished = onDemandMade == onDemandCount;
    for (const TaskSpecification* subTask : subTasks) {
        if (subTask->state == TaskErrorCanceled)
            return TaskErrorCanceled;
        if (subTask->state == TaskUserCanceled)
            userCanceledSeen = true;
        if (subTask->state != TaskFinished)
            allFinished = false;
    }
    if (userCanceledSeen)
        return TaskUserCanceled;
    if (allFinished)
        return TaskFinished;
    if (cancelRequested)
        return TaskUserCanceled;
    if (subTaskCanceled)
        return TaskErrorCanceled;
    return TaskRunning;
}

void ComposedTaskSpecification::subtasksDone()
{
    switch (getStateFromSubTasks()) {
    case TaskFinished:
        finish();
        break;
    case TaskUserCanceled:
        userCancel();
        break;
    default:
        errorCancel();
        break;
    }
}

void ComposedTaskSpecification::timeTick(quint64& downloadDone, quint64& downloadTotal,
                                         quint64& speed, bool& downloading)
{
    downloading = false;
    speed += releasedSpeed;
    releasedSpeed = 0;
    downloadDone += releasedDone;
    downloadTotal += releasedTotal;
    // A sub-task's tick may raise an error: sub-tasks may end, be released and be made, and
    // this task may be released, in the box's event loop before the next one is asked.
    const QList<QPointer<TaskSpecification>> all = guardedSubTasks();
    const QPointer<ComposedTaskSpecification> self(this);
    for (const QPointer<TaskSpecification>& subTask : all) {
        if (!self)
            return;
        if (!subTask)
            continue;
        quint64 done = 0;
        quint64 total = 0;
        quint64 subSpeed = 0;
        bool subDownloading = false;
        subTask->timeTick(done, total, subSpeed, subDownloading);
        if (subDownloading)
            downloading = true;
        speed += subSpeed;
        if (total != 0) {
            downloadDone += done;
            downloadTotal += total;
        }
    }
}

void ComposedTaskSpecification::reset()
{
    for (TaskSpecification* subTask : qAsConst(subTasks))
        subTask->reset();
    waitingTasks = subTasks;
    runningTasks.clear();
    doneTasks.clear();
    subTaskCanceled = false;
    doneCalled = false;
    dropQueuedStarts();
    TaskSpecification::reset();
}

void ComposedTaskSpecification::clearSubTasks()
{
    for (TaskSpecification* subTask : qAsConst(subTasks)) {
        disconnect(subTask, nullptr, this, nullptr);
        disconnect(this, nullptr, subTask, nullptr);
        subTask->deleteLater();
    }
    subTasks.clear();
    waitingTasks.clear();
    runningTasks.clear();
    doneTasks.clear();
    onDemandCount = 0;
    onDemandMade = 0;
    releasedDone = 0;
    releasedTotal = 0;
    releasedSpeed = 0;
    countedProgress.clear();
    progressSum = 0.0;
    // The run's flags go with its sub-tasks: a task that builds fresh sub-tasks after this
    // must be able to start them.
    subTaskCanceled = false;
    doneCalled = false;
    dropQueuedStarts();
}

void ComposedTaskSpecification::dropQueuedStarts()
{
    // A start request still queued from the previous run would start a sub-task of the next
    // run on top of the ones that run already allows.
    QCoreApplication::removePostedEvents(this, QEvent::MetaCall);
}

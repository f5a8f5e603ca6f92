#ifndef COMPOSEDTASKSPECIFICATION_H
#define COMPOSEDTASKSPECIFICATION_H

#include "tasks/taskspecification.h"

#include <QHash>
#include <QList>
#include <QPointer>

// A task made of sub-tasks, started in the order added with at most maxParallel running at
// once. Each start is a separate queued call from the event loop, so a sub-task that ends
// inside its own execute() never makes the stack grow. The composed task stops starting
// sub-tasks once one is cancelled or a cancel is requested, tells the running ones which
// sub-task was cancelled (once per run), and ends exactly once, when nothing runs any more,
// in a state derived from its sub-tasks.
class ComposedTaskSpecification : public TaskSpecification
{
    Q_OBJECT
    Q_DISABLE_COPY(ComposedTaskSpecification)

public:
    ComposedTaskSpecification(int maxParallel, double weight, QObject* parent);
    ~ComposedTaskSpecification() override;

    // Resets every sub-task and makes all of them wait again. Concrete tasks that build fresh
    // sub-tasks on each execute() (always those with on-demand sub-tasks) replace this with
    // clearSubTasks() and the base reset().
    void reset() override;
    // Sums the figures of the sub-tasks into the caller's values (the caller starts them at 0);
    // done and total of a sub-task count only when its total is not 0.
    void timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed,
                  bool& downloading) override;
    // Records the request and, while running, passes it to every sub-task.
    void userCanceled() override;
    // Passes the notice about a cancelled task of an outer level down to the sub-tasks.
    void handleOtherTaskCancelled(TaskSpecification* other) override;

    // Called once per run when no sub-task runs any more; ends this task by
    // getStateFromSubTasks().
    virtual void subtasksDone();
    // Wires one sub-task to this task (end signals, progress, forwarded texts, sibling notice).
    virtual void connectSignals(TaskSpecification* subTask);

    // Takes a sub-task (whose Qt parent is this task) into the run, after the others.
    void addSubTask(TaskSpecification* subTask);
    // For a long list of alike sub-tasks: count more sub-tasks join the run after the ones
    // added, each made by makeSubTask() only when its start is due, and each one that finishes
    // is released at once, its progress and download figures still counted. Only the running
    // ones exist then, so the memory of a run does not grow with the length of the list. For
    // tasks that build fresh sub-tasks on each execute(); call before executeSubTasks().
    void addSubTasksOnDemand(int count);
    // Makes the on-demand sub-task number index (from 0), with this task as its Qt parent.
    virtual TaskSpecification* makeSubTask(int index);
    // Enters TaskRunning and queues as many starts as may run at once; with nothing to start
    // it ends the task before returning.
    void executeSubTasks();
    TaskState getStateFromSubTasks() const;
    // Disconnects every sub-task from this task, releases it with deleteLater and forgets the
    // run (lists, the cancelled and done flags, queued starts), so fresh sub-tasks can run.
    void clearSubTasks();

    QList<TaskSpecification*> subTasks;
    QList<TaskSpecification*> waitingTasks;
    QList<TaskSpecification*> runningTasks;
    QList<TaskSpecification*> doneTasks;
    // On-demand sub-tasks of the run, and how many of them are made so far.
    int onDemandCount = 0;
    int onDemandMade = 0;
    int maxParallel = 1;
    bool subTaskCanceled = false;
    bool doneCalled = false;

signals:
    void startNextTask();

private:
    // The sub-tasks, each guarded: a receiver that opens a modal box runs an event loop in
    // which sub-tasks may be released while a walk over them is on the stack.
    QList<QPointer<TaskSpecification>> guardedSubTasks() const;
    void dropQueuedStarts();
    void releaseFinished(TaskSpecification* subTask);
    void onUpdateProgress(const TaskSpecification* subTask);
    void countProgress(const TaskSpecification* subTask, double subTaskProgress);

    // The sum of the sub-tasks' progress, kept up to date one change at a time so that a
    // progress signal costs the same with ten sub-tasks as with thirty thousand. The extended
    // precision keeps the running sum within far less than 1e-9 of a fresh sum.
    long double progressSum = 0.0;
    QHash<const TaskSpecification*, double> countedProgress;
    // What the released on-demand sub-tasks still count for (their progress stays in the sum).
    quint64 releasedDone = 0;
    quint64 releasedTotal = 0;
    quint64 releasedSpeed = 0;

private slots:
    void onStartNextTask();
    void onSubTaskFinished(TaskSpecification* subTask);
    void onSubTaskCanceled(TaskSpecification* subTask);
};

#endif // COMPOSEDTASKSPECIFICATION_H

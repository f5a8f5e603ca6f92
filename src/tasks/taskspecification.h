#ifndef TASKSPECIFICATION_H
#define TASKSPECIFICATION_H

#include <QObject>
#include <QString>

enum TaskStateValues
{
    TaskIdle = 0,
    TaskRunning = 1,
    TaskFinished = 2,
    TaskErrorCanceled = 3,
    TaskUserCanceled = 4
};
typedef int TaskState;

// One step of an update. A task is started once with execute(), reports its progress scaled
// by its weight (its share of the parent's progress), and ends in exactly one of the states
// TaskFinished, TaskErrorCanceled or TaskUserCanceled, announced by finished() or canceled().
// Every signal is emitted synchronously on the GUI thread.
class TaskSpecification : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(TaskSpecification)

public:
    // The parent owns the task in the Qt parent tree; weight is its share of the parent's
    // progress. Emits nothing.
    TaskSpecification(QObject* parent, double weight);

    // Starts the work; every concrete kind sets state to TaskRunning as part of it.
    virtual void execute() = 0;
    // Back to the state after construction; emits updateProgress(0.0).
    virtual void reset();
    // Writes the download figures of this tick: bytes done, bytes expected (0 while unknown),
    // bytes since the previous tick and whether a transfer is in progress. The base writes
    // 0, 0, 0 and false.
    virtual void timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed,
                          bool& downloading);
    // A request to cancel. The base only records it in cancelRequested.
    virtual void userCanceled();
    // Called while running when a sibling task was cancelled; empty in the base.
    virtual void handleOtherTaskCancelled(TaskSpecification* other);

    // Replaces the weight; progress is not rescaled.
    void setParentProgressRange(double weight);
    // progress = fraction * weight, then updateProgress(progress). The fraction is not clamped.
    void setProgress(double fraction);
    // End states. They set the state whatever it was before; callers decide when to call them.
    void finish();
    void errorCancel();
    void userCancel();

    bool cancelRequested = false;
    double parentProgressRange = 0.0;
    double progress = 0.0;
    TaskState state = TaskIdle;

signals:
    void finished(TaskSpecification*);
    void canceled(TaskSpecification*);
    void error(QString errorMessage);
    void updateProgress(qreal doneFrac);
    void message(QString message);
    // Emitted by composed tasks towards their sub-tasks: the argument is the cancelled one.
    void otherTaskCancelled(TaskSpecification*);

protected slots:
    void onOtherTaskCancelled(TaskSpecification* other);
};

#endif // TASKSPECIFICATION_H

#include "tasks/taskspecification.h"

#include <QSignalSpy>
#include <QtTest>

namespace {
class PlainTask : public TaskSpecification
{
public:
    explicit PlainTask(double weight)
        : TaskSpecification(nullptr, weight)
    {
    }
    void execute() override { state = TaskRunning; }
    int handled = 0;
    void handleOtherTaskCancelled(TaskSpecification*) override { ++handled; }
};
} // namespace

class tst_TaskSpecification : public QObject
{
    Q_OBJECT

private slots:
    void finishEmitsFullWeightThenFinished();
};

void tst_TaskSpecification::finishEmitsFullWeightThenFinished()
{
    PlainTask task(0.25);
    task.execute();
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.finish();
    QCOMPARE(progress.count(), 1);
    QCOMPARE(progress.at(0).at(0).toDouble(), 0.25);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(task.state, TaskState(TaskFinished));
}

QTEST_MAIN(tst_TaskSpecification)
#include "tst_taskspecification.moc"

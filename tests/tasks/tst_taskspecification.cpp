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
    void handleOtherTaskCancelled(TaskSpecification*) override { ++handled; }
    void emitOther(TaskSpecification* other) { onOtherTaskCancelled(other); }

    int handled = 0;
};
} // namespace

class tst_TaskSpecification : public QObject
{
    Q_OBJECT

private slots:
    void finishEmitsFullWeightThenFinished();
    void setProgressScalesByWeight();
    void cancelEndsKeepProgressAndEmitOnlyCanceled_data();
    void cancelEndsKeepProgressAndEmitOnlyCanceled();
    void otherTaskNoticeOnlyWhileRunningAndFromOthers();
    void resetClearsEverything();
    void userCanceledOnlyRecordsTheRequest();
    void baseTimeTickOverwritesOutputs();
};

void tst_TaskSpecification::finishEmitsFullWeightThenFinished()
{
    PlainTask task(0.25);
    task.execute();
    QStringList order;
    connect(&task, &TaskSpecification::updateProgress, this,
            [&](qreal value) { order << QStringLiteral("progress %1").arg(value); });
    connect(&task, &TaskSpecification::finished, this, [&](TaskSpecification* sender) {
        QCOMPARE(sender, &task);
        order << QStringLiteral("finished");
    });
    task.finish();
    QCOMPARE(order, QStringList({"progress 0.25", "finished"}));
    QCOMPARE(task.progress, 0.25);
    QCOMPARE(task.state, TaskState(TaskFinished));
}

void tst_TaskSpecification::setProgressScalesByWeight()
{
    PlainTask task(0.4);
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);
    task.setProgress(0.5);
    QCOMPARE(task.progress, 0.2);
    QCOMPARE(progress.count(), 1);
    QCOMPARE(progress.at(0).at(0).toDouble(), 0.2);

    // The weight can change without rescaling what was reported.
    task.setParentProgressRange(0.8);
    QCOMPARE(task.progress, 0.2);
    task.setProgress(1.5); // not clamped
    QCOMPARE(task.progress, 1.2);
}

void tst_TaskSpecification::cancelEndsKeepProgressAndEmitOnlyCanceled_data()
{
    QTest::addColumn<bool>("byUser");
    QTest::newRow("error") << false;
    QTest::newRow("user") << true;
}

void tst_TaskSpecification::cancelEndsKeepProgressAndEmitOnlyCanceled()
{
    QFETCH(bool, byUser);
    PlainTask task(0.5);
    task.execute();
    task.setProgress(0.5);
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    if (byUser)
        task.userCancel();
    else
        task.errorCancel();
    QCOMPARE(task.state, TaskState(byUser ? TaskUserCanceled : TaskErrorCanceled));
    QCOMPARE(task.progress, 0.25);
    QCOMPARE(progress.count(), 0);
    QCOMPARE(finished.count(), 0);
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(canceled.at(0).at(0).value<TaskSpecification*>(), &task);
}

void tst_TaskSpecification::otherTaskNoticeOnlyWhileRunningAndFromOthers()
{
    PlainTask task(1.0);
    PlainTask sibling(1.0);
    task.emitOther(&sibling);
    QCOMPARE(task.handled, 0); // idle

    task.execute();
    task.emitOther(&task);
    QCOMPARE(task.handled, 0); // itself
    task.emitOther(&sibling);
    QCOMPARE(task.handled, 1);

    task.finish();
    task.emitOther(&sibling);
    QCOMPARE(task.handled, 1);
}

void tst_TaskSpecification::resetClearsEverything()
{
    PlainTask task(0.3);
    task.execute();
    task.userCanceled();
    task.finish();
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);
    task.reset();
    QCOMPARE(task.state, TaskState(TaskIdle));
    QVERIFY(!task.cancelRequested);
    QCOMPARE(task.progress, 0.0);
    QCOMPARE(progress.count(), 1);
    QCOMPARE(progress.at(0).at(0).toDouble(), 0.0);
}

void tst_TaskSpecification::userCanceledOnlyRecordsTheRequest()
{
    PlainTask task(1.0);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.userCanceled();
    QVERIFY(task.cancelRequested);
    QCOMPARE(task.state, TaskState(TaskIdle));
    task.execute();
    task.userCanceled();
    QCOMPARE(task.state, TaskState(TaskRunning));
    QCOMPARE(canceled.count(), 0);
}

void tst_TaskSpecification::baseTimeTickOverwritesOutputs()
{
    PlainTask task(1.0);
    quint64 done = 7;
    quint64 total = 8;
    quint64 speed = 9;
    bool downloading = true;
    task.timeTick(done, total, speed, downloading);
    QCOMPARE(done, quint64(0));
    QCOMPARE(total, quint64(0));
    QCOMPARE(speed, quint64(0));
    QCOMPARE(downloading, false);
}

QTEST_GUILESS_MAIN(tst_TaskSpecification)
#include "tst_taskspecification.moc"

#include "tasks/asynctaskspecification.h"

#include <QPointer>
#include <QSemaphore>
#include <QSignalSpy>
#include <QThread>
#include <QtTest>

#include <thread>

namespace {
// Emits one message, then progress 0.5, then returns the configured result. It may wait on a
// gate first, so a test can act while the work is still running.
class ScriptedFunc : public ASyncFunc
{
public:
    ScriptedFunc(bool result, QString text, QSemaphore* gate, QThread** ranOn)
        : result(result)
        , text(std::move(text))
        , gate(gate)
        , ranOn(ranOn)
    {
    }
    bool run() override
    {
        if (ranOn)
            *ranOn = QThread::currentThread();
        if (gate)
            gate->acquire();
        emit message(text);
        emit progress(0.5);
        if (completed)
            completed->fetchAndAddRelaxed(1);
        return result;
    }

    const bool result;
    const QString text;
    QSemaphore* gate;
    QThread** ranOn;
    QAtomicInt* completed = nullptr;
};

class ScriptedTask : public ASyncTaskSpecification
{
public:
    ScriptedTask(bool result, QString text, double weight = 1.0)
        : ASyncTaskSpecification(nullptr, weight)
        , result(result)
        , text(std::move(text))
    {
    }
    ASyncFunc* createFunction() override
    {
        auto* func = new ScriptedFunc(result, text, gate, ranOn);
        func->completed = completed;
        return func;
    }

    bool result;
    QString text;
    // Owned by the test, like the gate: the work may still write there after the task is gone.
    QSemaphore* gate = nullptr;
    QThread** ranOn = nullptr;
    QAtomicInt* completed = nullptr;
};
} // namespace

class tst_ASyncTask : public QObject
{
    Q_OBJECT

private slots:
    void deliversMessageProgressResultInOrder();
    void failedWorkEndsInErrorWithProgressKept();
    void cancelRequestDoesNotStopWork();
    void resultAfterResetChangesNothing();
    void resultAfterTaskDeletedIsHarmless();
    void twoTasksGetOnlyTheirOwnResults();
    void resetWaitsOnlyForItsOwnWork();
};

void tst_ASyncTask::deliversMessageProgressResultInOrder()
{
    ScriptedTask task(true, QStringLiteral("working"), 0.5);
    QThread* ranOn = nullptr;
    task.ranOn = &ranOn;
    QStringList order;
    QList<QThread*> threads;
    connect(&task, &TaskSpecification::message, this, [&](const QString& text) {
        order << text;
        threads << QThread::currentThread();
    });
    connect(&task, &TaskSpecification::updateProgress, this, [&](qreal value) {
        order << QStringLiteral("progress %1").arg(value);
        threads << QThread::currentThread();
    });
    connect(&task, &TaskSpecification::finished, this, [&] {
        order << QStringLiteral("finished");
        threads << QThread::currentThread();
    });
    task.execute();
    QCOMPARE(task.state, TaskState(TaskRunning));
    QTRY_COMPARE(task.state, TaskState(TaskFinished));
    QCOMPARE(order, QStringList({"working", "progress 0.25", "progress 0.5", "finished"}));
    for (QThread* thread : threads)
        QCOMPARE(thread, QThread::currentThread());
    QVERIFY(ranOn);
    QVERIFY(ranOn != QThread::currentThread());
}

void tst_ASyncTask::failedWorkEndsInErrorWithProgressKept()
{
    ScriptedTask task(false, QStringLiteral("broken"), 0.4);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy messages(&task, &TaskSpecification::message);
    task.execute();
    QTRY_COMPARE(canceled.count(), 1);
    QCOMPARE(task.state, TaskState(TaskErrorCanceled));
    QCOMPARE(messages.count(), 1);
    QCOMPARE(task.progress, 0.2);
}

void tst_ASyncTask::cancelRequestDoesNotStopWork()
{
    QSemaphore gate;
    ScriptedTask task(true, QStringLiteral("x"));
    task.gate = &gate;
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    task.userCanceled();
    gate.release();
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(task.state, TaskState(TaskFinished));
}

void tst_ASyncTask::resultAfterResetChangesNothing()
{
    ScriptedTask task(false, QStringLiteral("stale"));
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy messages(&task, &TaskSpecification::message);
    task.execute();
    // The reset waits until the work has ended; its result is then still queued and must be
    // dropped, also when the task has been started again in the meantime.
    task.reset();
    QCOMPARE(task.state, TaskState(TaskIdle));
    task.result = true;
    task.text = QStringLiteral("fresh");
    task.execute();
    QTRY_COMPARE(task.state, TaskState(TaskFinished));
    QCOMPARE(canceled.count(), 0);
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0).at(0).toString(), QStringLiteral("fresh"));
}

void tst_ASyncTask::resultAfterTaskDeletedIsHarmless()
{
    QSemaphore gate;
    QAtomicInt completed;
    auto* task = new ScriptedTask(true, QStringLiteral("late"));
    task->gate = &gate;
    task->completed = &completed;
    QSignalSpy destroyed(task, &QObject::destroyed);
    task->execute();
    delete task;
    QCOMPARE(destroyed.count(), 1);
    gate.release();
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents(); // the late emissions find no receiver
    QCOMPARE(completed.loadRelaxed(), 1);
}

void tst_ASyncTask::twoTasksGetOnlyTheirOwnResults()
{
    QSemaphore gateA;
    ScriptedTask a(false, QStringLiteral("from a"));
    ScriptedTask b(true, QStringLiteral("from b"));
    a.gate = &gateA;
    QSignalSpy messagesA(&a, &TaskSpecification::message);
    QSignalSpy messagesB(&b, &TaskSpecification::message);
    a.execute();
    b.execute();
    QTRY_COMPARE(b.state, TaskState(TaskFinished)); // b ends while a still works
    QCOMPARE(a.state, TaskState(TaskRunning));
    gateA.release();
    QTRY_COMPARE(a.state, TaskState(TaskErrorCanceled));
    QCOMPARE(messagesA.count(), 1);
    QCOMPARE(messagesA.at(0).at(0).toString(), QStringLiteral("from a"));
    QCOMPARE(messagesB.count(), 1);
    QCOMPARE(messagesB.at(0).at(0).toString(), QStringLiteral("from b"));
}

void tst_ASyncTask::resetWaitsOnlyForItsOwnWork()
{
    QSemaphore gateA;
    QSemaphore gateB;
    QAtomicInt completedA;
    QAtomicInt completedB;
    ScriptedTask a(true, QStringLiteral("from a"));
    ScriptedTask b(true, QStringLiteral("from b"));
    a.gate = &gateA;
    a.completed = &completedA;
    b.gate = &gateB;
    b.completed = &completedB;
    QSignalSpy messagesB(&b, &TaskSpecification::message);
    a.execute();
    b.execute();
    // b's work ends while the reset is under way. Should the reset wait for a's work too, the
    // helper lets that work end after a minute, so the test fails instead of hanging.
    QSemaphore resetReturned;
    std::thread helper([&] {
        QThread::msleep(20);
        gateB.release();
        if (!resetReturned.tryAcquire(1, 60000))
            gateA.release();
    });
    b.reset();
    const int completedBDuringReset = completedB.loadRelaxed();
    const int completedADuringReset = completedA.loadRelaxed();
    resetReturned.release();
    helper.join();
    // Opened before any check, so that a failing one does not leave a's work held at exit.
    if (completedADuringReset == 0)
        gateA.release();
    QCOMPARE(completedBDuringReset, 1);
    QCOMPARE(completedADuringReset, 0);
    QCOMPARE(b.state, TaskState(TaskIdle));
    QTRY_COMPARE(a.state, TaskState(TaskFinished));
    // What b's work sent before the reset is dropped; a's results still arrive.
    QCOMPARE(messagesB.count(), 0);
    QCOMPARE(b.state, TaskState(TaskIdle));
}

QTEST_GUILESS_MAIN(tst_ASyncTask)
#include "tst_asynctask.moc"

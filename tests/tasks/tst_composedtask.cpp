#include "support/probetask.h"
#include "tasks/composedtaskspecification.h"

#include <QPointer>
#include <QSignalSpy>
#include <QtTest>

namespace {
// Runs whatever sub-tasks the test added.
class Chain : public ComposedTaskSpecification
{
public:
    Chain(int maxParallel, double weight, QObject* parent = nullptr)
        : ComposedTaskSpecification(maxParallel, weight, parent)
    {
    }
    void execute() override { executeSubTasks(); }

    ProbeTask* add(ProbeTask::Outcome outcome, double weight)
    {
        auto* task = new ProbeTask(this, weight, outcome);
        task->executionLog = &log;
        addSubTask(task);
        return task;
    }

    QList<ProbeTask*> log;
};

// Makes its sub-tasks on demand: probe i reports (i + 1) * 100 of 1000 bytes and 10 bytes of
// speed on each tick.
class OnDemandChain : public ComposedTaskSpecification
{
public:
    OnDemandChain(int maxParallel, int count)
        : ComposedTaskSpecification(maxParallel, 1.0, nullptr)
        , count(count)
    {
    }

    void execute() override
    {
        addSubTasksOnDemand(count);
        executeSubTasks();
    }
    TaskSpecification* makeSubTask(int index) override
    {
        auto* task = new ProbeTask(this, 1.0 / count);
        task->tickDone = quint64(index + 1) * 100;
        task->tickTotal = 1000;
        task->tickSpeed = 10;
        made << task;
        return task;
    }

    int count = 0;
    QList<QPointer<ProbeTask>> made;
};

struct Tick
{
    quint64 done = 0;
    quint64 total = 0;
    quint64 speed = 0;
};

Tick tickOf(TaskSpecification& task)
{
    Tick tick;
    bool downloading = false;
    task.timeTick(tick.done, tick.total, tick.speed, downloading);
    return tick;
}

// Processes exactly the events posted so far: one turn of the event loop.
void oneTurn()
{
    QCoreApplication::sendPostedEvents();
}
} // namespace

class tst_ComposedTask : public QObject
{
    Q_OBJECT

private slots:
    void noSubTasksFinishesAtOnce();
    void startsUpToMaxParallelOnePerQueuedEvent_data();
    void startsUpToMaxParallelOnePerQueuedEvent();
    void nextStartsOnlyFromALaterTurn();
    void firstCancelledStopsTheRest_data();
    void firstCancelledStopsTheRest();
    void runningSiblingIsToldAndWaitedFor_data();
    void runningSiblingIsToldAndWaitedFor();
    void onlyFirstCancelIsAnnounced();
    void noticeFromOuterLevelReachesInnerSubTasks();
    void userCancelWhileLastRunsStillFinishes();
    void userCancelStopsWaitingSubTasks();
    void userCancelBeforeExecute_data();
    void userCancelBeforeExecute();
    void progressIsWeightedSumAndEndsAtWeight();
    void progressStaysTheSumOverManyChanges_data();
    void progressStaysTheSumOverManyChanges();
    void timeTickSumsSubTasks();
    void longSynchronousChainDoesNotRecurse();
    void releasedSubTaskNoLongerReaches();
    void startQueuedBeforeResetDoesNotOverrun();
    void freshSubTasksRunAfterAFailedRun();
    void textsAreForwarded();
    void onDemandSubTasksAreMadeWhenDueAndReleasedWhenFinished_data();
    void onDemandSubTasksAreMadeWhenDueAndReleasedWhenFinished();
    void userCancelLeavesOnDemandSubTasksUnmade();
    void taskReleasedDuringCancelStopsTheFanOut();
    void tickSurvivesAnEventLoopInsideIt();
};

void tst_ComposedTask::noSubTasksFinishesAtOnce()
{
    Chain chain(1, 0.7);
    QSignalSpy finished(&chain, &TaskSpecification::finished);
    chain.execute();
    QCOMPARE(finished.count(), 1);
    QCOMPARE(chain.state, TaskState(TaskFinished));
    QCOMPARE(chain.progress, 0.7);
}

void tst_ComposedTask::startsUpToMaxParallelOnePerQueuedEvent_data()
{
    QTest::addColumn<int>("maxParallel");
    QTest::newRow("one") << 1;
    QTest::newRow("two") << 2;
    QTest::newRow("more than sub-tasks") << 5;
}

void tst_ComposedTask::startsUpToMaxParallelOnePerQueuedEvent()
{
    QFETCH(int, maxParallel);
    Chain chain(maxParallel, 1.0);
    QList<ProbeTask*> tasks;
    for (int i = 0; i < 3; ++i)
        tasks << chain.add(ProbeTask::StayRunning, 1.0 / 3);

    chain.execute();
    QCOMPARE(chain.state, TaskState(TaskRunning));
    QCOMPARE(chain.log.size(), 0); // nothing starts before the event loop runs

    oneTurn();
    const int started = qMin(3, maxParallel);
    QCOMPARE(chain.log.size(), started);
    QCOMPARE(chain.runningTasks.size(), started);
    QCOMPARE(chain.waitingTasks.size(), 3 - started);

    // Finish them one by one until all ran; every task runs exactly once, in order.
    while (!chain.runningTasks.isEmpty()) {
        QVERIFY(chain.runningTasks.size() <= maxParallel);
        static_cast<ProbeTask*>(chain.runningTasks.first())->finish();
        oneTurn();
    }
    QCOMPARE(chain.log, tasks);
    for (ProbeTask* task : tasks)
        QCOMPARE(task->executions, 1);
    QCOMPARE(chain.state, TaskState(TaskFinished));
    QCOMPARE(chain.doneTasks.size(), 3);
}

void tst_ComposedTask::nextStartsOnlyFromALaterTurn()
{
    Chain chain(1, 1.0);
    ProbeTask* first = chain.add(ProbeTask::StayRunning, 0.5);
    ProbeTask* second = chain.add(ProbeTask::StayRunning, 0.5);
    chain.execute();
    oneTurn();
    QCOMPARE(first->executions, 1);
    QCOMPARE(second->executions, 0);
    first->finish();
    QCOMPARE(second->executions, 0);
    oneTurn();
    QCOMPARE(second->executions, 1);
}

void tst_ComposedTask::firstCancelledStopsTheRest_data()
{
    QTest::addColumn<int>("outcome");
    QTest::addColumn<int>("endState");
    QTest::newRow("error") << int(ProbeTask::FailAtOnce) << int(TaskErrorCanceled);
    QTest::newRow("user") << int(ProbeTask::UserCancelAtOnce) << int(TaskUserCanceled);
}

void tst_ComposedTask::firstCancelledStopsTheRest()
{
    QFETCH(int, outcome);
    QFETCH(int, endState);
    Chain chain(1, 1.0);
    chain.add(ProbeTask::Outcome(outcome), 1.0 / 3);
    ProbeTask* second = chain.add(ProbeTask::FinishAtOnce, 1.0 / 3);
    ProbeTask* third = chain.add(ProbeTask::FinishAtOnce, 1.0 / 3);
    QSignalSpy canceled(&chain, &TaskSpecification::canceled);
    chain.execute();
    oneTurn(); // the first sub-task starts and is cancelled inside its execute()
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(chain.state, TaskState(endState));
    QCoreApplication::processEvents();
    QCOMPARE(second->executions, 0);
    QCOMPARE(third->executions, 0);
    QCOMPARE(second->state, TaskState(TaskIdle));
    QCOMPARE(canceled.count(), 1);
}

void tst_ComposedTask::runningSiblingIsToldAndWaitedFor_data()
{
    QTest::addColumn<bool>("byUser");
    QTest::addColumn<bool>("otherFails");
    QTest::addColumn<int>("endState");
    QTest::newRow("error, other finishes") << false << false << int(TaskErrorCanceled);
    QTest::newRow("user, other finishes") << true << false << int(TaskUserCanceled);
    QTest::newRow("user, other fails") << true << true << int(TaskErrorCanceled);
}

void tst_ComposedTask::runningSiblingIsToldAndWaitedFor()
{
    QFETCH(bool, byUser);
    QFETCH(bool, otherFails);
    QFETCH(int, endState);
    Chain chain(2, 1.0);
    ProbeTask* first = chain.add(ProbeTask::StayRunning, 0.5);
    ProbeTask* other = chain.add(ProbeTask::StayRunning, 0.5);
    QSignalSpy canceled(&chain, &TaskSpecification::canceled);
    QSignalSpy finished(&chain, &TaskSpecification::finished);
    chain.execute();
    oneTurn();
    QCOMPARE(chain.runningTasks.size(), 2);

    if (byUser)
        first->userCancel();
    else
        first->errorCancel();
    QCOMPARE(other->siblingNotices, QList<TaskSpecification*>{first});
    QVERIFY(first->siblingNotices.isEmpty()); // the cancelled one is not told about itself
    QCOMPARE(canceled.count(), 0);            // the other one still runs

    if (otherFails)
        other->errorCancel();
    else
        other->finish(); // a finished sub-task ends the run from the next start request
    oneTurn();
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(finished.count(), 0);
    QCOMPARE(chain.state, TaskState(endState));
}

void tst_ComposedTask::onlyFirstCancelIsAnnounced()
{
    Chain chain(3, 1.0);
    ProbeTask* a = chain.add(ProbeTask::StayRunning, 1.0 / 3);
    ProbeTask* b = chain.add(ProbeTask::StayRunning, 1.0 / 3);
    ProbeTask* c = chain.add(ProbeTask::StayRunning, 1.0 / 3);
    QSignalSpy announced(&chain, &TaskSpecification::otherTaskCancelled);
    chain.execute();
    oneTurn();
    a->errorCancel();
    b->errorCancel();
    QCOMPARE(announced.count(), 1);
    QCOMPARE(announced.at(0).at(0).value<TaskSpecification*>(), a);
    QCOMPARE(c->siblingNotices, QList<TaskSpecification*>{a});
    c->finish();
    oneTurn();
    QCOMPARE(chain.state, TaskState(TaskErrorCanceled));
}

void tst_ComposedTask::noticeFromOuterLevelReachesInnerSubTasks()
{
    Chain outer(2, 1.0);
    auto* inner = new Chain(2, 0.5, &outer);
    outer.addSubTask(inner);
    ProbeTask* failing = outer.add(ProbeTask::StayRunning, 0.5);
    ProbeTask* leaf1 = new ProbeTask(inner, 0.5);
    ProbeTask* leaf2 = new ProbeTask(inner, 0.5);
    inner->addSubTask(leaf1);
    inner->addSubTask(leaf2);

    outer.execute();
    oneTurn(); // starts inner and failing
    oneTurn(); // inner starts its leaves
    QCOMPARE(leaf2->executions, 1);

    failing->errorCancel();
    QCOMPARE(leaf1->siblingNotices, QList<TaskSpecification*>{failing});
    QCOMPARE(leaf2->siblingNotices, QList<TaskSpecification*>{failing});
    // The notice sets no flag on the inner task: it ends as its sub-tasks do.
    leaf1->finish();
    leaf2->finish();
    oneTurn(); // inner ends
    oneTurn(); // outer ends
    QCOMPARE(inner->state, TaskState(TaskFinished));
    QCOMPARE(outer.state, TaskState(TaskErrorCanceled));
}

void tst_ComposedTask::userCancelWhileLastRunsStillFinishes()
{
    Chain chain(1, 1.0);
    ProbeTask* first = chain.add(ProbeTask::StayRunning, 0.5);
    ProbeTask* last = chain.add(ProbeTask::StayRunning, 0.5);
    chain.execute();
    oneTurn();
    first->finish();
    oneTurn();
    QCOMPARE(last->state, TaskState(TaskRunning));
    chain.userCanceled();
    QVERIFY(chain.cancelRequested);
    QCOMPARE(first->userCancelRequests, 1); // ended ones are asked too
    QCOMPARE(last->userCancelRequests, 1);
    last->finish();
    oneTurn();
    QCOMPARE(chain.state, TaskState(TaskFinished));
}

void tst_ComposedTask::userCancelStopsWaitingSubTasks()
{
    Chain chain(1, 1.0);
    ProbeTask* first = chain.add(ProbeTask::StayRunning, 0.5);
    ProbeTask* waiting = chain.add(ProbeTask::FinishAtOnce, 0.5);
    QSignalSpy canceled(&chain, &TaskSpecification::canceled);
    chain.execute();
    oneTurn();
    chain.userCanceled();
    QCOMPARE(waiting->userCancelRequests, 1);
    first->finish();
    oneTurn();
    QCOMPARE(waiting->executions, 0);
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(chain.state, TaskState(TaskUserCanceled));
}

void tst_ComposedTask::userCancelBeforeExecute_data()
{
    QTest::addColumn<bool>("withSubTasks");
    QTest::addColumn<int>("endState");
    QTest::newRow("with sub-tasks") << true << int(TaskUserCanceled);
    QTest::newRow("empty") << false << int(TaskFinished);
}

void tst_ComposedTask::userCancelBeforeExecute()
{
    QFETCH(bool, withSubTasks);
    QFETCH(int, endState);
    Chain chain(2, 1.0);
    ProbeTask* task = withSubTasks ? chain.add(ProbeTask::FinishAtOnce, 1.0) : nullptr;
    chain.userCanceled();
    if (task)
        QCOMPARE(task->userCancelRequests, 0); // not running: not passed on
    chain.execute();
    QCoreApplication::processEvents();
    if (task)
        QCOMPARE(task->executions, 0);
    QCOMPARE(chain.state, TaskState(endState));
}

void tst_ComposedTask::progressIsWeightedSumAndEndsAtWeight()
{
    Chain chain(4, 0.5);
    QList<ProbeTask*> tasks;
    for (int i = 0; i < 4; ++i)
        tasks << chain.add(ProbeTask::StayRunning, 0.25);
    QSignalSpy progress(&chain, &TaskSpecification::updateProgress);
    chain.execute();
    oneTurn();
    tasks[0]->setProgress(0.5);
    QCOMPARE(chain.progress, 0.5 * 0.125);
    QCOMPARE(progress.last().at(0).toDouble(), 0.0625);
    tasks[1]->finish();
    QCOMPARE(chain.progress, 0.5 * (0.125 + 0.25));
    for (ProbeTask* task : tasks)
        task->finish();
    oneTurn();
    QCOMPARE(chain.state, TaskState(TaskFinished));
    QCOMPARE(chain.progress, 0.5);
    QCOMPARE(progress.last().at(0).toDouble(), 0.5);
}

void tst_ComposedTask::progressStaysTheSumOverManyChanges_data()
{
    QTest::addColumn<int>("subTaskCount");
    QTest::addColumn<int>("changes");
    QTest::addColumn<bool>("freshSubTasksHalfway");
    QTest::newRow("few sub-tasks") << 3 << 50 << false;
    QTest::newRow("many sub-tasks, many changes") << 3000 << 300000 << false;
    QTest::newRow("sub-tasks discarded and rebuilt") << 200 << 20000 << true;
}

void tst_ComposedTask::progressStaysTheSumOverManyChanges()
{
    QFETCH(int, subTaskCount);
    QFETCH(int, changes);
    QFETCH(bool, freshSubTasksHalfway);
    // Nested, as the download list sits in the main task: each level must keep the sum.
    Chain outer(1, 1.0);
    auto* chain = new Chain(subTaskCount, 0.4, &outer);
    outer.addSubTask(chain);
    outer.addSubTask(new ProbeTask(&outer, 0.6));
    QList<ProbeTask*> tasks;
    const auto build = [&] {
        tasks.clear();
        for (int i = 0; i < subTaskCount; ++i)
            tasks << chain->add(ProbeTask::StayRunning, 1.0 / subTaskCount);
    };
    const auto check = [&] {
        double sum = 0.0;
        for (const ProbeTask* task : qAsConst(tasks))
            sum += task->progress;
        QVERIFY2(qAbs(chain->progress - 0.4 * sum) < 1e-9, qPrintable(QString::number(sum)));
        QVERIFY(qAbs(outer.progress - chain->progress) < 1e-12);
    };
    build();
    for (int i = 0; i < changes; ++i) {
        if (freshSubTasksHalfway && i == changes / 2) {
            chain->clearSubTasks();
            build();
        }
        tasks[int((i * 7919LL) % subTaskCount)]->setProgress((i % 97) / 96.0);
        if (i % 997 == 0)
            check();
    }
    check();
    for (ProbeTask* task : qAsConst(tasks))
        task->setProgress(1.0);
    check();
    QVERIFY(qAbs(chain->progress - 0.4) < 1e-9);
}

void tst_ComposedTask::timeTickSumsSubTasks()
{
    Chain chain(3, 1.0);
    ProbeTask* a = chain.add(ProbeTask::StayRunning, 1.0 / 3);
    ProbeTask* b = chain.add(ProbeTask::StayRunning, 1.0 / 3);
    ProbeTask* c = chain.add(ProbeTask::StayRunning, 1.0 / 3);
    a->tickSpeed = 5; // no total: its done bytes do not count, its speed does
    a->tickDone = 11;
    b->tickTotal = 100;
    b->tickDone = 40;
    b->tickSpeed = 7;
    b->tickDownloading = true;
    c->tickTotal = 50;
    c->tickDone = 50;

    quint64 done = 0;
    quint64 total = 0;
    quint64 speed = 0;
    bool downloading = false;
    chain.timeTick(done, total, speed, downloading);
    QCOMPARE(done, quint64(90));
    QCOMPARE(total, quint64(150));
    QCOMPARE(speed, quint64(12));
    QVERIFY(downloading);

    // Nested: the outer sum adds to what the caller passed in.
    b->tickDownloading = false;
    done = 1;
    total = 2;
    speed = 3;
    downloading = true;
    chain.timeTick(done, total, speed, downloading);
    QCOMPARE(done, quint64(91));
    QCOMPARE(total, quint64(152));
    QCOMPARE(speed, quint64(15));
    QVERIFY(!downloading);
}

void tst_ComposedTask::longSynchronousChainDoesNotRecurse()
{
    const int count = 10000;
    Chain chain(1, 1.0);
    for (int i = 0; i < count; ++i)
        chain.add(ProbeTask::FinishAtOnce, 1.0 / count);
    QSignalSpy finished(&chain, &TaskSpecification::finished);
    chain.execute();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 30000);
    QCOMPARE(chain.log.size(), count);
    quintptr lowest = chain.log.first()->stackAtExecute;
    quintptr highest = lowest;
    for (ProbeTask* task : qAsConst(chain.log)) {
        lowest = qMin(lowest, task->stackAtExecute);
        highest = qMax(highest, task->stackAtExecute);
    }
    // Every start comes from the event loop at the same depth; recursion would add a frame
    // per sub-task (hundreds of kilobytes over the chain).
    QVERIFY2(highest - lowest < 4096, qPrintable(QString::number(highest - lowest)));
}

void tst_ComposedTask::releasedSubTaskNoLongerReaches()
{
    Chain chain(1, 1.0);
    ProbeTask* task = chain.add(ProbeTask::StayRunning, 1.0);
    QPointer<ProbeTask> guard(task);
    chain.execute();
    oneTurn();
    chain.clearSubTasks();
    QSignalSpy canceled(&chain, &TaskSpecification::canceled);
    QSignalSpy messages(&chain, &TaskSpecification::message);
    emit task->message(QStringLiteral("late"));
    task->errorCancel();
    QCOMPARE(canceled.count(), 0);
    QCOMPARE(messages.count(), 0);
    QVERIFY(chain.subTasks.isEmpty());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(guard.isNull());
}

void tst_ComposedTask::startQueuedBeforeResetDoesNotOverrun()
{
    Chain chain(1, 1.0);
    ProbeTask* first = chain.add(ProbeTask::StayRunning, 0.5);
    ProbeTask* second = chain.add(ProbeTask::StayRunning, 0.5);
    chain.execute();
    oneTurn();
    first->finish(); // queues a start for the second
    chain.reset();
    chain.execute(); // queues one start for the new run
    oneTurn();
    QCOMPARE(chain.runningTasks.size(), 1);
    QCOMPARE(first->executions, 2);
    QCOMPARE(second->executions, 0);
}

void tst_ComposedTask::freshSubTasksRunAfterAFailedRun()
{
    // The way the concrete tasks start over: discard the sub-tasks, reset, build new ones.
    Chain chain(1, 1.0);
    chain.add(ProbeTask::FailAtOnce, 1.0);
    chain.execute();
    oneTurn();
    QCOMPARE(chain.state, TaskState(TaskErrorCanceled));

    chain.clearSubTasks();
    chain.TaskSpecification::reset();
    ProbeTask* fresh = chain.add(ProbeTask::FinishAtOnce, 1.0);
    chain.execute();
    oneTurn();
    oneTurn();
    QCOMPARE(fresh->executions, 1);
    QCOMPARE(chain.state, TaskState(TaskFinished));
}

void tst_ComposedTask::textsAreForwarded()
{
    Chain chain(1, 1.0);
    ProbeTask* task = chain.add(ProbeTask::StayRunning, 1.0);
    QSignalSpy messages(&chain, &TaskSpecification::message);
    QSignalSpy errors(&chain, &TaskSpecification::error);
    chain.execute();
    oneTurn();
    emit task->message(QStringLiteral("log line"));
    emit task->error(QStringLiteral("box text"));
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0).at(0).toString(), QStringLiteral("log line"));
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toString(), QStringLiteral("box text"));
}

void tst_ComposedTask::taskReleasedDuringCancelStopsTheFanOut()
{
    // The first sub-task ends on the request, and its end reaches a receiver that runs an
    // event loop (as a message box does) in which the whole task is released.
    QPointer<Chain> chain = new Chain(2, 1.0);
    ProbeTask* first = chain->add(ProbeTask::StayRunning, 0.5);
    QPointer<ProbeTask> second = chain->add(ProbeTask::StayRunning, 0.5);
    chain->execute();
    oneTurn();
    first->userCancelEndsTask = true;
    connect(first, &TaskSpecification::canceled, this, [&chain] {
        chain->deleteLater();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    });
    chain->userCanceled();
    QVERIFY(chain.isNull());
    QVERIFY(second.isNull());
}

void tst_ComposedTask::onDemandSubTasksAreMadeWhenDueAndReleasedWhenFinished_data()
{
    QTest::addColumn<int>("maxParallel");
    QTest::newRow("one at a time") << 1;
    QTest::newRow("two at a time") << 2;
}

void tst_ComposedTask::onDemandSubTasksAreMadeWhenDueAndReleasedWhenFinished()
{
    QFETCH(int, maxParallel);
    OnDemandChain chain(maxParallel, 3);
    QSignalSpy finished(&chain, &TaskSpecification::finished);
    chain.execute();
    QCOMPARE(chain.made.size(), 0);
    oneTurn();
    QCOMPARE(chain.made.size(), maxParallel);
    QCOMPARE(chain.runningTasks.size(), maxParallel);

    // The first one's end releases it; its share, its totals and its last speed still count.
    QPointer<ProbeTask> first = chain.made.first();
    first->finish();
    QCOMPARE(chain.progress, 1.0 / 3);
    QVERIFY(!chain.subTasks.contains(first.data()));
    oneTurn();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(first.isNull());
    QCOMPARE(chain.made.size(), maxParallel + 1);
    Tick tick = tickOf(chain);
    const quint64 running = quint64(chain.runningTasks.size());
    QCOMPARE(tick.speed, 10 * running + 10);
    QCOMPARE(tick.total, 1000 * running + 1000);
    QCOMPARE(tickOf(chain).speed, 10 * running);

    while (!chain.runningTasks.isEmpty()) {
        static_cast<ProbeTask*>(chain.runningTasks.first())->finish();
        oneTurn();
    }
    QCOMPARE(finished.count(), 1);
    QCOMPARE(chain.state, TaskState(TaskFinished));
    QCOMPARE(chain.progress, 1.0);
    QVERIFY(chain.subTasks.isEmpty());
    tick = tickOf(chain);
    QCOMPARE(tick.done, quint64(600));
    QCOMPARE(tick.total, quint64(3000));
    tick = tickOf(chain);
    QCOMPARE(tick.speed, quint64(0));
    QCOMPARE(tick.done, quint64(600));
}

void tst_ComposedTask::userCancelLeavesOnDemandSubTasksUnmade()
{
    OnDemandChain chain(1, 3);
    QSignalSpy canceled(&chain, &TaskSpecification::canceled);
    chain.execute();
    oneTurn();
    QCOMPARE(chain.made.size(), 1);
    chain.userCanceled();
    // The running one still completes; nothing else is made, and the run is a cancelled one.
    chain.made.first()->finish();
    oneTurn();
    QCOMPARE(chain.made.size(), 1);
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(chain.state, TaskState(TaskUserCanceled));
}

void tst_ComposedTask::tickSurvivesAnEventLoopInsideIt()
{
    // A tick raises an error whose box releases the last sub-task, then the whole task.
    QPointer<OnDemandChain> chain = new OnDemandChain(3, 3);
    chain->execute();
    oneTurn();
    chain->made.first()->tickError = QStringLiteral("box text");
    connect(chain, &TaskSpecification::error, this, [&chain] {
        chain->made.last() ? chain->made.last()->finish() : chain->deleteLater();
        QEventLoop box;
        QMetaObject::invokeMethod(&box, &QEventLoop::quit, Qt::QueuedConnection);
        box.exec();
    });
    QCOMPARE(tickOf(*chain).done, quint64(100 + 200)); // the two still running
    tickOf(*chain);
    QVERIFY(chain.isNull());
}

QTEST_GUILESS_MAIN(tst_ComposedTask)
#include "tst_composedtask.moc"

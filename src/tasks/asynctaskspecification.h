#ifndef ASYNCTASKSPECIFICATION_H
#define ASYNCTASKSPECIFICATION_H

#include "tasks/taskspecification.h"

#include <QObject>
#include <QRunnable>

#include <future>

// A work object: runs on a thread of the global pool and reports only through its signals,
// which reach its task through queued connections. It is created without a Qt parent, is
// given everything run() needs at construction, and is deleted on the pool thread after it
// has emitted runResult.
class ASyncFunc : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(ASyncFunc)

public:
    ASyncFunc();

    // The work; true on success. Explanatory texts go out through message or error first.
    virtual bool run() = 0;
    // Calls run() and emits runResult with its value. Runs on the pool thread.
    void execute();

signals:
    void runResult(bool res);
    void message(QString);
    void error(QString);
    void progress(qreal progress);
};

// Hands one work object to the pool; owns it and deletes it when the pool deletes the runnable.
class ASyncRun : public QRunnable
{
public:
    explicit ASyncRun(ASyncFunc* func);
    ~ASyncRun() override;
    void run() override;

    ASyncFunc* func = nullptr;
    // Set once the work object has been deleted, whether or not the runnable ever ran.
    std::promise<void> ended;

private:
    Q_DISABLE_COPY(ASyncRun)
};

// A task whose work runs on QThreadPool::globalInstance(). The task keeps no pointer to its
// work object; it learns the outcome through queued signals on the GUI thread, where the texts
// and progress of a run always arrive before its result. A result that arrives when the task
// is no longer running is dropped. A cancel request does not interrupt the work.
class ASyncTaskSpecification : public TaskSpecification
{
    Q_OBJECT
    Q_DISABLE_COPY(ASyncTaskSpecification)

public:
    ASyncTaskSpecification(QObject* parent, double weight);

    // Creates the work object, wires it, hands it to the pool and enters TaskRunning.
    void execute() override;
    // Blocks until this task's own work has left the pool (not the rest of the pool), makes
    // whatever that work still has on its way to this task be dropped, then returns to
    // TaskIdle.
    void reset() override;

    // A new work object for one run; ownership passes to the pool.
    virtual ASyncFunc* createFunction() = 0;
    // Four queued connections from the work object to this task; what arrives after a reset
    // that came later than the connection is dropped.
    virtual void connectDefaultSignals(ASyncFunc* func);
    // Applies the result of run(): finish() or errorCancel(), only while TaskRunning.
    virtual void runDone(bool res);

protected:
    // Blocks until the work object of the latest execute() has been deleted; returns at once
    // when there is none.
    void waitForJob();

protected slots:
    void onRunResult(bool res);
    void onProgress(qreal progress);

private:
    template <typename Signal, typename Receiver>
    void connectThisRun(ASyncFunc* func, Signal signal, Receiver receiver);

    // Counts the resets: a queued signal wired before the latest one finds a different number
    // and is dropped on arrival, so a reset never has to search the event queue.
    quint64 run = 0;
    std::future<void> jobEnded;
};

#endif // ASYNCTASKSPECIFICATION_H

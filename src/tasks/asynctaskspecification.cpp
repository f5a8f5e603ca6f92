#include "tasks/asynctaskspecification.h"

#include <QThreadPool>

ASyncFunc::ASyncFunc()
    : QObject(nullptr)
{
}

void ASyncFunc::execute()
{
    emit runResult(run());
}

ASyncRun::ASyncRun(ASyncFunc* func)
    : func(func)
{
    setAutoDelete(true);
}

ASyncRun::~ASyncRun()
{
    delete func;
    ended.set_value();
}

void ASyncRun::run()
{
    func->execute();
}

ASyncTaskSpecification::ASyncTaskSpecification(QObject* parent, double weight)
    : TaskSpecification(parent, weight)
{
}

void ASyncTaskSpecification::execute()
{
    ASyncFunc* func = createFunction();
    connectDefaultSignals(func);
    auto* runnable = new ASyncRun(func);
    jobEnded = runnable->ended.get_future();
    QThreadPool::globalInstance()->start(runnable, 0);
    state = TaskRunning;
}

template <typename Signal, typename Receiver>
void ASyncTaskSpecification::connectThisRun(ASyncFunc* func, Signal signal, Receiver receiver)
{
    const quint64 thisRun = run;
    connect(
        func, signal, this,
        [this, thisRun, receiver](auto... args) {
            if (thisRun == run)
                (this->*receiver)(args...);
        },
        Qt::QueuedConnection);
}

void ASyncTaskSpecification::connectDefaultSignals(ASyncFunc* func)
{
    connectThisRun(func, &ASyncFunc::runResult, &ASyncTaskSpecification::onRunResult);
    connectThisRun(func, &ASyncFunc::message, &TaskSpecification::message);
    connectThisRun(func, &ASyncFunc::error, &TaskSpecification::error);
    connectThisRun(func, &ASyncFunc::progress, &ASyncTaskSpecification::onProgress);
}

void ASyncTaskSpecification::onRunResult(bool res)
{
    runDone(res);
}

void ASyncTaskSpecification::runDone(bool res)
{
    if (state != TaskRunning)
        return;
    if (res)
        finish();
    else
        errorCancel();
}

void ASyncTaskSpecification::onProgress(qreal progress)
{
    setProgress(progress);
}

void ASyncTaskSpecification::waitForJob()
{
    if (jobEnded.valid())
        jobEnded.wait();
}

void ASyncTaskSpecification::reset()
{
    waitForJob();
    // Whatever the work sent is queued by now; counting the reset makes it be dropped when it
    // arrives, or a stale result would end the next run.
    ++run;
    TaskSpecification::reset();
}

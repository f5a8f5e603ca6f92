#include "tasks/asynctaskspecification.h"

#include <QCoreApplication>
#include <QEvent>
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
    QThreadPool::globalInstance()->start(runnable, 0);
    state = TaskRunning;
}

void ASyncTaskSpecification::connectDefaultSignals(ASyncFunc* func)
{
    connect(func, &ASyncFunc::runResult, this, &ASyncTaskSpecification::onRunResult,
            Qt::QueuedConnection);
    connect(func, &ASyncFunc::message, this, &TaskSpecification::message, Qt::QueuedConnection);
    connect(func, &ASyncFunc::error, this, &TaskSpecification::error, Qt::QueuedConnection);
    connect(func, &ASyncFunc::progress, this, &ASyncTaskSpecification::onProgress,
            Qt::QueuedConnection);
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

void ASyncTaskSpecification::reset()
{
    QThreadPool::globalInstance()->waitForDone();
    // Every earlier work object has ended, so whatever it sent is already queued: drop it, or
    // a stale result would end the next run.
    QCoreApplication::removePostedEvents(this, QEvent::MetaCall);
    TaskSpecification::reset();
}

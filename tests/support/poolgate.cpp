#include "support/poolgate.h"

#include <QThreadPool>

PoolGate::PoolGate()
{
    QThreadPool* pool = QThreadPool::globalInstance();
    threads = pool->maxThreadCount();
    for (int i = 0; i < threads; ++i) {
        pool->start([this] {
            held.release();
            open.acquire();
        });
    }
    held.acquire(threads);
}

PoolGate::~PoolGate()
{
    release();
    // The blockers use this object's semaphores until they return.
    QThreadPool::globalInstance()->waitForDone();
}

void PoolGate::release()
{
    if (released)
        return;
    released = true;
    open.release(threads);
}

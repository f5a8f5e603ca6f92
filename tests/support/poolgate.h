#ifndef POOLGATE_H
#define POOLGATE_H

#include <QSemaphore>

// Keeps every thread of the global thread pool busy until release(), so that work handed to
// the pool meanwhile waits in its queue. A test can then act while an asynchronous task is
// certainly running and its result certainly not yet delivered.
class PoolGate
{
public:
    // Returns once every pool thread is held.
    PoolGate();
    // Releases the pool if release() was not called.
    ~PoolGate();
    Q_DISABLE_COPY(PoolGate)

    void release();

private:
    QSemaphore held;
    QSemaphore open;
    int threads = 0;
    bool released = false;
};

#endif // POOLGATE_H

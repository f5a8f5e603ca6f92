#include "support/timetick.h"

#include "tasks/taskspecification.h"

Tick tick(TaskSpecification* task)
{
    Tick t;
    task->timeTick(t.done, t.total, t.speed, t.downloading);
    return t;
}

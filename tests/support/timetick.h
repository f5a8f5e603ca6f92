#ifndef TIMETICK_H
#define TIMETICK_H

#include <QtGlobal>

class TaskSpecification;

// The figures one timeTick() call of a task reports, starting from zero.
struct Tick
{
    quint64 done = 0;
    quint64 total = 0;
    quint64 speed = 0;
    bool downloading = false;
};

// Calls task's timeTick() once with fresh figures and returns what it reported.
Tick tick(TaskSpecification* task);

#endif // TIMETICK_H

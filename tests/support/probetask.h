#ifndef PROBETASK_H
#define PROBETASK_H

#include "tasks/taskspecification.h"

#include <QList>

// A leaf task for tests: it can end inside execute() (synchronously) or stay running until
// the test ends it, and it records what happened to it.
class ProbeTask : public TaskSpecification
{
    Q_OBJECT

public:
    enum Outcome
    {
        StayRunning,
        FinishAtOnce,
        FailAtOnce,
        UserCancelAtOnce
    };

    ProbeTask(QObject* parent, double weight, Outcome outcome = StayRunning);

    void execute() override;
    void userCanceled() override;
    void handleOtherTaskCancelled(TaskSpecification* other) override;
    void timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed,
                  bool& downloading) override;

    Outcome outcome;
    int executions = 0;
    int userCancelRequests = 0;
    // When set, a cancel request ends a running probe in TaskUserCanceled.
    bool userCancelEndsTask = false;
    QList<TaskSpecification*> siblingNotices;
    // Figures reported by timeTick.
    quint64 tickDone = 0;
    quint64 tickTotal = 0;
    quint64 tickSpeed = 0;
    bool tickDownloading = false;
    QString tickError; // when set, raised by every tick
    // A shared log of executions, to check order across tasks; not owned.
    QList<ProbeTask*>* executionLog = nullptr;
    // The depth of the stack at execute(), to check that chains do not recurse.
    quintptr stackAtExecute = 0;
};

#endif // PROBETASK_H

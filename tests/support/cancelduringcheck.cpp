#include "support/cancelduringcheck.h"

#include "crypto/checksignaturetaskspecification.h"
#include "support/poolgate.h"
#include "tasks/composedtaskspecification.h"

#include <QPointer>
#include <QSignalSpy>
#include <QTest>

CheckCancel cancelDuringCheck(ComposedTaskSpecification& task)
{
    CheckCancel result;
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    PoolGate gate;
    task.execute();
    // Saved now: after the cancel the task may already hold the sub-tasks of another attempt.
    const QPointer<CheckSignatureTaskSpecification> check =
        qobject_cast<CheckSignatureTaskSpecification*>(task.subTasks.last());
    if (!check) {
        result.failure = QStringLiteral("the last sub-task is no check");
        return result;
    }
    QSignalSpy checkDone(check.data(), &CheckSignatureTaskSpecification::checkDone);
    if (!QTest::qWaitFor([&] { return check->state == TaskRunning; }, 10000)) {
        result.failure = QStringLiteral("the check never started");
        return result;
    }
    task.userCanceled();
    if (!check->cancelRequested) {
        result.failure = QStringLiteral("the cancel did not reach the check");
        return result;
    }
    gate.release();
    if (!QTest::qWaitFor([&] { return finished.count() + canceled.count() > 0; }, 10000)) {
        result.failure = QStringLiteral("the task did not end");
        return result;
    }
    if (finished.count() + canceled.count() != 1 || checkDone.count() != 1) {
        result.failure = QStringLiteral("the task ended %1 times after %2 check results")
                             .arg(finished.count() + canceled.count())
                             .arg(checkDone.count());
        return result;
    }
    result.pass = checkDone.first().first().toBool();
    return result;
}

#ifndef CANCELDURINGCHECK_H
#define CANCELDURINGCHECK_H

#include <QString>

class ComposedTaskSpecification;

// What cancelDuringCheck() saw; failure names the step that did not happen.
struct CheckCancel
{
    bool pass = false;
    QString failure;
};

// Executes task, whose last sub-task is a check, with every pool thread held; once that check
// runs, cancels task and lets the pool go, so the check cannot report before the cancel has
// reached it. Waits for task to end and returns the check's verdict.
CheckCancel cancelDuringCheck(ComposedTaskSpecification& task);

#endif // CANCELDURINGCHECK_H

#ifndef FASTFILEOPTASKSPECIFICATION_H
#define FASTFILEOPTASKSPECIFICATION_H

#include "tasks/rollback.h"
#include "tasks/taskspecification.h"

// A quick file-system operation that runs synchronously on the GUI thread: the task has ended
// when execute() returns. Each change that succeeded is recorded in the journal, if there is one.
class FastFileOpTaskSpecification : public TaskSpecification
{
    Q_OBJECT
    Q_DISABLE_COPY(FastFileOpTaskSpecification)

public:
    // journal may be null (nothing is recorded); not owned.
    FastFileOpTaskSpecification(const QString& path, RollbackDataList* journal, QObject* parent,
                                double weight);

    // TaskRunning, then doOp(), then finish() or errorCancel().
    void execute() override;
    // Performs the operation; a failure emits its own text first.
    virtual bool doOp() = 0;

    // Records an undo entry when there is a journal.
    void addRollbackOp(RollbackData entry);

    RollbackDataList* journal = nullptr; // not owned
    QString path;
};

#endif // FASTFILEOPTASKSPECIFICATION_H

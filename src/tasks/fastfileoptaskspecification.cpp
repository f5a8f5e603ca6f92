#include "tasks/fastfileoptaskspecification.h"

FastFileOpTaskSpecification::FastFileOpTaskSpecification(const QString& path,
                                                         RollbackDataList* journal, QObject* parent,
                                                         double weight)
    : TaskSpecification(parent, weight)
    , journal(journal)
    , path(path)
{
}

void FastFileOpTaskSpecification::execute()
{
    state = TaskRunning;
    if (doOp())
        finish();
    else
        errorCancel();
}

void FastFileOpTaskSpecification::addRollbackOp(RollbackData entry)
{
    if (journal)
        journal->add(entry);
}

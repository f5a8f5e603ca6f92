#ifndef DIRCREATETASKSPECIFICATION_H
#define DIRCREATETASKSPECIFICATION_H

#include "tasks/fastfileoptaskspecification.h"

// Creates a folder together with its missing parent folders, outermost first. Every folder it
// makes is recorded in the journal in the order made, so undoing the journal newest first
// removes the innermost folder first; folders that existed are not recorded.
class DirCreateTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
    Q_DISABLE_COPY(DirCreateTaskSpecification)

public:
    // dir is the folder to create; journal may be null (not owned).
    DirCreateTaskSpecification(const QString& dir, RollbackDataList* journal, QObject* parent,
                               double weight);

    // tryCreateDir() of the task's own folder.
    bool doOp() override;
    // True when dir exists as a folder afterwards. A failure emits one message naming the
    // path at which it happened (or the task's own folder when no parent can be found);
    // folders made before the failure stay in the journal.
    bool tryCreateDir(const QString& dir);
};

#endif // DIRCREATETASKSPECIFICATION_H

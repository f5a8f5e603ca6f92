#ifndef FILECOPYTASKSPECIFICATION_H
#define FILECOPYTASKSPECIFICATION_H

#include "tasks/slowfileoptaskspecification.h"

// Copies one file on the global pool. On success the creation of dst is recorded in the
// journal; on failure "Could not copy '<src>' to '<dst>'" goes to the log. A cancel request
// does not interrupt the copy.
class FileCopyTaskSpecification : public SlowFileOpSpecification
{
    Q_OBJECT
    Q_DISABLE_COPY(FileCopyTaskSpecification)

public:
    // journal may be null (not owned).
    FileCopyTaskSpecification(RollbackDataList* journal, const QString& src, const QString& dst,
                              QObject* parent, double weight);

    // A new FileCopyFunc on src, dst, replaceDst and executable; the pool's runnable owns it.
    ASyncFunc* createFunction() override;
};

#endif // FILECOPYTASKSPECIFICATION_H

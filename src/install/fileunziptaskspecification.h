#ifndef FILEUNZIPTASKSPECIFICATION_H
#define FILEUNZIPTASKSPECIFICATION_H

#include "tasks/slowfileoptaskspecification.h"

// Decompresses one gzip file on the global pool (see FileUnzipFunc). On success the creation
// of dst is recorded in the journal; on failure dst is gone and "Could not unzip '<src>' to
// '<dst>'" goes to the log. Whether the content is right is for the caller to check. A cancel
// request does not interrupt the work.
class FileUnzipTaskSpecification : public SlowFileOpSpecification
{
    Q_OBJECT
    Q_DISABLE_COPY(FileUnzipTaskSpecification)

public:
    // journal may be null (not owned).
    FileUnzipTaskSpecification(RollbackDataList* journal, const QString& src, const QString& dst,
                               QObject* parent, double weight);

    // A new FileUnzipFunc on src, dst, replaceDst and executable; the pool's runnable owns it.
    ASyncFunc* createFunction() override;
};

#endif // FILEUNZIPTASKSPECIFICATION_H

#ifndef FILEDELETETASKSPECIFICATION_H
#define FILEDELETETASKSPECIFICATION_H

#include "tasks/fastfileoptaskspecification.h"

// Deletes one file, or where asked a folder tree. A deletion cannot be undone, so nothing is
// ever recorded.
class FileDeleteTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
    Q_DISABLE_COPY(FileDeleteTaskSpecification)

public:
    // With mustSucceed a failed deletion fails the task; without it the task always finishes.
    FileDeleteTaskSpecification(bool mustSucceed, const QString& path, QObject* parent,
                                double weight);

    // Removes the file; only a failure with mustSucceed emits "Could not delete '<path>'".
    bool doOp() override;

    bool mustSucceed = false;
    // path is one of the updater's own names: a folder there goes too, as a whole tree.
    bool wholeTree = false;
};

#endif // FILEDELETETASKSPECIFICATION_H

#ifndef FILERENAMETASKSPECIFICATION_H
#define FILERENAMETASKSPECIFICATION_H

#include "tasks/fastfileoptaskspecification.h"

// Moves one file to a new name. Never overwrites: the task fails when the new name exists,
// a dangling link included. A link at the old name is moved as the link itself, and the move
// never falls back to copying through a link. A successful move is recorded so that an undo
// moves the file back.
class FileRenameTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
    Q_DISABLE_COPY(FileRenameTaskSpecification)

public:
    // from is the current name, to the new one (the base's path); journal may be null.
    FileRenameTaskSpecification(const QString& from, const QString& to, RollbackDataList* journal,
                                QObject* parent, double weight);

    // Moves sourcePath to path; a failure emits "Could not rename '<from>' to '<to>'".
    bool doOp() override;

    QString sourcePath;
};

#endif // FILERENAMETASKSPECIFICATION_H

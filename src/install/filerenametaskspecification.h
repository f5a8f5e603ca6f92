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
    // The file keeps sourcePath as well, so that it stays in place until a new file takes that
    // name in one step: path becomes a second name of it, or, where the file system has none
    // to give, a whole copy of it, written here on the calling thread. Anything but a regular
    // file is moved. The undo entry is the same.
    bool keepSource = false;

private:
    bool keep();
};

#endif // FILERENAMETASKSPECIFICATION_H

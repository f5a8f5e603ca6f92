#ifndef FILEKEEPTASKSPECIFICATION_H
#define FILEKEEPTASKSPECIFICATION_H

#include "install/filecopytaskspecification.h"
#include "tasks/fileentry.h"

// Keeps an installed file at its name while it also gets a second one, so that the name holds
// a whole file until a new one takes it in one step. The second name is a hard link where the
// file system gives one, at once on the calling thread; where it gives none (FAT, exFAT,
// another file system, too many links) it is a whole copy, written on the global pool so the
// window stays responsive. Anything but a regular file is moved, and so is a file that can be
// neither linked nor copied (one of another owner that may not be read). Never overwrites: the
// task fails when the second name exists. Recorded as a rename, so that an undo drops the
// second name again (or moves the entry back); a failure emits "Could not rename '<src>' to
// '<dst>'".
class FileKeepTaskSpecification : public FileCopyTaskSpecification
{
    Q_OBJECT
    Q_DISABLE_COPY(FileKeepTaskSpecification)

public:
    // src is the installed file, dst its second name; journal may be null (not owned).
    FileKeepTaskSpecification(RollbackDataList* journal, const QString& src, const QString& dst,
                              QObject* parent, double weight);

    void execute() override;
    // A FileCopyFunc that makes dst one more name of src as it stands, else a copy.
    ASyncFunc* createFunction() override;
    void runDone(bool res) override;

protected:
    RollbackData undoEntry() const override;

private:
    // The installed file as it was before it was kept, so that the undo can tell whether its
    // name still holds it as the copy has it.
    FileEntry::Stamp kept;
};

#endif // FILEKEEPTASKSPECIFICATION_H

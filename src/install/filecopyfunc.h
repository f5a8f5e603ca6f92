#ifndef FILECOPYFUNC_H
#define FILECOPYFUNC_H

#include "tasks/slowfileoptaskspecification.h"

class StagedFile;

// Gives dst the file at src on a pool thread: the file itself under a second name where the
// file system gives one, else a whole copy of its bytes. A second name means src must not be
// written to afterwards. A new file is written under a temporary name next to dst and then
// given its name, so dst never holds a partial copy. Overwrites an existing dst only when
// replaceDst is set, and then in one step.
class FileCopyFunc : public SlowFileOpFunc
{
    Q_OBJECT
    Q_DISABLE_COPY(FileCopyFunc)

public:
    // With asIs, dst is one more name of the entry at src as it stands (an installed file kept
    // under its "_old_" name): it is made in place and keeps the entry's mode, group and ACL.
    // Otherwise the second name is staged and given only where the file then has the group and
    // ACL that a file written at dst gets.
    FileCopyFunc(const QString& src, const QString& dst, bool replaceDst = false,
                 bool executable = false, bool asIs = false);

    // The file gets the permissions of src (ExecutableMode with executable, which a second
    // name gives src too); a failed run leaves dst as it was.
    bool run() override;
    // The second name of an asIs run alone, quick enough for the GUI thread; false, changing
    // nothing, where the file system gives none.
    bool link() const;
    // Copies everything from the current offset of the file from to the file to.
    static bool copyData(int from, StagedFile& to);

    const bool asIs;

private:
    // Gives dst the file open at in, as a second name staged next to dst or as a copy.
    bool put(int in) const;
};

#endif // FILECOPYFUNC_H

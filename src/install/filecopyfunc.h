#ifndef FILECOPYFUNC_H
#define FILECOPYFUNC_H

#include "tasks/slowfileoptaskspecification.h"

class StagedFile;

// Copies src to dst on a pool thread. Where the file system allows, dst becomes a second name
// of src instead of a copy of its bytes, so src must not be written to afterwards. The copy is
// written under a temporary name next to dst and then given its name, so dst never holds a
// partial copy. Overwrites an existing dst only when replaceDst is set, and then in one step.
class FileCopyFunc : public SlowFileOpFunc
{
    Q_OBJECT
    Q_DISABLE_COPY(FileCopyFunc)

public:
    FileCopyFunc(const QString& src, const QString& dst, bool replaceDst = false,
                 bool executable = false);

    // The copy takes over the permissions of src (ExecutableMode with executable, which a
    // second name gives src too); a failed copy leaves dst as it was.
    bool run() override;
    // Copies everything from the current offset of the file from to the file to.
    static bool copyData(int from, StagedFile& to);
};

#endif // FILECOPYFUNC_H

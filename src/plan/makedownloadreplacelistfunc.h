#ifndef MAKEDOWNLOADREPLACELISTFUNC_H
#define MAKEDOWNLOADREPLACELISTFUNC_H

#include "plan/filespecifications.h"
#include "tasks/asynctaskspecification.h"

class Configuration;
class QSettings;

// Compiles the product ini "<tempDir>/<clientType>.ini" into the three lists of an update,
// leaving out files whose installed copy is current and not downloading again files already
// in the temporary folder with the right sum. Runs on a pool thread and hashes every listed
// installed or downloaded file, on threads of its own, one per core, and on its own wherever
// it has caught up with them: it needs none of them to end.
class MakeDownloadReplaceListFunc : public ASyncFunc
{
    Q_OBJECT
    Q_DISABLE_COPY(MakeDownloadReplaceListFunc)

public:
    // Neither is owned; lists must stay untouched by others until runResult has arrived.
    MakeDownloadReplaceListFunc(Configuration* config, FileSpecifications& lists);

    // Empties lists and fills them anew, reporting one progress step per entry; the deletion
    // list also gains the leftover "_old_" copies of listed ordinary files and the leftover
    // temporary files of listed files, and current programs get back lost execute bits.
    // False, after a message, when the product ini is missing or empty, or holds a line of
    // other than 2 or 5 fields or a path that does not stay inside its folder; lists are then
    // incomplete.
    bool run() override;

    // The number of keys over all sections, the "delete" section included.
    int getFileCount(QSettings& settings);
    // Lists for deletion the "_old_" copy of replace's installed file when one lies in the
    // application folder: a run that ended before its deletion step (a crash, a power cut)
    // left it, or a folder stands there. The copies of the updater's own files stay for the
    // next start to remove.
    void listLeftoverOldCopy(const FileReplaceSpecification& replace, const QString& appRoot);
    // Lists for deletion the temporary files that a killed run left while it wrote replace's
    // installed file or its "_old_" copy, or a folder at such a name: one look-up each,
    // whatever the folder holds.
    void listLeftoverTempFiles(const FileReplaceSpecification& replace, const QString& appRoot);

    Configuration* config = nullptr; // not owned
    FileSpecifications& lists;       // the task's working copy
};

#endif // MAKEDOWNLOADREPLACELISTFUNC_H

#ifndef FILEREPLACETASKSPECIFICATION_H
#define FILEREPLACETASKSPECIFICATION_H

#include "plan/filereplacespecification.h"
#include "tasks/composedtaskspecification.h"
#include "tasks/rollback.h"

#include <QList>
#include <QString>

class Configuration;

// Installs one downloaded file into the application folder, one step after another: a
// leftover "_old_" copy is deleted, the installed file gets its "_old_" name as a second name
// (or a whole copy there), and the download is copied, or decompressed and then checked
// against its MD5 sum, each written next to the installed file, given its mode (0755 for the
// known programs and libraries) and put over it in one step, so that the installed name always
// holds a whole file with its mode. When a step fails, or a cancel leaves one unstarted, the
// task undoes its own steps before it ends. On success it hands its journal entries to the
// list's journal and puts the "_old_" name on the deletion list (not for the updater's own
// files). A leftover folder at the "_old_" name is deleted as a whole tree.
class FileReplaceTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
    Q_DISABLE_COPY(FileReplaceTaskSpecification)

public:
    // spec is copied; oldFiles, parentJournal and config are not owned and must outlive the
    // task. Creates no sub-task yet.
    FileReplaceTaskSpecification(const FileReplaceSpecification& spec, QList<QString>* oldFiles,
                                 RollbackDataList* parentJournal, Configuration* config,
                                 QObject* parent, double weight);

    // Logs "add/replace <key>" and starts the steps.
    void execute() override;
    // Discards the steps. A replacement that has not completed is undone; a completed one is
    // left in place, since its files now belong to the installation (see the .cpp).
    void reset() override;
    // Undoes the own steps on failure or cancel; otherwise hands the results on, then ends.
    void subtasksDone() override;

    // Builds the steps for the current state of the application folder and runs them.
    void makeSubtasksAndStart();

    FileReplaceSpecification spec;
    QList<QString>* oldFiles = nullptr;        // not owned
    RollbackDataList* parentJournal = nullptr; // not owned
    RollbackDataList ownJournal;
    Configuration* config = nullptr; // not owned
    bool destRenamed = false;
};

#endif // FILEREPLACETASKSPECIFICATION_H

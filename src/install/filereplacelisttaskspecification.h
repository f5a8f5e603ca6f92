#ifndef FILEREPLACELISTTASKSPECIFICATION_H
#define FILEREPLACELISTTASKSPECIFICATION_H

#include "plan/filereplacespecification.h"
#include "tasks/composedtaskspecification.h"
#include "tasks/rollback.h"

#include <QList>
#include <QString>

class Configuration;

// Installs every file of the update: first creates the missing folders that will hold the new
// files, then runs one replacement per file, two at a time. One journal covers the whole
// installation; if anything fails, or a cancel leaves work unstarted, the journal is undone
// newest first once nothing runs any more, so the application folder is as it was before.
class FileReplaceListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
    Q_DISABLE_COPY(FileReplaceListTaskSpecification)

public:
    // None of the pointers is owned. The lists are read when the task runs, not now;
    // oldFiles receives the "_old_" names of replaced ordinary files.
    FileReplaceListTaskSpecification(QList<FileReplaceSpecification>* specs,
                                     QList<QString>* oldFiles, Configuration* config,
                                     QObject* parent, double weight);

    // Logs "Starting file updates" and starts the folder and replacement tasks.
    void execute() override;
    // Discards the sub-tasks. An installation that has not completed is undone; a completed
    // one is left in place (see the .cpp).
    void reset() override;
    // On failure or cancel logs "rolling back file updates" and undoes the journal; then ends.
    void subtasksDone() override;

    void makeSubtasksAndStart();
    // Adds one folder task per missing folder that directly holds a new file, sorted so that
    // every folder comes before its sub-folders; returns their number.
    int makeSubdirTasks();
    // Adds one replacement per record, in list order, each made when its start is due.
    void makeFileReplaceTasks(bool hasDirs);
    TaskSpecification* makeSubTask(int index) override;

    QList<FileReplaceSpecification>* specs = nullptr; // not owned
    QList<QString>* oldFiles = nullptr;               // not owned
    RollbackDataList ownJournal;
    Configuration* config = nullptr; // not owned
    // The share of each replacement.
    double fileShare = 0.0;
};

#endif // FILEREPLACELISTTASKSPECIFICATION_H

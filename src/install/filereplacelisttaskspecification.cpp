#include "install/filereplacelisttaskspecification.h"

#include "config/configuration.h"
#include "install/dircreatetaskspecification.h"
#include "install/filereplacetaskspecification.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QStringList>

FileReplaceListTaskSpecification::FileReplaceListTaskSpecification(
    QList<FileReplaceSpecification>* specs, QList<QString>* oldFiles, Configuration* config,
    QObject* parent, double weight)
    : ComposedTaskSpecification(2, weight, parent)
    , specs(specs)
    , oldFiles(oldFiles)
    , config(config)
{
}

void FileReplaceListTaskSpecification::execute()
{
    emit message(QStringLiteral("Starting file updates"));
    makeSubtasksAndStart();
}

void FileReplaceListTaskSpecification::makeSubtasksAndStart()
{
    makeFileReplaceTasks(makeSubdirTasks() > 0);
    state = TaskRunning;
    executeSubTasks();
}

int FileReplaceListTaskSpecification::makeSubdirTasks()
{
    const QDir appRoot(Configuration::getAppRootPath());
    QSet<QString> seen;
    QStringList missing;
    for (const FileReplaceSpecification& record : qAsConst(*specs)) {
        const QFileInfo installed(appRoot, record.destFileName(QString()));
        const QString folder = installed.path();
        if (seen.contains(folder))
            continue;
        seen.insert(folder);
        if (!installed.dir().exists())
            missing.append(folder);
    }
    // Sorted by character code, every folder precedes its sub-folders.
    missing.sort();

    for (const QString& folder : qAsConst(missing))
        addSubTask(new DirCreateTaskSpecification(folder, &ownJournal, this, 0.1 / missing.size()));
    return missing.size();
}

void FileReplaceListTaskSpecification::makeFileReplaceTasks(bool hasDirs)
{
    fileShare = (hasDirs ? 0.9 : 1.0) / specs->size();
    addSubTasksOnDemand(specs->size());
}

TaskSpecification* FileReplaceListTaskSpecification::makeSubTask(int index)
{
    return new FileReplaceTaskSpecification((*specs)[index], oldFiles, &ownJournal, config, this,
                                            fileShare);
}

void FileReplaceListTaskSpecification::subtasksDone()
{
    if (getStateFromSubTasks() != TaskFinished) {
        emit message(QStringLiteral("rolling back file updates"));
        ownJournal.rollback(this);
    }
    ComposedTaskSpecification::subtasksDone();
}

void FileReplaceListTaskSpecification::reset()
{
    clearSubTasks();
    // A completed installation is not undone: the deletion list may already have removed the
    // "_old_" copies, so the undo would delete the new files and restore nothing.
    if (state == TaskFinished)
        ownJournal.clear();
    else
        ownJournal.rollback(this);
    TaskSpecification::reset();
}

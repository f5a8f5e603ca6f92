#include "install/filedeletelisttaskspecification.h"

#include "config/configuration.h"
#include "install/filedeletetaskspecification.h"
#include "tasks/fileentry.h"

#include <QDir>
#include <QFileInfo>

FileDeleteListTaskSpecification::FileDeleteListTaskSpecification(QList<QString>* deleteList,
                                                                 QObject* parent, double weight)
    : ComposedTaskSpecification(1, weight, parent)
    , deleteList(deleteList)
{
}

void FileDeleteListTaskSpecification::execute()
{
    emit message(QStringLiteral("Starting deleting files"));
    makeSubtasksAndStart();
}

void FileDeleteListTaskSpecification::makeSubtasksAndStart()
{
    addSubTasksOnDemand(deleteList->size());
    state = TaskRunning;
    executeSubTasks();
}

TaskSpecification* FileDeleteListTaskSpecification::makeSubTask(int index)
{
    const QFileInfo entry(QDir(Configuration::getAppRootPath()), deleteList->at(index));
    auto* deletion =
        new FileDeleteTaskSpecification(false, entry.filePath(), this, 1.0 / deleteList->size());
    deletion->wholeTree =
        entry.fileName().startsWith(Configuration::getSpecialFileRenamePrefix()) ||
        FileEntry::isTempName(entry.fileName());
    return deletion;
}

void FileDeleteListTaskSpecification::reset()
{
    clearSubTasks();
    TaskSpecification::reset();
}

#include "install/filedeletelisttaskspecification.h"

#include "config/configuration.h"
#include "install/filedeletetaskspecification.h"

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
    const QDir appRoot(Configuration::getAppRootPath());
    return new FileDeleteTaskSpecification(false,
                                           QFileInfo(appRoot, deleteList->at(index)).filePath(),
                                           this, 1.0 / deleteList->size());
}

void FileDeleteListTaskSpecification::reset()
{
    clearSubTasks();
    TaskSpecification::reset();
}

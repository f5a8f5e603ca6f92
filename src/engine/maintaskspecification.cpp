#include "engine/maintaskspecification.h"

#include "install/filedeletelisttaskspecification.h"
#include "install/filereplacelisttaskspecification.h"
#include "net/downloadfilelisttaskspecification.h"
#include "net/inidownloadtaskspecification.h"
#include "plan/makedownloadreplacelisttaskspecification.h"

MainTaskSpecification::MainTaskSpecification(QNetworkAccessManager* manager, Mirrors* mirrors,
                                             Configuration* config, QObject* parent, double weight)
    : ComposedTaskSpecification(1, weight, parent)
    , manager(manager)
    , mirrors(mirrors)
    , config(config)
{
}

MainTaskSpecification::~MainTaskSpecification() = default;

void MainTaskSpecification::execute()
{
    emit message(QStringLiteral("Starting update process"));
    makeSubtasksAndStart();
}

void MainTaskSpecification::reset()
{
    clearSubTasks();
    files.clear();
    TaskSpecification::reset();
}

void MainTaskSpecification::makeSubtasksAndStart()
{
    addSubTask(new IniDownloadTaskSpecification(manager, mirrors, config, this, 0.1));
    addSubTask(new MakeDownloadReplaceListTaskSpecification(config, files, this, 0.05));
    addSubTask(new DownloadFileListTaskSpecification(&files.downloads, manager, mirrors, config,
                                                     this, 0.4));
    addSubTask(
        new FileReplaceListTaskSpecification(&files.replaces, &files.deletes, config, this, 0.4));
    addSubTask(new FileDeleteListTaskSpecification(&files.deletes, this, 0.05));
    state = TaskRunning;
    executeSubTasks();
}

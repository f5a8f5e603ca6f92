#include "install/filereplacetaskspecification.h"

#include "config/configuration.h"
#include "crypto/checksignaturetaskspecification.h"
#include "install/filecopytaskspecification.h"
#include "install/filedeletetaskspecification.h"
#include "install/filekeeptaskspecification.h"
#include "install/fileunziptaskspecification.h"
#include "tasks/fileentry.h"

#include <QDir>
#include <QFileInfo>

FileReplaceTaskSpecification::FileReplaceTaskSpecification(const FileReplaceSpecification& spec,
                                                           QList<QString>* oldFiles,
                                                           RollbackDataList* parentJournal,
                                                           Configuration* config, QObject* parent,
                                                           double weight)
    : ComposedTaskSpecification(1, weight, parent)
    , spec(spec)
    , oldFiles(oldFiles)
    , parentJournal(parentJournal)
    , config(config)
{
}

void FileReplaceTaskSpecification::execute()
{
    emit message(QStringLiteral("add/replace %1").arg(spec.file));
    makeSubtasksAndStart();
}

void FileReplaceTaskSpecification::makeSubtasksAndStart()
{
    const QDir appRoot(Configuration::getAppRootPath());
    const QDir tempDir(config->tempDir);
    const QString source = QFileInfo(tempDir, spec.file).filePath();
    const QString destination = QFileInfo(appRoot, spec.destFileName(QString())).filePath();
    const QString oldCopy = QFileInfo(appRoot, spec.oldDestFileName()).filePath();

    // A link at either name is an entry of its own, dangling or not: it is moved aside or
    // removed as the link itself and never followed out of the application folder.
    double remaining = 1.0;
    if (FileEntry::exists(destination)) {
        if (FileEntry::exists(oldCopy)) {
            // A leftover of an earlier run; it is not restored by an undo.
            auto* leftover = new FileDeleteTaskSpecification(true, oldCopy, this, 0.1);
            leftover->wholeTree = true;
            addSubTask(leftover);
            remaining = 0.9;
        }
        // The installed file stays at its name under the "_old_" one as well, until the new
        // file, written next to it, takes the name in one step: a crash at any point leaves a
        // whole file there, old or new.
        destRenamed = true;
        addSubTask(new FileKeepTaskSpecification(&ownJournal, destination, oldCopy, this, 0.1));
        remaining -= 0.1;
    }

    SlowFileOpSpecification* put = nullptr;
    if (spec.hasUnzip())
        put =
            new FileUnzipTaskSpecification(&ownJournal, source, destination, this, remaining - 0.2);
    else
        put = new FileCopyTaskSpecification(&ownJournal, source, destination, this, remaining);
    put->replaceDst = destRenamed;
    // Given before the name: a crash never leaves a program there that cannot be started.
    put->executable = spec.isExecutable();
    addSubTask(put);
    if (spec.hasUnzip())
        addSubTask(
            new CheckSignatureTaskSpecification(destination, spec.unzipMd5, true, this, 0.2));

    state = TaskRunning;
    executeSubTasks();
}

void FileReplaceTaskSpecification::subtasksDone()
{
    if (getStateFromSubTasks() != TaskFinished) {
        ownJournal.rollback(this);
        ComposedTaskSpecification::subtasksDone();
        return;
    }

    if (parentJournal)
        parentJournal->appendList(ownJournal);
    const QString fileName = QFileInfo(spec.pureDestFilePath()).fileName();
    if (destRenamed && oldFiles && !config->isSpecialFileName(fileName))
        oldFiles->append(spec.oldDestFileName());
    ComposedTaskSpecification::subtasksDone();
}

void FileReplaceTaskSpecification::reset()
{
    clearSubTasks();
    // A completed replacement is not undone: the list's deletion step may already have
    // removed the "_old_" copy, so the undo would delete the new file and restore nothing.
    if (state == TaskFinished)
        ownJournal.clear();
    else
        ownJournal.rollback(this);
    destRenamed = false;
    TaskSpecification::reset();
}

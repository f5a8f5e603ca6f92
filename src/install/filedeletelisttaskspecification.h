#ifndef FILEDELETELISTTASKSPECIFICATION_H
#define FILEDELETELISTTASKSPECIFICATION_H

#include "tasks/composedtaskspecification.h"

#include <QList>
#include <QString>

// Deletes every listed path, relative to the application folder, one after another and on a
// best-effort basis: a deletion that fails is ignored without a text. A folder at one of the
// updater's own "_old_" or ".new." names goes as a whole tree. The task never fails by itself;
// a cancel skips the deletions not yet started and ends it as TaskUserCanceled.
class FileDeleteListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
    Q_DISABLE_COPY(FileDeleteListTaskSpecification)

public:
    // deleteList is not owned and is read when the task runs.
    FileDeleteListTaskSpecification(QList<QString>* deleteList, QObject* parent, double weight);

    // Logs "Starting deleting files" and starts the deletions.
    void execute() override;
    // Discards the deletion tasks and returns to TaskIdle; deleted files stay deleted.
    void reset() override;

    void makeSubtasksAndStart();
    // The deletion of one entry, made when its start is due.
    TaskSpecification* makeSubTask(int index) override;

    QList<QString>* deleteList = nullptr; // not owned
};

#endif // FILEDELETELISTTASKSPECIFICATION_H

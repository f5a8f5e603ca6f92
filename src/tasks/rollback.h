#ifndef ROLLBACK_H
#define ROLLBACK_H

#include "tasks/fileentry.h"

#include <QList>
#include <QString>

class QObject;

// One undoable file operation, recorded after the operation succeeded.
class RollbackData
{
public:
    enum Operation
    {
        Rename = 0,     // a file was given a new name: rename it back
        CreateFile = 1, // a file was created: remove it
        CreateDir = 2   // a folder was created: remove it if it is empty
    };

    // For CreateFile and CreateDir: path is what the undo removes.
    RollbackData(Operation op, const QString& path);
    // For Rename, given as performed (old name, new name); stored as path = target and
    // restorePath = source.
    RollbackData(Operation op, const QString& source, const QString& target);

    // Undoes this entry; a failure is reported as a warning through the receiver's "message".
    bool rollback(QObject* receiver) const;
    // Invokes the receiver's member "message" with the text; a null receiver drops it.
    static void message(QObject* receiver, const QString& text);

    QString path;
    QString restorePath;
    Operation op;
    // For a Rename that kept the file at restorePath too, with path a second name or a whole
    // copy of it: the file at restorePath as it was kept. Where restorePath still holds it
    // unchanged, the undo only drops path.
    FileEntry::Stamp kept;
};

// The journal of an installation, oldest entry first.
class RollbackDataList
{
public:
    RollbackDataList() = default;

    void add(const RollbackData& entry);
    // Drops every entry without undoing it.
    void clear();
    // Appends copies of other's entries; other keeps them.
    void appendList(const RollbackDataList& other);
    // Undoes every entry, newest first, going on past failures; true only if every undo
    // succeeded. The journal is empty afterwards.
    bool rollback(QObject* receiver);

    QList<RollbackData> entries;

private:
    // Whether created, just taken off the journal, is a file created where the newest
    // remaining entry had moved a file away from.
    bool isPutOverMovedFile(const RollbackData& created) const;
};

#endif // ROLLBACK_H

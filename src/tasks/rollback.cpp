#include "tasks/rollback.h"

#include "tasks/fileentry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QObject>

RollbackData::RollbackData(Operation op, const QString& path)
    : path(path)
    , op(op)
{
}

RollbackData::RollbackData(Operation op, const QString& source, const QString& target)
    : path(target)
    , restorePath(source)
    , op(op)
{
}

void RollbackData::message(QObject* receiver, const QString& text)
{
    if (receiver)
        QMetaObject::invokeMethod(receiver, "message", Qt::AutoConnection, Q_ARG(QString, text));
}

bool RollbackData::rollback(QObject* receiver) const
{
    switch (op) {
    case Rename: {
        // A file that was kept under a second name, or as a whole copy where it could not have
        // one, is back once that name is dropped, as long as its own name still holds it.
        const auto isKept = [this] {
            return FileEntry::isSameEntry(path, restorePath) ||
                   FileEntry::isUnchanged(restorePath, kept);
        };
        const bool ok = FileEntry::rename(path, restorePath) || (isKept() && QFile::remove(path));
        if (!ok)
            message(
                receiver,
                QStringLiteral("warning: rollback rename %1 to %2 failed").arg(restorePath, path));
        return ok;
    }
    case CreateFile: {
        const bool ok = QFile::remove(path);
        if (!ok)
            message(receiver, QStringLiteral("warning: rollback create file %1 failed").arg(path));
        return ok;
    }
    case CreateDir: {
        const bool ok = QFileInfo(path).dir().rmdir(QDir(path).dirName());
        if (!ok)
            message(receiver, QStringLiteral("warning: rollback create dir %1 failed").arg(path));
        return ok;
    }
    }
    qFatal("Should not reach here");
    return false;
}

void RollbackDataList::add(const RollbackData& entry)
{
    entries.append(entry);
}

void RollbackDataList::clear()
{
    entries.clear();
}

void RollbackDataList::appendList(const RollbackDataList& other)
{
    entries.append(other.entries);
}

bool RollbackDataList::isPutOverMovedFile(const RollbackData& created) const
{
    return created.op == RollbackData::CreateFile && !entries.isEmpty() &&
           entries.last().op == RollbackData::Rename && entries.last().restorePath == created.path;
}

bool RollbackDataList::rollback(QObject* receiver)
{
    bool result = true;
    while (!entries.isEmpty()) {
        const RollbackData entry = entries.takeLast();
        if (isPutOverMovedFile(entry) &&
            FileEntry::replace(entries.last().path, entries.last().restorePath)) {
            // Moving the old file back over the new one undoes both entries at once, and the
            // name never stands empty in between.
            entries.removeLast();
            continue;
        }
        if (!entry.rollback(receiver))
            result = false;
    }
    return result;
}

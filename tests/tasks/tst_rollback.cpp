#include "support/treesnapshot.h"
#include "tasks/rollback.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {
class Receiver : public QObject
{
    Q_OBJECT

signals:
    void message(QString text);
};
} // namespace

class tst_Rollback : public QObject
{
    Q_OBJECT

private slots:
    void emptyJournalSucceedsSilently();
    void undoesNewestFirst();
    void failedUndoDoesNotStopTheRest();
    void renameBackAndItsWarning();
    void nonEmptyFolderIsKept();
    void nullReceiverStillReportsFailure();
    void appendListCopies();
};

void tst_Rollback::emptyJournalSucceedsSilently()
{
    Receiver receiver;
    QSignalSpy messages(&receiver, &Receiver::message);
    RollbackDataList journal;
    QVERIFY(journal.rollback(&receiver));
    QCOMPARE(messages.count(), 0);
}

void tst_Rollback::undoesNewestFirst()
{
    // Folder, file inside it, and a file moved aside and replaced: only the reverse order
    // gets back to the original tree.
    QTemporaryDir dir;
    const QString root = dir.path();
    QVERIFY(writeFile(root, QStringLiteral("app.bin"), "old"));
    const TreeSnapshot before = TreeSnapshot::take(root);

    RollbackDataList journal;
    QVERIFY(QDir(root).mkdir(QStringLiteral("plugins")));
    journal.add(RollbackData(RollbackData::CreateDir, root + QStringLiteral("/plugins")));
    QVERIFY(writeFile(root, QStringLiteral("plugins/lib.so"), "new"));
    journal.add(RollbackData(RollbackData::CreateFile, root + QStringLiteral("/plugins/lib.so")));
    QVERIFY(
        QFile::rename(root + QStringLiteral("/app.bin"), root + QStringLiteral("/_old_app.bin")));
    journal.add(RollbackData(RollbackData::Rename, root + QStringLiteral("/app.bin"),
                             root + QStringLiteral("/_old_app.bin")));
    QVERIFY(writeFile(root, QStringLiteral("app.bin"), "new"));
    journal.add(RollbackData(RollbackData::CreateFile, root + QStringLiteral("/app.bin")));
    QVERIFY(TreeSnapshot::take(root) != before);

    Receiver receiver;
    QSignalSpy messages(&receiver, &Receiver::message);
    QVERIFY(journal.rollback(&receiver));
    QCOMPARE(messages.count(), 0);
    QVERIFY(journal.entries.isEmpty());
    const TreeSnapshot after = TreeSnapshot::take(root);
    QVERIFY2(after == before, qPrintable(before.diff(after)));
}

void tst_Rollback::failedUndoDoesNotStopTheRest()
{
    QTemporaryDir dir;
    const QString first = dir.filePath(QStringLiteral("first"));
    const QString missing = dir.filePath(QStringLiteral("missing"));
    const QString third = dir.filePath(QStringLiteral("third"));
    QVERIFY(writeFile(dir.path(), QStringLiteral("first"), "1"));
    QVERIFY(writeFile(dir.path(), QStringLiteral("third"), "3"));

    RollbackDataList journal;
    journal.add(RollbackData(RollbackData::CreateFile, first));
    journal.add(RollbackData(RollbackData::CreateFile, missing));
    journal.add(RollbackData(RollbackData::CreateFile, third));
    Receiver receiver;
    QSignalSpy messages(&receiver, &Receiver::message);
    QVERIFY(!journal.rollback(&receiver));
    QVERIFY(journal.entries.isEmpty());
    QVERIFY(!QFile::exists(first));
    QVERIFY(!QFile::exists(third));
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0).at(0).toString(),
             QStringLiteral("warning: rollback create file %1 failed").arg(missing));
}

void tst_Rollback::renameBackAndItsWarning()
{
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("S"));
    const QString target = dir.filePath(QStringLiteral("T"));
    QVERIFY(writeFile(dir.path(), QStringLiteral("T"), "moved"));
    RollbackData entry(RollbackData::Rename, source, target);
    QCOMPARE(entry.path, target);
    QCOMPARE(entry.restorePath, source);

    Receiver receiver;
    QSignalSpy messages(&receiver, &Receiver::message);
    QVERIFY(entry.rollback(&receiver));
    QCOMPARE(readFile(source), QByteArray("moved"));
    QVERIFY(!QFile::exists(target));

    // Now T is gone: undoing again fails and names the rename as it was performed.
    QVERIFY(!entry.rollback(&receiver));
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0).at(0).toString(),
             QStringLiteral("warning: rollback rename %1 to %2 failed").arg(source, target));
}

void tst_Rollback::nonEmptyFolderIsKept()
{
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.path(), QStringLiteral("made/keep.txt"), "user data"));
    const QString folder = dir.filePath(QStringLiteral("made"));
    RollbackDataList journal;
    journal.add(RollbackData(RollbackData::CreateDir, folder));
    Receiver receiver;
    QSignalSpy messages(&receiver, &Receiver::message);
    QVERIFY(!journal.rollback(&receiver));
    QCOMPARE(readFile(folder + QStringLiteral("/keep.txt")), QByteArray("user data"));
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0).at(0).toString(),
             QStringLiteral("warning: rollback create dir %1 failed").arg(folder));

    QVERIFY(QFile::remove(folder + QStringLiteral("/keep.txt")));
    journal.add(RollbackData(RollbackData::CreateDir, folder));
    QVERIFY(journal.rollback(&receiver));
    QVERIFY(!QFileInfo::exists(folder));
}

void tst_Rollback::nullReceiverStillReportsFailure()
{
    QTemporaryDir dir;
    RollbackDataList journal;
    journal.add(RollbackData(RollbackData::CreateFile, dir.filePath(QStringLiteral("none"))));
    QVERIFY(!journal.rollback(nullptr));
    QVERIFY(journal.entries.isEmpty());
}

void tst_Rollback::appendListCopies()
{
    RollbackDataList inner;
    inner.add(RollbackData(RollbackData::CreateFile, QStringLiteral("/a")));
    inner.add(RollbackData(RollbackData::CreateDir, QStringLiteral("/b")));
    RollbackDataList outer;
    outer.add(RollbackData(RollbackData::CreateDir, QStringLiteral("/first")));
    outer.appendList(inner);
    QCOMPARE(outer.entries.size(), 3);
    QCOMPARE(outer.entries.at(1).path, QStringLiteral("/a"));
    QCOMPARE(outer.entries.at(2).path, QStringLiteral("/b"));
    QCOMPARE(inner.entries.size(), 2);
    outer.clear();
    QVERIFY(outer.entries.isEmpty());
    QCOMPARE(inner.entries.size(), 2);
}

QTEST_GUILESS_MAIN(tst_Rollback)
#include "tst_rollback.moc"

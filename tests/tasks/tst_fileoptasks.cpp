#include "support/treesnapshot.h"
#include "tasks/fastfileoptaskspecification.h"
#include "tasks/slowfileoptaskspecification.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {
// Makes a folder and records it, as a real quick operation does.
class MakeDir : public FastFileOpTaskSpecification
{
public:
    MakeDir(const QString& path, RollbackDataList* journal)
        : FastFileOpTaskSpecification(path, journal, nullptr, 1.0)
    {
    }
    bool doOp() override
    {
        if (!QDir().mkdir(path)) {
            emit message(QStringLiteral("cannot make %1").arg(path));
            return false;
        }
        addRollbackOp(RollbackData(RollbackData::CreateDir, path));
        return true;
    }
};

class WriteFunc : public SlowFileOpFunc
{
public:
    using SlowFileOpFunc::SlowFileOpFunc;
    bool run() override
    {
        QFile in(src);
        QFile out(dst);
        if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly))
            return false;
        return out.write(in.readAll()) >= 0;
    }
};

class WriteTask : public SlowFileOpSpecification
{
public:
    WriteTask(RollbackDataList* journal, const QString& src, const QString& dst)
        : SlowFileOpSpecification(QStringLiteral("copy failed"), journal, src, dst, nullptr, 1.0)
    {
    }
    ASyncFunc* createFunction() override { return new WriteFunc(src, dst); }
};
} // namespace

class tst_FileOpTasks : public QObject
{
    Q_OBJECT

private slots:
    void quickOperationEndsInsideExecute_data();
    void quickOperationEndsInsideExecute();
    void slowSuccessRecordsCreatedFileBeforeFinished();
    void slowFailureReportsTextAndRecordsNothing();
};

void tst_FileOpTasks::quickOperationEndsInsideExecute_data()
{
    QTest::addColumn<bool>("withJournal");
    QTest::addColumn<bool>("folderInTheWay");
    QTest::newRow("journal") << true << false;
    QTest::newRow("no journal") << false << false;
    QTest::newRow("fails") << true << true;
}

void tst_FileOpTasks::quickOperationEndsInsideExecute()
{
    QFETCH(bool, withJournal);
    QFETCH(bool, folderInTheWay);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("made"));
    if (folderInTheWay)
        QVERIFY(QDir().mkdir(path));
    RollbackDataList journal;
    MakeDir task(path, withJournal ? &journal : nullptr);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy messages(&task, &TaskSpecification::message);
    task.execute();
    QCOMPARE(finished.count(), folderInTheWay ? 0 : 1);
    QCOMPARE(canceled.count(), folderInTheWay ? 1 : 0);
    QCOMPARE(messages.count(), folderInTheWay ? 1 : 0);
    QCOMPARE(journal.entries.size(), withJournal && !folderInTheWay ? 1 : 0);
    QVERIFY(QFileInfo(path).isDir());
}

void tst_FileOpTasks::slowSuccessRecordsCreatedFileBeforeFinished()
{
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.path(), QStringLiteral("src"), "payload"));
    const QString dst = dir.filePath(QStringLiteral("dst"));
    RollbackDataList journal;
    WriteTask task(&journal, dir.filePath(QStringLiteral("src")), dst);
    int entriesAtFinish = -1;
    connect(&task, &TaskSpecification::finished, this,
            [&] { entriesAtFinish = journal.entries.size(); });
    task.execute();
    QTRY_COMPARE(task.state, TaskState(TaskFinished));
    QCOMPARE(entriesAtFinish, 1);
    QCOMPARE(journal.entries.at(0).op, RollbackData::CreateFile);
    QCOMPARE(journal.entries.at(0).path, dst);
    QCOMPARE(readFile(dst), QByteArray("payload"));
}

void tst_FileOpTasks::slowFailureReportsTextAndRecordsNothing()
{
    QTemporaryDir dir;
    RollbackDataList journal;
    WriteTask task(&journal, dir.filePath(QStringLiteral("missing")),
                   dir.filePath(QStringLiteral("dst")));
    QStringList order;
    connect(&task, &TaskSpecification::message, this, [&](const QString& text) { order << text; });
    connect(&task, &TaskSpecification::canceled, this,
            [&] { order << QStringLiteral("canceled"); });
    task.execute();
    QTRY_COMPARE(task.state, TaskState(TaskErrorCanceled));
    QCOMPARE(order, QStringList({"copy failed", "canceled"}));
    QVERIFY(journal.entries.isEmpty());
}

QTEST_GUILESS_MAIN(tst_FileOpTasks)
#include "tst_fileoptasks.moc"

#include "install/dircreatetaskspecification.h"
#include "install/filecopytaskspecification.h"
#include "install/filedeletetaskspecification.h"
#include "install/filerenametaskspecification.h"
#include "install/fileunziptaskspecification.h"
#include "support/mirrortree.h"
#include "support/spytexts.h"
#include "support/treesnapshot.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

namespace {
QByteArray randomBytes(int size)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator generator(42);
    for (char& byte : data)
        byte = char(generator.bounded(256));
    return data;
}

// A gzip header followed by a deflate block of the reserved type: zlib's read fails on it.
QByteArray brokenGzip()
{
    return QByteArray::fromHex("1f8b0800000000000003") + QByteArray(64, '\xff');
}

// While it lives, no file of this process may grow beyond limit bytes (0: no limit): a write
// past it fails (the signal that would end the process is ignored), as on a full disk.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t limit)
        : limited(limit > 0)
    {
        if (!limited)
            return;
        oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &old);
        rlimit lowered = old;
        lowered.rlim_cur = limit;
        ::setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit()
    {
        if (!limited)
            return;
        ::setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);
    }
    Q_DISABLE_COPY(FileSizeLimit)

private:
    const bool limited;
    void (*oldHandler)(int) = nullptr;
    rlimit old{};
};
} // namespace

class tst_FileOperations : public QObject
{
    Q_OBJECT

private slots:
    void dirCreateOfExistingFolderRecordsNothing();
    void dirCreateMakesNestedFoldersOutermostFirst();
    void dirCreateBlockedByFile_data();
    void dirCreateBlockedByFile();
    void dirCreateOfRelativeSingleComponentFails();
    void deleteFailsOnlyWhenItMustSucceed_data();
    void deleteFailsOnlyWhenItMustSucceed();
    void renameRecordsUndoEntry();
    void renameOntoExistingFileChangesNothing();
    void copyRecordsCreatedFile();
    void copyOntoExistingFileChangesNothing();
    void unzip_data();
    void unzip();
};

void tst_FileOperations::dirCreateOfExistingFolderRecordsNothing()
{
    QTemporaryDir root;
    QVERIFY(QDir(root.path()).mkdir(QStringLiteral("there")));
    RollbackDataList journal;
    DirCreateTaskSpecification task(root.filePath(QStringLiteral("there")), &journal, nullptr, 0.5);
    QSignalSpy messages(&task, &TaskSpecification::message);
    task.execute();
    QCOMPARE(task.state, TaskState(TaskFinished));
    QCOMPARE(task.progress, 0.5);
    QVERIFY(journal.entries.isEmpty());
    QVERIFY(messages.isEmpty());
}

void tst_FileOperations::dirCreateMakesNestedFoldersOutermostFirst()
{
    QTemporaryDir root;
    const TreeSnapshot before = TreeSnapshot::take(root.path());
    const QString a = root.filePath(QStringLiteral("a"));
    const QString ab = a + QStringLiteral("/b");
    const QString abc = ab + QStringLiteral("/c");
    RollbackDataList journal;
    DirCreateTaskSpecification task(abc, &journal, nullptr, 1.0);
    task.execute();
    QCOMPARE(task.state, TaskState(TaskFinished));
    QVERIFY(QFileInfo(abc).isDir());

    QCOMPARE(journal.entries.size(), 3);
    const QStringList expected = {a, ab, abc};
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(journal.entries.at(i).op, RollbackData::CreateDir);
        QCOMPARE(journal.entries.at(i).path, expected.at(i));
    }

    // Innermost first: each folder is empty when its turn comes.
    QSignalSpy warnings(&task, &TaskSpecification::message);
    QVERIFY(journal.rollback(&task));
    QVERIFY(warnings.isEmpty());
    QCOMPARE(TreeSnapshot::take(root.path()), before);
}

void tst_FileOperations::dirCreateBlockedByFile_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("dir");
    QTest::newRow("at the folder itself") << "x/blocker"
                                          << "x/blocker";
    QTest::newRow("at an ancestor") << "blocker"
                                    << "blocker/b/c";
    QTest::newRow("at the parent") << "x/blocker"
                                   << "x/blocker/c";
}

void tst_FileOperations::dirCreateBlockedByFile()
{
    QFETCH(QString, file);
    QFETCH(QString, dir);
    QTemporaryDir root;
    QVERIFY(writeFile(root.path(), file, "content"));
    const TreeSnapshot before = TreeSnapshot::take(root.path());

    RollbackDataList journal;
    DirCreateTaskSpecification task(root.filePath(dir), &journal, nullptr, 1.0);
    QSignalSpy messages(&task, &TaskSpecification::message);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    QCOMPARE(task.state, TaskState(TaskErrorCanceled));
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(spyTexts(messages),
             QStringList(QStringLiteral(
                             "Could not create dir '%1' because it already exists and is not a dir")
                             .arg(root.filePath(file))));
    QVERIFY(journal.entries.isEmpty());
    QCOMPARE(TreeSnapshot::take(root.path()), before);
}

void tst_FileOperations::dirCreateOfRelativeSingleComponentFails()
{
    const QString name =
        QStringLiteral("no_such_folder_%1").arg(QRandomGenerator::global()->generate());
    QVERIFY(!QFileInfo::exists(name));
    RollbackDataList journal;
    DirCreateTaskSpecification task(name, &journal, nullptr, 1.0);
    QSignalSpy messages(&task, &TaskSpecification::message);
    task.execute();
    QCOMPARE(task.state, TaskState(TaskErrorCanceled));
    QCOMPARE(spyTexts(messages), QStringList(QStringLiteral("Could not create dir %1").arg(name)));
    QVERIFY(journal.entries.isEmpty());
    QVERIFY(!QFileInfo::exists(name));
}

void tst_FileOperations::deleteFailsOnlyWhenItMustSucceed_data()
{
    QTest::addColumn<bool>("exists");
    QTest::addColumn<bool>("mustSucceed");
    QTest::addColumn<bool>("fails");
    QTest::newRow("present, optional") << true << false << false;
    QTest::newRow("present, required") << true << true << false;
    QTest::newRow("missing, optional") << false << false << false;
    QTest::newRow("missing, required") << false << true << true;
}

void tst_FileOperations::deleteFailsOnlyWhenItMustSucceed()
{
    QFETCH(bool, exists);
    QFETCH(bool, mustSucceed);
    QFETCH(bool, fails);
    QTemporaryDir root;
    const QString path = root.filePath(QStringLiteral("victim"));
    if (exists)
        QVERIFY(writeFile(root.path(), QStringLiteral("victim"), "bytes"));

    FileDeleteTaskSpecification task(mustSucceed, path, nullptr, 1.0);
    QCOMPARE(task.journal, nullptr);
    QSignalSpy messages(&task, &TaskSpecification::message);
    task.execute();
    QVERIFY(!QFileInfo::exists(path));
    QCOMPARE(task.state, TaskState(fails ? TaskErrorCanceled : TaskFinished));
    const QStringList expected =
        fails ? QStringList(QStringLiteral("Could not delete '%1'").arg(path)) : QStringList();
    QCOMPARE(spyTexts(messages), expected);
}

void tst_FileOperations::renameRecordsUndoEntry()
{
    QTemporaryDir root;
    QVERIFY(writeFile(root.path(), QStringLiteral("from"), "payload"));
    const TreeSnapshot before = TreeSnapshot::take(root.path());
    const QString from = root.filePath(QStringLiteral("from"));
    const QString to = root.filePath(QStringLiteral("to"));

    RollbackDataList journal;
    FileRenameTaskSpecification task(from, to, &journal, nullptr, 1.0);
    QCOMPARE(task.path, to);
    QCOMPARE(task.sourcePath, from);
    task.execute();
    QCOMPARE(task.state, TaskState(TaskFinished));
    QCOMPARE(readFile(to), QByteArray("payload"));
    QVERIFY(!QFileInfo::exists(from));
    QCOMPARE(journal.entries.size(), 1);
    QCOMPARE(journal.entries.at(0).op, RollbackData::Rename);

    QVERIFY(journal.rollback(nullptr));
    QCOMPARE(TreeSnapshot::take(root.path()), before);
}

void tst_FileOperations::renameOntoExistingFileChangesNothing()
{
    QTemporaryDir root;
    QVERIFY(writeFile(root.path(), QStringLiteral("from"), "new"));
    QVERIFY(writeFile(root.path(), QStringLiteral("to"), "old"));
    const TreeSnapshot before = TreeSnapshot::take(root.path());
    const QString from = root.filePath(QStringLiteral("from"));
    const QString to = root.filePath(QStringLiteral("to"));

    RollbackDataList journal;
    FileRenameTaskSpecification task(from, to, &journal, nullptr, 1.0);
    QSignalSpy messages(&task, &TaskSpecification::message);
    task.execute();
    QCOMPARE(task.state, TaskState(TaskErrorCanceled));
    QCOMPARE(spyTexts(messages),
             QStringList(QStringLiteral("Could not rename '%1' to '%2'").arg(from, to)));
    QVERIFY(journal.entries.isEmpty());
    QCOMPARE(TreeSnapshot::take(root.path()), before);
}

void tst_FileOperations::copyRecordsCreatedFile()
{
    QTemporaryDir root;
    const QByteArray data = randomBytes(100000);
    QVERIFY(writeFile(root.path(), QStringLiteral("src"), data));
    const QString src = root.filePath(QStringLiteral("src"));
    const QString dst = root.filePath(QStringLiteral("dst"));

    RollbackDataList journal;
    FileCopyTaskSpecification task(&journal, src, dst, nullptr, 0.3);
    QCOMPARE(task.failMessage, QStringLiteral("Could not copy '%1' to '%2'").arg(src, dst));
    // The entry is there by the time finished arrives.
    int entriesAtFinish = -1;
    connect(&task, &TaskSpecification::finished, this,
            [&] { entriesAtFinish = journal.entries.size(); });
    task.execute();
    QCOMPARE(task.state, TaskState(TaskRunning));
    QTRY_COMPARE(task.state, TaskState(TaskFinished));
    QCOMPARE(entriesAtFinish, 1);
    QCOMPARE(task.progress, 0.3);
    QCOMPARE(readFile(dst), data);
    QCOMPARE(journal.entries.at(0).op, RollbackData::CreateFile);
    QCOMPARE(journal.entries.at(0).path, dst);
}

void tst_FileOperations::copyOntoExistingFileChangesNothing()
{
    QTemporaryDir root;
    QVERIFY(writeFile(root.path(), QStringLiteral("src"), "new content"));
    QVERIFY(writeFile(root.path(), QStringLiteral("dst"), "old"));
    const TreeSnapshot before = TreeSnapshot::take(root.path());
    const QString src = root.filePath(QStringLiteral("src"));
    const QString dst = root.filePath(QStringLiteral("dst"));

    RollbackDataList journal;
    FileCopyTaskSpecification task(&journal, src, dst, nullptr, 1.0);
    QSignalSpy messages(&task, &TaskSpecification::message);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    QTRY_COMPARE(canceled.count(), 1);
    QCOMPARE(task.state, TaskState(TaskErrorCanceled));
    QCOMPARE(spyTexts(messages),
             QStringList(QStringLiteral("Could not copy '%1' to '%2'").arg(src, dst)));
    QVERIFY(journal.entries.isEmpty());
    QCOMPARE(TreeSnapshot::take(root.path()), before);
}

void tst_FileOperations::unzip_data()
{
    QTest::addColumn<bool>("sourceExists");
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<int>("writeLimit");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArray>("result");

    const QByteArray big = randomBytes(5 * 16384 + 77);
    QTest::newRow("several blocks") << true << MirrorTree::gzip(big) << 0 << true << big;
    QTest::newRow("empty stream") << true << MirrorTree::gzip(QByteArray()) << 0 << true
                                  << QByteArray();
    QTest::newRow("invalid data") << true << brokenGzip() << 0 << false << QByteArray();
    QTest::newRow("not gzip") << true << QByteArray("plain text, passed through") << 0 << true
                              << QByteArray("plain text, passed through");
    QTest::newRow("missing source") << false << QByteArray() << 0 << false << QByteArray();
    QTest::newRow("write fails in a later block")
        << true << MirrorTree::gzip(big) << 1000 << false << QByteArray();
    // Less than a block stays in the file's buffer until the end: only the last flush fails.
    QTest::newRow("write fails at the last flush")
        << true << MirrorTree::gzip(big.left(5000)) << 1000 << false << QByteArray();
}

void tst_FileOperations::unzip()
{
    QFETCH(bool, sourceExists);
    QFETCH(QByteArray, source);
    QFETCH(int, writeLimit);
    QFETCH(bool, ok);
    QFETCH(QByteArray, result);
    QTemporaryDir root;
    // Beyond ASCII, as the folders of a user's downloads may be.
    const QString srcName = QStringLiteral("Quelle-\u00e9-\u0438\u0441\u0442.gz");
    if (sourceExists)
        QVERIFY(writeFile(root.path(), srcName, source));
    const TreeSnapshot before = TreeSnapshot::take(root.path());
    const QString src = root.filePath(srcName);
    const QString dst = root.filePath(QStringLiteral("dst"));

    RollbackDataList journal;
    FileUnzipTaskSpecification task(&journal, src, dst, nullptr, 1.0);
    QSignalSpy messages(&task, &TaskSpecification::message);
    bool ended = false;
    {
        const FileSizeLimit limit(static_cast<rlim_t>(writeLimit));
        task.execute();
        // Nothing may be logged under a limit, so the wait reports only after it.
        ended = QTest::qWaitFor([&] { return task.state != TaskRunning; });
    }
    QVERIFY(ended);
    if (ok) {
        QCOMPARE(task.state, TaskState(TaskFinished));
        QVERIFY(messages.isEmpty());
        QCOMPARE(journal.entries.size(), 1);
        QVERIFY(QFileInfo(dst).isFile());
        QCOMPARE(readFile(dst), result);
    } else {
        QCOMPARE(task.state, TaskState(TaskErrorCanceled));
        QCOMPARE(spyTexts(messages),
                 QStringList(QStringLiteral("Could not unzip '%1' to '%2'").arg(src, dst)));
        QVERIFY(journal.entries.isEmpty());
        QCOMPARE(TreeSnapshot::take(root.path()), before);
    }
}

QTEST_MAIN(tst_FileOperations)
#include "tst_fileoperations.moc"

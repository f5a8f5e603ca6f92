#include "install/dircreatetaskspecification.h"
#include "install/filedeletelisttaskspecification.h"
#include "install/filekeeptaskspecification.h"
#include "install/filereplacelisttaskspecification.h"
#include "install/filereplacetaskspecification.h"
#include "support/installsandbox.h"
#include "support/mirrortree.h"
#include "support/poolgate.h"
#include "support/spytexts.h"
#include "support/treesnapshot.h"
#include "tasks/asynctaskspecification.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QSignalSpy>
#include <QtTest>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <memory>

namespace {
QList<FileReplaceSpecification> stageCopies(InstallSandbox& box, const QStringList& names)
{
    QList<FileReplaceSpecification> specs;
    for (const QString& name : names)
        specs << box.stageCopy(name, "new " + name.toUtf8());
    return specs;
}

// The state of a replacement's copy or decompression; TaskIdle while the replacement has not
// built its steps.
TaskState slowStepState(TaskSpecification* replacement)
{
    const auto* composed = qobject_cast<ComposedTaskSpecification*>(replacement);
    for (const TaskSpecification* step : composed->subTasks) {
        if (qobject_cast<const ASyncTaskSpecification*>(step) &&
            !qobject_cast<const FileKeepTaskSpecification*>(step))
            return step->state;
    }
    return TaskIdle;
}

const QString RollingBack = QStringLiteral("rolling back file updates");

bool setImmutable(const QString& path, bool on)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (ok) {
        flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
        ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return ok;
}

// Keeps anyone, the superuser included, from changing the entries of a folder while it lives.
// Permission bits do not bind the superuser (as whom CI runs), the immutable attribute does.
class WriteProtection
{
public:
    explicit WriteProtection(const QString& folder)
        : folder(folder)
        , asRoot(::geteuid() == 0)
    {
        active = asRoot ? setImmutable(folder, true)
                        : QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner);
    }
    ~WriteProtection()
    {
        if (!active)
            return;
        if (asRoot)
            setImmutable(folder, false);
        else
            QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    Q_DISABLE_COPY(WriteProtection)

    bool active = false;

private:
    const QString folder;
    const bool asRoot;
};
} // namespace

class tst_FileReplaceList : public QObject
{
    Q_OBJECT

private slots:
    void emptyReplacementListFinishesAtOnce();
    void missingFoldersAreCreatedFirst_data();
    void missingFoldersAreCreatedFirst();
    void failingReplacementUndoesTheWholeInstallation();
    void folderBlockedByFileStartsNoReplacement();
    void readOnlyTargetFolderUndoesTheWholeInstallation();
    void cancelWhileReplacementsWaitUndoesEverything();
    void resetAfterSuccessKeepsInstallation();
    void emptyDeletionListFinishesAtOnce();
    void deletionListIgnoresFailures();
    void oldCopiesOfOrdinaryFilesAreDeleted();
    void cancelSkipsRemainingDeletions();
};

void tst_FileReplaceList::emptyReplacementListFinishesAtOnce()
{
    InstallSandbox box;
    QList<FileReplaceSpecification> specs;
    QList<QString> oldFiles;
    FileReplaceListTaskSpecification list(&specs, &oldFiles, &box.config, nullptr, 0.4);
    QSignalSpy messages(&list, &TaskSpecification::message);
    list.execute();
    QCOMPARE(list.state, TaskState(TaskFinished));
    QCOMPARE(list.progress, 0.4);
    QVERIFY(list.subTasks.isEmpty());
    QCOMPARE(spyTexts(messages), QStringList(QStringLiteral("Starting file updates")));
}

void tst_FileReplaceList::missingFoldersAreCreatedFirst_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("folders");
    QTest::addColumn<int>("foldersMade");
    QTest::newRow("three new folders") << QStringList{"c/f3", "a/f1", "top", "a/b/f2", "a/f4"}
                                       << QStringList{"a", "a/b", "c"} << 3;
    QTest::newRow("several files in one folder")
        << QStringList{"n/x", "n/y"} << QStringList{"n"} << 1;
    QTest::newRow("missing parent without files")
        << QStringList{"a/b/f"} << QStringList{"a/b"} << 2;
    QTest::newRow("all folders exist") << QStringList{"top", "other"} << QStringList() << 0;
}

void tst_FileReplaceList::missingFoldersAreCreatedFirst()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, folders);
    QFETCH(int, foldersMade);
    InstallSandbox box;
    QVERIFY(box.isValid());
    QVERIFY(writeFile(box.app.path(), QStringLiteral("top"), "installed top"));
    const TreeSnapshot before = TreeSnapshot::take(box.app.path());
    QList<FileReplaceSpecification> specs = stageCopies(box, files);
    QList<QString> oldFiles;

    FileReplaceListTaskSpecification list(&specs, &oldFiles, &box.config, nullptr, 1.0);
    QSignalSpy messages(&list, &TaskSpecification::message);
    list.execute();
    // The folders come first; each replacement is made when its turn comes.
    QCOMPARE(list.subTasks.size(), folders.size());
    QCOMPARE(list.onDemandCount, files.size());
    for (int i = 0; i < folders.size(); ++i) {
        auto* folderTask = qobject_cast<DirCreateTaskSpecification*>(list.subTasks.at(i));
        QVERIFY(folderTask);
        QCOMPARE(folderTask->path, box.appFile(folders.at(i)));
        QVERIFY(qFuzzyCompare(folderTask->parentProgressRange, 0.1 / folders.size()));
    }
    const double replaceShare = (folders.isEmpty() ? 1.0 : 0.9) / files.size();
    for (int i = 0; i < files.size(); ++i) {
        const std::unique_ptr<TaskSpecification> sub(list.makeSubTask(i));
        auto* replacement = qobject_cast<FileReplaceTaskSpecification*>(sub.get());
        QVERIFY(replacement);
        QCOMPARE(replacement->spec.file, specs.at(i).file);
        QVERIFY(qFuzzyCompare(sub->parentProgressRange, replaceShare));
    }

    QTRY_COMPARE(list.state, TaskState(TaskFinished));
    QVERIFY(!spyTexts(messages).contains(RollingBack));
    for (const QString& name : files)
        QCOMPARE(readFile(box.appFile(name)), "new " + name.toUtf8());
    int dirEntries = 0;
    for (const RollbackData& entry : qAsConst(list.ownJournal.entries))
        dirEntries += entry.op == RollbackData::CreateDir;
    QCOMPARE(dirEntries, foldersMade);
    // Folder entries come first, so the journal undoes them last.
    for (int i = 0; i < foldersMade; ++i)
        QCOMPARE(list.ownJournal.entries.at(i).op, RollbackData::CreateDir);

    if (!files.contains(QStringLiteral("top"))) {
        QVERIFY(list.ownJournal.rollback(nullptr));
        QCOMPARE(TreeSnapshot::take(box.app.path()), before);
    }
}

void tst_FileReplaceList::failingReplacementUndoesTheWholeInstallation()
{
    InstallSandbox box;
    QVERIFY(box.isValid());
    QVERIFY(writeFile(box.app.path(), QStringLiteral("top"), "installed top"));
    QVERIFY(writeFile(box.app.path(), QStringLiteral("_old_top"), "leftover"));
    const TreeSnapshot before = TreeSnapshot::take(box.app.path());
    QList<FileReplaceSpecification> specs;
    specs << box.stageCopy(QStringLiteral("top"), "new top")
          << box.stageGzip(QStringLiteral("bad.gz"), QStringLiteral("a/b/bad"), "content",
                           MirrorTree::md5Hex("other content"))
          << box.stageCopy(QStringLiteral("c/f"), "new f");
    QList<QString> oldFiles;

    FileReplaceListTaskSpecification list(&specs, &oldFiles, &box.config, nullptr, 1.0);
    QSignalSpy messages(&list, &TaskSpecification::message);
    PoolGate gate;
    list.execute();
    QCOMPARE(list.subTasks.size(), 2); // a/b and c; the replacements follow
    // Both replacements are at their slow step before either can end.
    QTRY_COMPARE(list.runningTasks.size(), 2);
    const QPointer<TaskSpecification> good = list.runningTasks.at(0);
    const QPointer<TaskSpecification> bad = list.runningTasks.at(1);
    QCOMPARE(qobject_cast<FileReplaceTaskSpecification*>(good.data())->spec.file, specs.at(0).file);
    QCOMPARE(qobject_cast<FileReplaceTaskSpecification*>(bad.data())->spec.file, specs.at(1).file);
    QTRY_COMPARE(slowStepState(good), TaskState(TaskRunning));
    QTRY_COMPARE(slowStepState(bad), TaskState(TaskRunning));
    gate.release();

    QTRY_VERIFY(list.state != TaskRunning);
    QCOMPARE(list.state, TaskState(TaskErrorCanceled));
    // The finished one is released; the failed one stays for the list's end state.
    QTRY_VERIFY(good.isNull());
    QVERIFY(bad);
    QCOMPARE(bad->state, TaskState(TaskErrorCanceled));
    QCOMPARE(spyTexts(messages).count(RollingBack), 1);
    QVERIFY(spyTexts(messages).indexOf(RollingBack) >
            spyTexts(messages).indexOf(QStringLiteral("Signature check failed for %1")
                                           .arg(box.appFile(QStringLiteral("a/b/bad")))));
    // Only the leftover old copy, deleted on purpose, is not restored.
    TreeSnapshot expected = before;
    expected.entries.remove(QStringLiteral("_old_top"));
    const TreeSnapshot after = TreeSnapshot::take(box.app.path());
    QVERIFY2(after == expected, qPrintable(expected.diff(after)));
    QVERIFY(list.ownJournal.entries.isEmpty());
}

void tst_FileReplaceList::folderBlockedByFileStartsNoReplacement()
{
    InstallSandbox box;
    QVERIFY(box.isValid());
    QVERIFY(writeFile(box.app.path(), QStringLiteral("b"), "a file where a folder should be"));
    const TreeSnapshot before = TreeSnapshot::take(box.app.path());
    QList<FileReplaceSpecification> specs =
        stageCopies(box, {QStringLiteral("a/x/f1"), QStringLiteral("b/f2")});
    QList<QString> oldFiles;

    FileReplaceListTaskSpecification list(&specs, &oldFiles, &box.config, nullptr, 1.0);
    QSignalSpy messages(&list, &TaskSpecification::message);
    list.execute();
    QTRY_VERIFY(list.state != TaskRunning);
    QCOMPARE(list.state, TaskState(TaskErrorCanceled));
    QCOMPARE(spyTexts(messages),
             QStringList({QStringLiteral("Starting file updates"),
                          QStringLiteral("Could not create dir '%1' because it already exists and "
                                         "is not a dir")
                              .arg(box.appFile(QStringLiteral("b"))),
                          RollingBack}));
    QCOMPARE(list.onDemandMade, 0);
    QCOMPARE(TreeSnapshot::take(box.app.path()), before);
}

void tst_FileReplaceList::readOnlyTargetFolderUndoesTheWholeInstallation()
{
    InstallSandbox box;
    QVERIFY(box.isValid());
    QVERIFY(writeFile(box.app.path(), QStringLiteral("ro/file"), "installed"));
    QVERIFY(writeFile(box.app.path(), QStringLiteral("top"), "installed top"));
    QList<FileReplaceSpecification> specs = stageCopies(
        box, {QStringLiteral("top"), QStringLiteral("new/f"), QStringLiteral("ro/file")});
    QList<QString> oldFiles;
    WriteProtection readOnly(box.appFile(QStringLiteral("ro")));
    if (!readOnly.active)
        QSKIP("This file system cannot make a folder read-only for the superuser");
    const TreeSnapshot before = TreeSnapshot::take(box.app.path());

    FileReplaceListTaskSpecification list(&specs, &oldFiles, &box.config, nullptr, 1.0);
    QSignalSpy messages(&list, &TaskSpecification::message);
    list.execute();
    QTRY_VERIFY(list.state != TaskRunning);
    QCOMPARE(list.state, TaskState(TaskErrorCanceled));
    QVERIFY(spyTexts(messages).contains(QStringLiteral("Could not rename '%1' to '%2'")
                                            .arg(box.appFile(QStringLiteral("ro/file")),
                                                 box.appFile(QStringLiteral("ro/_old_file")))));
    QVERIFY(spyTexts(messages).contains(RollingBack));
    const TreeSnapshot after = TreeSnapshot::take(box.app.path());
    QVERIFY2(after == before, qPrintable(before.diff(after)));
}

void tst_FileReplaceList::cancelWhileReplacementsWaitUndoesEverything()
{
    InstallSandbox box;
    QVERIFY(box.isValid());
    const QStringList names = {"f1", "f2", "f3", "f4"};
    for (const QString& name : names)
        QVERIFY(writeFile(box.app.path(), name, "installed " + name.toUtf8()));
    const TreeSnapshot before = TreeSnapshot::take(box.app.path());
    QList<FileReplaceSpecification> specs = stageCopies(box, names);
    QList<QString> oldFiles;

    FileReplaceListTaskSpecification list(&specs, &oldFiles, &box.config, nullptr, 1.0);
    QSignalSpy messages(&list, &TaskSpecification::message);
    PoolGate gate;
    list.execute();
    QTRY_COMPARE(list.runningTasks.size(), 2);
    QTRY_COMPARE(slowStepState(list.runningTasks.at(0)), TaskState(TaskRunning));
    QTRY_COMPARE(slowStepState(list.runningTasks.at(1)), TaskState(TaskRunning));
    const QList<QPointer<TaskSpecification>> running = {list.runningTasks.at(0),
                                                        list.runningTasks.at(1)};
    list.userCanceled();
    gate.release();

    QTRY_VERIFY(list.state != TaskRunning);
    QCOMPARE(list.state, TaskState(TaskUserCanceled));
    // The copies were the last steps, so the running two completed and were released; the
    // others were never made.
    QTRY_VERIFY(running.at(0).isNull() && running.at(1).isNull());
    QCOMPARE(list.onDemandMade, 2);
    QVERIFY(list.subTasks.isEmpty());
    QCOMPARE(spyTexts(messages).count(RollingBack), 1);
    QCOMPARE(TreeSnapshot::take(box.app.path()), before);
}

void tst_FileReplaceList::resetAfterSuccessKeepsInstallation()
{
    InstallSandbox box;
    QVERIFY(box.isValid());
    QVERIFY(writeFile(box.app.path(), QStringLiteral("top"), "installed top"));
    QList<FileReplaceSpecification> specs =
        stageCopies(box, {QStringLiteral("top"), QStringLiteral("new/f")});
    QList<QString> oldFiles;
    FileReplaceListTaskSpecification list(&specs, &oldFiles, &box.config, nullptr, 1.0);
    list.execute();
    QTRY_COMPARE(list.state, TaskState(TaskFinished));
    FileDeleteListTaskSpecification deletions(&oldFiles, nullptr, 1.0);
    deletions.execute();
    QTRY_COMPARE(deletions.state, TaskState(TaskFinished));
    const TreeSnapshot installed = TreeSnapshot::take(box.app.path());

    QSignalSpy messages(&list, &TaskSpecification::message);
    list.reset();
    QCOMPARE(list.state, TaskState(TaskIdle));
    QVERIFY(list.subTasks.isEmpty());
    QVERIFY(list.ownJournal.entries.isEmpty());
    QVERIFY(messages.isEmpty());
    QCOMPARE(TreeSnapshot::take(box.app.path()), installed);
}

void tst_FileReplaceList::emptyDeletionListFinishesAtOnce()
{
    QList<QString> paths;
    FileDeleteListTaskSpecification list(&paths, nullptr, 0.05);
    QSignalSpy messages(&list, &TaskSpecification::message);
    list.execute();
    QCOMPARE(list.state, TaskState(TaskFinished));
    QCOMPARE(list.progress, 0.05);
    QCOMPARE(spyTexts(messages), QStringList(QStringLiteral("Starting deleting files")));
}

void tst_FileReplaceList::deletionListIgnoresFailures()
{
    InstallSandbox box;
    QVERIFY(box.isValid());
    QVERIFY(writeFile(box.app.path(), QStringLiteral("one"), "1"));
    QVERIFY(writeFile(box.app.path(), QStringLiteral("sub/two"), "2"));
    QVERIFY(writeFile(box.app.path(), QStringLiteral("keep"), "3"));
    QList<QString> paths = {
        box.app.relative(QStringLiteral("missing")), box.app.relative(QStringLiteral("sub")),
        box.app.relative(QStringLiteral("one")), box.app.relative(QStringLiteral("sub/two"))};
    FileDeleteListTaskSpecification list(&paths, nullptr, 1.0);
    QSignalSpy messages(&list, &TaskSpecification::message);
    list.execute();
    QCOMPARE(list.onDemandCount, 4);
    for (int i = 0; i < paths.size(); ++i)
        QCOMPARE(std::unique_ptr<TaskSpecification>(list.makeSubTask(i))->parentProgressRange,
                 0.25);
    QTRY_COMPARE(list.state, TaskState(TaskFinished));
    QCOMPARE(spyTexts(messages), QStringList(QStringLiteral("Starting deleting files")));
    QVERIFY(!QFileInfo::exists(box.appFile(QStringLiteral("one"))));
    QVERIFY(!QFileInfo::exists(box.appFile(QStringLiteral("sub/two"))));
    QVERIFY(QFileInfo(box.appFile(QStringLiteral("sub"))).isDir());
    QCOMPARE(readFile(box.appFile(QStringLiteral("keep"))), QByteArray("3"));
}

void tst_FileReplaceList::oldCopiesOfOrdinaryFilesAreDeleted()
{
    InstallSandbox box;
    QVERIFY(box.isValid());
    QVERIFY(writeFile(box.app.path(), QStringLiteral("data.pak"), "installed data"));
    QVERIFY(writeFile(box.app.path(), QStringLiteral("update"), "installed updater"));
    QList<FileReplaceSpecification> specs =
        stageCopies(box, {QStringLiteral("data.pak"), QStringLiteral("update")});
    QList<QString> oldFiles;
    FileReplaceListTaskSpecification list(&specs, &oldFiles, &box.config, nullptr, 1.0);
    list.execute();
    QTRY_COMPARE(list.state, TaskState(TaskFinished));
    QCOMPARE(oldFiles, QList<QString>{box.app.relative(QStringLiteral("_old_data.pak"))});

    FileDeleteListTaskSpecification deletions(&oldFiles, nullptr, 1.0);
    deletions.execute();
    QTRY_COMPARE(deletions.state, TaskState(TaskFinished));
    QVERIFY(!QFileInfo::exists(box.appFile(QStringLiteral("_old_data.pak"))));
    QCOMPARE(readFile(box.appFile(QStringLiteral("_old_update"))), QByteArray("installed updater"));
    QCOMPARE(readFile(box.appFile(QStringLiteral("update"))), QByteArray("new update"));
}

void tst_FileReplaceList::cancelSkipsRemainingDeletions()
{
    InstallSandbox box;
    QVERIFY(box.isValid());
    QList<QString> paths;
    for (const QString& name : {"one", "two", "three"}) {
        QVERIFY(writeFile(box.app.path(), name, "x"));
        paths << box.app.relative(name);
    }
    FileDeleteListTaskSpecification list(&paths, nullptr, 1.0);
    // The first deletion's end is the first progress the list reports.
    connect(&list, &TaskSpecification::updateProgress, &list, [&](double progress) {
        if (progress > 0.0)
            list.userCanceled();
    });
    list.execute();
    QTRY_VERIFY(list.state != TaskRunning);
    QCOMPARE(list.state, TaskState(TaskUserCanceled));
    QVERIFY(!QFileInfo::exists(box.appFile(QStringLiteral("one"))));
    QVERIFY(QFileInfo::exists(box.appFile(QStringLiteral("two"))));
    QVERIFY(QFileInfo::exists(box.appFile(QStringLiteral("three"))));
}

QTEST_MAIN(tst_FileReplaceList)
#include "tst_filereplacelist.moc"

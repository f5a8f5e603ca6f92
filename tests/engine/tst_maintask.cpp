#include "engine/maintaskspecification.h"
#include "support/filesizelimit.h"
#include "support/spytexts.h"
#include "support/treesnapshot.h"
#include "support/updatefixture.h"

#include <QSignalSpy>
#include <QTest>

#include <cerrno>
#include <cstring>

namespace {

const QString StartText = QStringLiteral("Starting update process");
const QString NoDownloadsText = QStringLiteral("No downloads needed");

// The main task of fixture's run, with every message and error collected in the run's log.
class MainRun
{
public:
    explicit MainRun(UpdateFixture& fixture)
        : task(&fixture.run.manager, &fixture.run.mirrors, &fixture.run.config, nullptr, 1.0)
        , progress(&task, &TaskSpecification::updateProgress)
        , ended(&task, &TaskSpecification::finished)
        , canceled(&task, &TaskSpecification::canceled)
        , messages(&task, &TaskSpecification::message)
    {
        fixture.run.watch(&task);
    }

    // Executes the task and waits until it has ended.
    bool runToEnd()
    {
        task.execute();
        return QTest::qWaitFor([this] { return ended.count() + canceled.count() > 0; }, 30000);
    }

    qreal lastProgress() const { return progress.last().at(0).toReal(); }

    MainTaskSpecification task;
    QSignalSpy progress;
    QSignalSpy ended;
    QSignalSpy canceled;
    QSignalSpy messages;
};

} // namespace

class tst_MainTask : public QObject
{
    Q_OBJECT

private slots:
    void constructionBuildsNoStep();
    void freshInstallPutsEveryFileInPlace();
    void namesThatNeedEscapingArriveAndInstall();
    void updateReplacesChangedFilesAndDeletesListedOnes();
    void currentInstallationNeedsNoDownload();
    void leftoversOfAKilledInstallationGoInOneRun();
    void failureInFirstStepRunsNoFurtherStep();
    void failedInstallationIsRolledBack();
    void failedWriteToTemporaryFolderEndsTheRun();
    void resetAllowsAFreshRun();
    void resetDuringInstallationUndoesIt();
};

void tst_MainTask::constructionBuildsNoStep()
{
    UpdateFixture fixture;
    MainTaskSpecification task(&fixture.run.manager, &fixture.run.mirrors, &fixture.run.config,
                               nullptr, 1.0);
    QVERIFY(task.subTasks.isEmpty());
    QCOMPARE(task.maxParallel, 1);
    QCOMPARE(task.parentProgressRange, 1.0);
    QCOMPARE(task.manager, &fixture.run.manager);
    QCOMPARE(task.mirrors, &fixture.run.mirrors);
    QCOMPARE(task.config, &fixture.run.config);
    QCOMPARE(task.state, TaskState(TaskIdle));
}

void tst_MainTask::freshInstallPutsEveryFileInPlace()
{
    UpdateFixture fixture;
    QVERIFY(fixture.isValid());
    fixture.offer(QStringLiteral("bin/client"), "client program");
    fixture.offerGzip(QStringLiteral("data/big.pak"), QByteArray(50000, 'p'));
    fixture.offer(QStringLiteral("readme.txt"), "read me");
    QVERIFY2(fixture.start(2), qPrintable(fixture.errorText()));

    MainRun run(fixture);
    QVERIFY(run.runToEnd());
    QCOMPARE(run.task.state, TaskState(TaskFinished));
    QCOMPARE(run.ended.count(), 1);
    QCOMPARE(run.canceled.count(), 0);

    QCOMPARE(readFile(fixture.appFile(QStringLiteral("bin/client"))), QByteArray("client program"));
    QCOMPARE(readFile(fixture.appFile(QStringLiteral("data/big.pak"))), QByteArray(50000, 'p'));
    QCOMPARE(readFile(fixture.appFile(QStringLiteral("readme.txt"))), QByteArray("read me"));
    QCOMPARE(run.task.files.downloads.size(), 3);
    QCOMPARE(run.task.files.replaces.size(), 3);

    // Five steps, one at a time, in their order and with their shares.
    QCOMPARE(run.task.subTasks.size(), 5);
    const QList<double> weights{0.1, 0.05, 0.4, 0.4, 0.05};
    for (int i = 0; i < 5; ++i) {
        QCOMPARE(run.task.subTasks.at(i)->parentProgressRange, weights.at(i));
        QCOMPARE(run.task.subTasks.at(i)->state, TaskState(TaskFinished));
    }
    const QStringList log = spyTexts(run.messages);
    QCOMPARE(log.first(), StartText);
    QStringList stepStarts{QStringLiteral("Download / check product ini"),
                           QStringLiteral("Compiling download and replace list"),
                           QStringLiteral("Starting file updates"),
                           QStringLiteral("Starting deleting files")};
    int last = 0;
    for (const QString& text : qAsConst(stepStarts)) {
        const int at = log.indexOf(text);
        QVERIFY2(at > last, qPrintable(text));
        last = at;
    }
    QCOMPARE(run.lastProgress(), 1.0);
    for (int i = 1; i < run.progress.count(); ++i)
        QVERIFY(run.progress.at(i).at(0).toReal() >= run.progress.at(i - 1).at(0).toReal() - 1e-9);
}

void tst_MainTask::namesThatNeedEscapingArriveAndInstall()
{
    UpdateFixture fixture;
    QVERIFY(fixture.isValid());
    fixture.tree.iniWrittenBySettings = true;
    const QStringList names{QStringLiteral("a#b.dat"),
                            QStringLiteral("q?x.dat"),
                            QStringLiteral("%41.dat"),
                            QStringLiteral("with space.dat"),
                            QStringLiteral("plus+and;semicolon.dat"),
                            QString::fromUtf8("Gr\xC3\xBC\xC3\x9F"
                                              "e/\xC3\xA4#1?.dat")};
    for (const QString& name : names)
        fixture.offer(name, name.toUtf8());
    QVERIFY2(fixture.start(1), qPrintable(fixture.errorText()));

    MainRun run(fixture);
    QVERIFY(run.runToEnd());
    QVERIFY2(run.task.state == TaskFinished, qPrintable(fixture.run.log.join(QLatin1Char('\n'))));
    QCOMPARE(fixture.run.mirrors.mirrorList.size(), 1);
    for (const QString& name : names)
        QCOMPARE(readFile(fixture.appFile(name)), name.toUtf8());
}

void tst_MainTask::updateReplacesChangedFilesAndDeletesListedOnes()
{
    UpdateFixture fixture;
    QVERIFY(fixture.isValid());
    QVERIFY(fixture.install(QStringLiteral("bin/client"), "old client"));
    QVERIFY(fixture.install(QStringLiteral("lib/current.so"), "current library"));
    QVERIFY(fixture.install(QStringLiteral("obsolete.dat"), "obsolete"));
    QVERIFY(fixture.install(QStringLiteral("user.cfg"), "kept"));
    fixture.offer(QStringLiteral("bin/client"), "new client");
    fixture.offer(QStringLiteral("lib/current.so"), "current library");
    fixture.offerDelete(QStringLiteral("obsolete.dat"));
    QVERIFY2(fixture.start(), qPrintable(fixture.errorText()));

    MainRun run(fixture);
    QVERIFY(run.runToEnd());
    QCOMPARE(run.task.state, TaskState(TaskFinished));

    TreeSnapshot expected;
    {
        QTemporaryDir model;
        QVERIFY(writeFile(model.path(), QStringLiteral("bin/client"), "new client"));
        QVERIFY(writeFile(model.path(), QStringLiteral("lib/current.so"), "current library"));
        QVERIFY(writeFile(model.path(), QStringLiteral("user.cfg"), "kept"));
        QVERIFY(QFile::setPermissions(
            model.path() + QStringLiteral("/bin/client"),
            QFile(fixture.appFile(QStringLiteral("bin/client"))).permissions()));
        QVERIFY(QFile::setPermissions(
            model.path() + QStringLiteral("/lib/current.so"),
            QFile(fixture.appFile(QStringLiteral("lib/current.so"))).permissions()));
        expected = TreeSnapshot::take(model.path());
    }
    // The moved-aside old client went with the deletion step, like the listed file.
    const TreeSnapshot after = TreeSnapshot::take(fixture.app.path());
    QVERIFY2(after == expected, qPrintable(expected.diff(after)));
    QCOMPARE(run.task.files.deletes,
             QList<QString>({fixture.key(QStringLiteral("obsolete.dat")),
                             fixture.key(QStringLiteral("bin/_old_client"))}));
    // The current file is neither downloaded nor installed.
    QCOMPARE(fixture.run.requestCount(fixture.requestPath(QStringLiteral("lib/current.so"))), 0);
    QCOMPARE(fixture.run.requestCount(fixture.requestPath(QStringLiteral("bin/client"))), 1);
    QCOMPARE(run.task.files.replaces.size(), 1);
}

void tst_MainTask::currentInstallationNeedsNoDownload()
{
    UpdateFixture fixture;
    QVERIFY(fixture.isValid());
    QVERIFY(fixture.install(QStringLiteral("a"), "same a"));
    QVERIFY(fixture.install(QStringLiteral("b/c"), "same c"));
    fixture.offer(QStringLiteral("a"), "same a");
    fixture.offer(QStringLiteral("b/c"), "same c");
    QVERIFY2(fixture.start(), qPrintable(fixture.errorText()));
    const TreeSnapshot before = TreeSnapshot::take(fixture.app.path());

    MainRun run(fixture);
    QVERIFY(run.runToEnd());
    QCOMPARE(run.task.state, TaskState(TaskFinished));
    QVERIFY(run.task.files.downloads.isEmpty());
    QVERIFY(run.task.files.replaces.isEmpty());
    QVERIFY(spyTexts(run.messages).contains(NoDownloadsText));
    for (TaskSpecification* step : qAsConst(run.task.subTasks))
        QCOMPARE(step->state, TaskState(TaskFinished));
    QCOMPARE(run.lastProgress(), 1.0);
    QCOMPARE(TreeSnapshot::take(fixture.app.path()), before);
}

void tst_MainTask::leftoversOfAKilledInstallationGoInOneRun()
{
    UpdateFixture fixture;
    QVERIFY(fixture.isValid());
    // The killed run had replaced "a" and moved "sub/b" aside; "c" still carries a copy of an
    // earlier killed run; the special file keeps its copy until the next start. Folders stand
    // at the old names of "e" and "g", at the name of "f" and at the temporary names of "e" and
    // "g".
    const QList<QPair<QString, QByteArray>> installed{
        {"a", "new a"},      {"_old_a", "old a"},       {"sub/_old_b", "old b"},
        {"c", "old c"},      {"_old_c", "older c"},     {"d.pak", QByteArray(900, 'd')},
        {"_old_d.pak", "d"}, {"update", "new updater"}, {"_old_update", "old updater"},
        {"e", "old e"},      {"_old_e/in/x", "x"},      {"f/in/y", "y"},
        {"g", "new g"},      {"_old_g/z", "z"},         {".new.e/w", "w"},
        {".new.g/v", "v"}};
    for (const auto& file : installed)
        QVERIFY(fixture.install(file.first, file.second));
    // Links in a removed folder go as links.
    QTemporaryDir outside;
    QVERIFY(writeFile(outside.path(), QStringLiteral("kept"), "outside"));
    QVERIFY(QFile::link(outside.path(), fixture.appFile(QStringLiteral("f/in/out"))));
    for (const char* name : {"a", "sub/b", "c", "e", "f", "g"})
        fixture.offer(QString::fromLatin1(name), "new " + QByteArray(name).right(1));
    fixture.offerGzip(QStringLiteral("d.pak"), QByteArray(900, 'd'));
    fixture.offer(QStringLiteral("update"), "new updater");
    QVERIFY2(fixture.start(), qPrintable(fixture.errorText()));

    MainRun run(fixture);
    QVERIFY(run.runToEnd());
    QCOMPARE(run.task.state, TaskState(TaskFinished));
    QCOMPARE(TreeSnapshot::take(fixture.app.path()).entries.keys().join(QLatin1Char(' ')),
             QStringLiteral("_old_update a c d.pak e f g sub sub/b update"));
    QCOMPARE(readFile(fixture.appFile(QStringLiteral("sub/b"))), QByteArray("new b"));
    QCOMPARE(readFile(fixture.appFile(QStringLiteral("c"))), QByteArray("new c"));
    QCOMPARE(readFile(outside.filePath(QStringLiteral("kept"))), QByteArray("outside"));
    // Each copy is deleted once: the one made by replacing "c" is listed by the replacement.
    const QList<QString>& deletes = run.task.files.deletes;
    QCOMPARE(QSet<QString>(deletes.begin(), deletes.end()).size(), deletes.size());
    QCOMPARE(deletes.size(), 9);

    // The next update of "f" finds nothing in its way.
    QVERIFY(fixture.install(QStringLiteral("f"), "changed f"));
    run.task.reset();
    run.ended.clear();
    QVERIFY(run.runToEnd());
    QCOMPARE(run.task.state, TaskState(TaskFinished));
    QCOMPARE(readFile(fixture.appFile(QStringLiteral("f"))), QByteArray("new f"));
}

void tst_MainTask::failureInFirstStepRunsNoFurtherStep()
{
    UpdateFixture fixture;
    QVERIFY(fixture.isValid());
    QVERIFY(fixture.install(QStringLiteral("a"), "old a"));
    fixture.offer(QStringLiteral("a"), "new a");
    fixture.offerDelete(QStringLiteral("a"));
    QVERIFY2(fixture.start(), qPrintable(fixture.errorText()));
    QVERIFY(
        QFile::remove(fixture.run.mirrorVersionDir(0) + QLatin1Char('/') + fixture.tree.iniName()));
    const TreeSnapshot before = TreeSnapshot::take(fixture.app.path());

    MainRun run(fixture);
    QVERIFY(run.runToEnd());
    QCOMPARE(run.task.state, TaskState(TaskErrorCanceled));
    QCOMPARE(run.canceled.count(), 1);
    QCOMPARE(run.task.subTasks.at(0)->state, TaskState(TaskErrorCanceled));
    for (int i = 1; i < 5; ++i)
        QCOMPARE(run.task.subTasks.at(i)->state, TaskState(TaskIdle));
    QVERIFY(run.task.files.downloads.isEmpty());
    QVERIFY(run.task.files.replaces.isEmpty());
    QVERIFY(run.task.files.deletes.isEmpty());
    QVERIFY(!spyTexts(run.messages).contains(QStringLiteral("Starting file updates")));
    QCOMPARE(TreeSnapshot::take(fixture.app.path()), before);
    QVERIFY(run.lastProgress() < 0.1);
}

void tst_MainTask::failedWriteToTemporaryFolderEndsTheRun()
{
    UpdateFixture fixture;
    QVERIFY(fixture.isValid());
    const QStringList names{QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")};
    for (const QString& name : names)
        fixture.offer(name, QByteArray(300000, name.at(0).toLatin1()));
    QVERIFY2(fixture.start(2), qPrintable(fixture.errorText()));
    const TreeSnapshot before = TreeSnapshot::take(fixture.app.path());

    MainRun run(fixture);
    {
        // Room for the product ini and its signature, not for any listed file.
        FileSizeLimit fileSizeLimit(100000);
        QVERIFY(fileSizeLimit.isActive());
        QVERIFY(run.runToEnd());
    }
    const QString log = fixture.run.log.join(QLatin1Char('\n'));
    QVERIFY2(run.task.state == TaskErrorCanceled, qPrintable(log));
    QVERIFY2(log.contains(QString::fromLocal8Bit(strerror(EFBIG))), qPrintable(log));
    bool named = false;
    for (const QString& name : names)
        named = named || log.contains(fixture.downloadFile(name));
    QVERIFY2(named, qPrintable(log));
    QVERIFY2(!log.contains(QStringLiteral("There are no (more) known working mirrors available")),
             qPrintable(log));
    QVERIFY2(!log.contains(QStringLiteral("Unknown error")), qPrintable(log));
    QCOMPARE(fixture.run.mirrors.mirrorList.size(), 2);
    for (const FTPSiteAccessData& mirror : qAsConst(fixture.run.mirrors.mirrorList))
        QCOMPARE(mirror.errorCount, 0);
    QCOMPARE(TreeSnapshot::take(fixture.app.path()), before);
}

void tst_MainTask::failedInstallationIsRolledBack()
{
    UpdateFixture fixture;
    QVERIFY(fixture.isValid());
    QVERIFY(fixture.install(QStringLiteral("a"), "old a"));
    QVERIFY(fixture.install(QStringLiteral("sub/b"), "old b"));
    QVERIFY(fixture.install(QStringLiteral("gone"), "listed for deletion"));
    fixture.offer(QStringLiteral("a"), "new a");
    fixture.offer(QStringLiteral("sub/b"), "new b");
    fixture.offer(QStringLiteral("new/c"), "new c");
    fixture.offerGzip(QStringLiteral("packed"), "packed content");
    fixture.offerDelete(QStringLiteral("gone"));
    QVERIFY2(fixture.start(), qPrintable(fixture.errorText()));
    // A signed product ini whose unpacked sum is wrong: the download passes its check, the
    // installation of the unpacked file does not.
    QByteArray ini = fixture.tree.iniText();
    const QByteArray rightSum = MirrorTree::md5Hex("packed content").toLatin1();
    QVERIFY(ini.contains(rightSum));
    ini.replace(rightSum, MirrorTree::md5Hex("other content").toLatin1());
    QVERIFY2(fixture.replaceProductIni(ini), qPrintable(fixture.errorText()));
    const TreeSnapshot before = TreeSnapshot::take(fixture.app.path());

    MainRun run(fixture);
    QVERIFY(run.runToEnd());
    QCOMPARE(run.task.state, TaskState(TaskErrorCanceled));
    QCOMPARE(run.task.subTasks.at(2)->state, TaskState(TaskFinished));
    QCOMPARE(run.task.subTasks.at(3)->state, TaskState(TaskErrorCanceled));
    QCOMPARE(run.task.subTasks.at(4)->state, TaskState(TaskIdle));
    QVERIFY(spyTexts(run.messages).contains(QStringLiteral("rolling back file updates")));
    const TreeSnapshot after = TreeSnapshot::take(fixture.app.path());
    QVERIFY2(after == before, qPrintable(before.diff(after)));
    // The downloads stay for a later run.
    QCOMPARE(readFile(fixture.downloadFile(QStringLiteral("new/c"))), QByteArray("new c"));
}

void tst_MainTask::resetAllowsAFreshRun()
{
    UpdateFixture fixture;
    QVERIFY(fixture.isValid());
    fixture.offer(QStringLiteral("a"), "new a");
    QVERIFY2(fixture.start(), qPrintable(fixture.errorText()));

    MainRun run(fixture);
    QVERIFY(run.runToEnd());
    QCOMPARE(run.task.state, TaskState(TaskFinished));
    const QList<TaskSpecification*> firstSteps = run.task.subTasks;
    run.task.reset();
    QCOMPARE(run.task.state, TaskState(TaskIdle));
    QVERIFY(run.task.subTasks.isEmpty());
    QVERIFY(run.task.files.downloads.isEmpty());
    QVERIFY(run.task.files.replaces.isEmpty());
    QCOMPARE(run.lastProgress(), 0.0);

    // The installed file is current now: the second run compiles empty lists.
    run.ended.clear();
    QVERIFY(run.runToEnd());
    QCOMPARE(run.task.state, TaskState(TaskFinished));
    QCOMPARE(run.task.subTasks.size(), 5);
    for (TaskSpecification* step : firstSteps)
        QVERIFY(!run.task.subTasks.contains(step));
    QVERIFY(run.task.files.replaces.isEmpty());
    QCOMPARE(spyTexts(run.messages).count(StartText), 2);
}

void tst_MainTask::resetDuringInstallationUndoesIt()
{
    UpdateFixture fixture;
    QVERIFY(fixture.isValid());
    QVERIFY(fixture.offerThreeReplacements());
    QVERIFY2(fixture.start(), qPrintable(fixture.errorText()));
    const TreeSnapshot before = TreeSnapshot::take(fixture.app.path());
    MainRun run(fixture);
    fixture.holdPoolAtInstallation(&run.task);
    run.task.execute();
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(fixture.appFile(QStringLiteral("_old_a"))), 20000);
    QVERIFY(fixture.installGate);

    fixture.installGate->release();
    run.task.reset();
    QCOMPARE(run.task.state, TaskState(TaskIdle));
    QVERIFY(run.task.subTasks.isEmpty());
    const TreeSnapshot after = TreeSnapshot::take(fixture.app.path());
    QVERIFY2(after == before, qPrintable(before.diff(after)));
    // The cancel it took is not reported.
    QTest::qWait(50);
    QCOMPARE(run.ended.count() + run.canceled.count(), 0);
}

QTEST_GUILESS_MAIN(tst_MainTask)
#include "tst_maintask.moc"

#include "crypto/checksignaturetaskspecification.h"
#include "crypto/tomcryptutil.h"
#include "net/downloadfilelisttaskspecification.h"
#include "net/downloadfiletaskspecification.h"
#include "net/downloadtaskspecification.h"
#include "support/cancelduringcheck.h"
#include "support/downloadrun.h"
#include "support/faulthttpserver.h"
#include "support/mirrortree.h"
#include "support/timetick.h"
#include "support/treesnapshot.h"

#include <QDir>
#include <QNetworkProxy>
#include <QSignalSpy>
#include <QtTest>

namespace {

const char noMirrorsText[] = "There are no (more) known working mirrors available";

QByteArray content(int index, int size)
{
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char((i * 7 + index * 13) & 0xff);
    return data;
}

// Ten files in two sections, some in sub-folders, one of them gzip-compressed.
MirrorTree tenFiles()
{
    MirrorTree tree;
    for (int i = 0; i < 9; ++i) {
        const QString section = i % 2 ? QStringLiteral("main") : QStringLiteral("data");
        const QString folder = i % 3 ? QStringLiteral("sub%1/").arg(i % 3) : QString();
        tree.addFile(section, folder + QStringLiteral("file%1.bin").arg(i),
                     content(i, 1000 + 4321 * i));
    }
    tree.addGzipFile(QStringLiteral("main"), QStringLiteral("lib/libx.so.gz"), content(99, 50000),
                     QStringLiteral("lib/libx.so"));
    return tree;
}

// count files "main/big<i>.bin" of size bytes each.
MirrorTree bigFiles(int count, int size)
{
    MirrorTree tree;
    for (int i = 0; i < count; ++i)
        tree.addFile(QStringLiteral("main"), QStringLiteral("big%1.bin").arg(i), content(i, size));
    return tree;
}

// The list task over files, with run's shared pieces.
DownloadFileListTaskSpecification
listTask(DownloadRun& run, QList<FileDownloadSpecification>* files, double weight = 1.0)
{
    return DownloadFileListTaskSpecification(files, &run.manager, &run.mirrors, &run.config,
                                             nullptr, weight);
}

// The download under a file task of a list, once the file task has begun one.
const DownloadTaskSpecification* downloadOf(TaskSpecification* fileTask)
{
    return static_cast<DownloadFileTaskSpecification*>(fileTask)->downloadTask;
}

} // namespace

class tst_DownloadFile : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void fileArrivesAndPassesItsCheck();
    void wrongBytesRemoveTheMirrorAndTheFileComesFromAnother();
    void neverMatchingFileExhaustsTheMirrors();
    void cancelDuringTheCheckOutlivesItsResult_data();
    void cancelDuringTheCheckOutlivesItsResult();
    void resetReleasesTheAttemptAndAllowsANewRun();

    void emptyListFinishesAtOnceWithoutFolders();
    void listDownloadsSixAtATimeOfTen_data();
    void listDownloadsSixAtATimeOfTen();
    void totalIsTheWholeListFromTheFirstTick();
    void subFoldersAreMadeOnceForTheirFiles();
    void folderThatCannotBeMadeFailsBeforeAnyDownload();
    void pathLeavingTheTempFolderFailsBeforeAnyDownload_data();
    void pathLeavingTheTempFolderFailsBeforeAnyDownload();
    void failedFileStopsTheList();
    void userCancelStopsTheListAndRemovesPartialFiles();
};

void tst_DownloadFile::initTestCase()
{
    crypt_init();
}

void tst_DownloadFile::fileArrivesAndPassesItsCheck()
{
    DownloadRun run;
    MirrorTree tree;
    const QByteArray data = content(1, 100000);
    tree.addFile(QStringLiteral("main"), QStringLiteral("bin/tool"), data);
    QVERIFY2(run.start(tree, 1), qPrintable(run.errorText));
    QVERIFY(QDir(run.config.tempDir).mkpath(QStringLiteral("bin")));

    DownloadFileTaskSpecification task(tree.downloads().first(), &run.manager, &run.mirrors,
                                       &run.config, nullptr, 0.5);
    run.watch(&task);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();

    QCOMPARE(task.subTasks.size(), 2);
    QCOMPARE(task.subTasks.at(0), static_cast<TaskSpecification*>(task.downloadTask));
    QCOMPARE(task.subTasks.at(0)->parentProgressRange, 0.8);
    QVERIFY(qobject_cast<CheckSignatureTaskSpecification*>(task.subTasks.at(1)));
    QCOMPARE(task.subTasks.at(1)->parentProgressRange, 0.2);
    QCOMPARE(task.downloadTask->remotePath, QStringLiteral("main/bin/tool"));
    QCOMPARE(task.downloadTask->expectedSize, qint64(data.size()));

    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(task.state, TaskFinished);
    QCOMPARE(task.progress, 0.5);
    QCOMPARE(readFile(run.config.tempDir + QStringLiteral("/bin/tool")), data);
    QCOMPARE(run.requestCount(QStringLiteral("/1/main/bin/tool")), 1);
    QCOMPARE(run.log, QStringList({QStringLiteral("Downloading main/bin/tool"),
                                   QStringLiteral("Downloading main/bin/tool finished")}));
    QCOMPARE(run.mirrors.mirrorList.size(), 1);
}

void tst_DownloadFile::wrongBytesRemoveTheMirrorAndTheFileComesFromAnother()
{
    DownloadRun run;
    MirrorTree tree;
    const QByteArray data = content(2, 30000);
    tree.addFile(QStringLiteral("main"), QStringLiteral("data.pak"), data);
    QVERIFY2(run.start(tree, 2), qPrintable(run.errorText));
    QByteArray wrong = data;
    wrong[100] = char(wrong[100] ^ 1);
    QVERIFY(writeFile(run.mirrorVersionDir(0), QStringLiteral("main/data.pak"), wrong));

    // Mirror 1 is busy at first, so the first attempt must use the corrupt mirror 0.
    const QString corrupt = NginxServer::mirrorName(0);
    const QString good = NginxServer::mirrorName(1);
    FTPSiteAccessData& busy = run.mirrors.mirrorList[run.mirrors.getMirrorIndex(good)];
    busy.inUse = busy.maxConnections;

    DownloadFileTaskSpecification task(tree.downloads().first(), &run.manager, &run.mirrors,
                                       &run.config, nullptr, 1.0);
    run.watch(&task);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    connect(&task, &TaskSpecification::message, this, [&](const QString& text) {
        if (text.startsWith(QLatin1String("md5 sum for")))
            busy.inUse = 0;
    });
    task.execute();

    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(canceled.count(), 0);
    QCOMPARE(readFile(run.config.tempDir + QStringLiteral("/data.pak")), data);
    QCOMPARE(run.mirrors.getMirrorIndex(corrupt), -1);
    QCOMPARE(run.mirrors.mirrorList.size(), 1);
    QCOMPARE(task.downloadTask->mirror.name, good);
    QCOMPARE(run.logCount(QStringLiteral("md5 sum for data.pak failed, invalidating mirror and "
                                         "retrying")),
             1);
    QCOMPARE(run.logCount(QStringLiteral("Signature check failed for %1")
                              .arg(run.config.tempDir + QStringLiteral("/data.pak"))),
             1);
    QCOMPARE(run.logCount(QStringLiteral("Downloading main/data.pak")), 2);
    QCOMPARE(run.requestCount(QStringLiteral("/1/main/data.pak")), 2);
    // The attempts were two pairs of sub-tasks; only the second pair is left.
    QCOMPARE(task.subTasks.size(), 2);
}

void tst_DownloadFile::neverMatchingFileExhaustsTheMirrors()
{
    DownloadRun run;
    MirrorTree tree;
    tree.addFile(QStringLiteral("main"), QStringLiteral("never.bin"), content(3, 5000));
    tree.setListedMd5(QStringLiteral("main"), QStringLiteral("never.bin"),
                      MirrorTree::md5Hex("something else"));
    QVERIFY2(run.start(tree, 3), qPrintable(run.errorText));

    DownloadFileTaskSpecification task(tree.downloads().first(), &run.manager, &run.mirrors,
                                       &run.config, nullptr, 1.0);
    run.watch(&task);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();

    QTRY_COMPARE(canceled.count(), 1);
    QCOMPARE(task.state, TaskErrorCanceled);
    QCOMPARE(finished.count(), 0);
    QVERIFY(run.mirrors.mirrorList.isEmpty());
    QCOMPARE(run.logCount(
                 QStringLiteral("md5 sum for never.bin failed, invalidating mirror and retrying")),
             3);
    QCOMPARE(run.requestCount(QStringLiteral("/1/main/never.bin")), 3);
    QCOMPARE(run.logCount(QLatin1String(noMirrorsText)), 1);
    QVERIFY(run.log.last() == QLatin1String(noMirrorsText));
    QTest::qWait(50);
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(task.state, TaskErrorCanceled);
}

void tst_DownloadFile::cancelDuringTheCheckOutlivesItsResult_data()
{
    QTest::addColumn<bool>("matches");
    QTest::addColumn<TaskState>("endState");

    QTest::newRow("sum differs") << false << TaskState(TaskUserCanceled);
    QTest::newRow("sum matches") << true << TaskState(TaskFinished);
}

void tst_DownloadFile::cancelDuringTheCheckOutlivesItsResult()
{
    QFETCH(bool, matches);
    QFETCH(TaskState, endState);

    DownloadRun run;
    MirrorTree tree;
    tree.addFile(QStringLiteral("main"), QStringLiteral("checked.bin"), content(5, 20000));
    if (!matches) {
        tree.setListedMd5(QStringLiteral("main"), QStringLiteral("checked.bin"),
                          MirrorTree::md5Hex("something else"));
    }
    QVERIFY2(run.start(tree, 2), qPrintable(run.errorText));

    DownloadFileTaskSpecification task(tree.downloads().first(), &run.manager, &run.mirrors,
                                       &run.config, nullptr, 1.0);
    run.watch(&task);
    const CheckCancel seen = cancelDuringCheck(task);
    QVERIFY2(seen.failure.isEmpty(), qPrintable(seen.failure));
    QCOMPARE(seen.pass, matches);
    QCOMPARE(task.state, endState);
    QVERIFY(task.cancelRequested);
    QCOMPARE(run.requestCount(QStringLiteral("/1/main/checked.bin")), 1);
    QCOMPARE(run.logCount(QStringLiteral("Downloading main/checked.bin")), 1);
    QCOMPARE(run.mirrors.mirrorList.size(), 2);
}

void tst_DownloadFile::resetReleasesTheAttemptAndAllowsANewRun()
{
    DownloadRun run;
    MirrorTree tree;
    const QByteArray data = content(4, 7000);
    tree.addFile(QStringLiteral("main"), QStringLiteral("again.bin"), data);
    QVERIFY2(run.start(tree, 1), qPrintable(run.errorText));

    DownloadFileTaskSpecification task(tree.downloads().first(), &run.manager, &run.mirrors,
                                       &run.config, nullptr, 1.0);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    QTRY_COMPARE(finished.count(), 1);

    QPointer<TaskSpecification> oldDownload = task.downloadTask;
    task.reset();
    QCOMPARE(task.state, TaskIdle);
    QCOMPARE(task.progress, 0.0);
    QVERIFY(task.subTasks.isEmpty());
    QVERIFY(!task.downloadTask);
    QTRY_VERIFY(oldDownload.isNull());

    QVERIFY(QFile::remove(run.config.tempDir + QStringLiteral("/again.bin")));
    task.execute();
    QTRY_COMPARE(finished.count(), 2);
    QCOMPARE(task.state, TaskFinished);
    QCOMPARE(readFile(run.config.tempDir + QStringLiteral("/again.bin")), data);
}

void tst_DownloadFile::emptyListFinishesAtOnceWithoutFolders()
{
    DownloadRun run;
    QList<FileDownloadSpecification> files;
    auto task = listTask(run, &files, 0.4);
    run.watch(&task);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    const TreeSnapshot before = TreeSnapshot::take(run.config.tempDir);
    task.execute();

    QCOMPARE(finished.count(), 1);
    QCOMPARE(task.state, TaskFinished);
    QCOMPARE(task.progress, 0.4);
    QCOMPARE(run.log, QStringList{QStringLiteral("No downloads needed")});
    QCOMPARE(TreeSnapshot::take(run.config.tempDir), before);
}

void tst_DownloadFile::listDownloadsSixAtATimeOfTen_data()
{
    QTest::addColumn<int>("mirrors"); // three slots each
    QTest::addColumn<bool>("proxy");  // the only way to the mirror
    QTest::newRow("a slot for each") << 2 << false;
    QTest::newRow("some wait for a slot") << 1 << false;
    QTest::newRow("through the proxy") << 1 << true;
}

void tst_DownloadFile::listDownloadsSixAtATimeOfTen()
{
    QFETCH(int, mirrors);
    QFETCH(bool, proxy);
    DownloadRun run;
    const MirrorTree tree = tenFiles();
    QVERIFY2(run.start(tree, mirrors), qPrintable(run.errorText));
    QList<FileDownloadSpecification> files = tree.downloads();
    QCOMPARE(files.size(), 10);
    QCOMPARE(run.config.downloadConcurrency, 6);
    FaultHttpServer proxyServer;
    if (proxy) {
        QVERIFY(proxyServer.listen());
        for (const FileDownloadSpecification& spec : qAsConst(files)) {
            const QString path = QStringLiteral("/1/") + spec.section + '/' + spec.file;
            proxyServer.setResponse(run.nginx.url(0) + path,
                                    FaultResponse::good(readFile(run.mirrorRoot(0) + path)));
        }
        run.nginx.stop();
        run.manager.setProxy(QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"),
                                           proxyServer.port()));
    }

    auto task = listTask(run, &files);
    run.watch(&task);
    // Running and not yet started file tasks whenever a download begins, and the shares of
    // the file tasks that exist then.
    QList<QPair<int, int>> atStart;
    QList<double> shares;
    // Downloads under way that shared a manager with another one.
    int sharing = 0;
    connect(&task, &TaskSpecification::message, this, [&](const QString& text) {
        if (text.startsWith(QLatin1String("Downloading main/")) ||
            text.startsWith(QLatin1String("Downloading data/"))) {
            QList<QNetworkAccessManager*> carriers;
            for (TaskSpecification* sub : qAsConst(task.runningTasks)) {
                const DownloadTaskSpecification* download = downloadOf(sub);
                if (download && download->reply)
                    carriers << download->reply->manager();
            }
            sharing += carriers.size() -
                       QSet<QNetworkAccessManager*>(carriers.begin(), carriers.end()).size();
            if (!text.endsWith(QLatin1String(" finished")))
                atStart << qMakePair(task.runningTasks.size(),
                                     task.onDemandCount - task.onDemandMade);
            for (const TaskSpecification* sub : qAsConst(task.subTasks))
                shares << sub->parentProgressRange;
        }
    });
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();

    QCOMPARE(task.onDemandCount, 10);
    QCOMPARE(task.maxParallel, 6);
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(proxyServer.requestedPaths().size(), proxy ? 10 : 0);
    QCOMPARE(sharing, 0);
    // No more managers than downloads can run at once: three slots per mirror.
    QVERIFY(run.manager.findChildren<QNetworkAccessManager*>().size() <= 3 * mirrors);
    QVERIFY(!shares.isEmpty());
    for (double share : qAsConst(shares))
        QCOMPARE(share, 0.1);
    // Each finished file task is released; only their figures stay.
    QVERIFY(task.subTasks.isEmpty());

    QCOMPARE(task.state, TaskFinished);
    QCOMPARE(atStart.size(), 10);
    // Six file tasks start at once; after that each start replaces one that finished.
    for (int i = 0; i < 6; ++i)
        QCOMPARE(atStart.at(i), qMakePair(6, 4));
    for (int i = 6; i < 10; ++i) {
        QVERIFY(atStart.at(i).first <= 6);
        QVERIFY(atStart.at(i).second <= atStart.at(i - 1).second);
        QVERIFY(atStart.at(i).second < 4);
    }
    QCOMPARE(run.log.first(), QStringLiteral("Downloading files"));
    const QString versionDir = run.mirrorVersionDir(0);
    for (const FileDownloadSpecification& spec : qAsConst(files)) {
        QCOMPARE(
            readFile(run.config.tempDir + QLatin1Char('/') + spec.file),
            readFile(versionDir + QLatin1Char('/') + spec.section + QLatin1Char('/') + spec.file));
    }
}

void tst_DownloadFile::totalIsTheWholeListFromTheFirstTick()
{
    DownloadRun run;
    const MirrorTree tree = bigFiles(3, 300000);
    // A slow mirror (nginx sends the first second's worth at once), so that ticks find the
    // downloads under way, one at a time.
    QVERIFY2(run.start(tree, 1, 2, QStringLiteral("limit_rate 200k;")), qPrintable(run.errorText));
    run.config.downloadConcurrency = 1;

    QList<FileDownloadSpecification> files = tree.downloads();
    quint64 sum = 0;
    for (const FileDownloadSpecification& spec : qAsConst(files))
        sum += spec.size;
    auto task = listTask(run, &files);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    QCOMPARE(task.totalBytes, sum);

    const Tick first = tick(&task);
    QCOMPARE(first.total, sum);
    QCOMPARE(first.done, quint64(0));

    const auto receiving = [&task] {
        for (TaskSpecification* sub : qAsConst(task.runningTasks)) {
            const DownloadTaskSpecification* download = downloadOf(sub);
            if (download->reply && download->bytesReceived > 0)
                return true;
        }
        return false;
    };
    QTRY_VERIFY(receiving());
    const Tick midway = tick(&task);
    QCOMPARE(midway.total, sum);
    QVERIFY(midway.downloading);
    QVERIFY(midway.done > 0 && midway.done < sum);
    QVERIFY(midway.speed > 0);

    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 10000);
    const Tick last = tick(&task);
    QCOMPARE(last.total, sum);
    QCOMPARE(last.done, sum);

    task.reset();
    QCOMPARE(task.totalBytes, quint64(0));
    QCOMPARE(task.state, TaskIdle);
    QVERIFY(task.subTasks.isEmpty());
}

void tst_DownloadFile::subFoldersAreMadeOnceForTheirFiles()
{
    DownloadRun run;
    QList<FileDownloadSpecification> files;
    for (const char* name : {"top.txt", "a/one.txt", "a/two.txt", "a/b/c/deep.txt", "x/y.txt"}) {
        FileDownloadSpecification spec;
        spec.file = QLatin1String(name);
        files << spec;
    }
    auto task = listTask(run, &files);
    QVERIFY(task.makeSubDirs());

    QStringList made = TreeSnapshot::take(run.config.tempDir).entries.keys();
    made.sort();
    QCOMPARE(made, QStringList({QStringLiteral("a"), QStringLiteral("a/b"), QStringLiteral("a/b/c"),
                                QStringLiteral("x")}));
    // A second pass finds everything in place and changes nothing.
    QVERIFY(task.makeSubDirs());
    QCOMPARE(task.state, TaskIdle);
}

void tst_DownloadFile::folderThatCannotBeMadeFailsBeforeAnyDownload()
{
    DownloadRun run;
    MirrorTree tree;
    tree.addFile(QStringLiteral("main"), QStringLiteral("fine.txt"), "fine");
    tree.addFile(QStringLiteral("main"), QStringLiteral("blocked/inner.txt"), "inner");
    QVERIFY2(run.start(tree, 1), qPrintable(run.errorText));
    // A plain file where the folder has to go.
    QVERIFY(writeFile(run.config.tempDir, QStringLiteral("blocked"), "in the way"));

    QList<FileDownloadSpecification> files = tree.downloads();
    auto task = listTask(run, &files);
    run.watch(&task);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();

    QCOMPARE(canceled.count(), 1);
    QCOMPARE(task.state, TaskErrorCanceled);
    QVERIFY(task.subTasks.isEmpty());
    QCOMPARE(run.log, QStringList{QStringLiteral("Could not create dir %1/blocked")
                                      .arg(QDir(run.config.tempDir).canonicalPath())});
    QTest::qWait(100);
    QVERIFY(run.nginx.accessLog().isEmpty());
}

void tst_DownloadFile::pathLeavingTheTempFolderFailsBeforeAnyDownload_data()
{
    QTest::addColumn<QString>("file");

    // The product ini compilation refuses the same paths.
    QTest::newRow("climbing out") << "sub/../../escaped.txt";
    QTest::newRow("through a parent, staying inside") << "sub/../inner.txt";
    QTest::newRow("the folder itself") << "sub/..";
    QTest::newRow("NUL inside a name") << QStringLiteral("sub/cut") + QChar(QChar::Null) + "off";
    QTest::newRow("absolute") << "/tmp/escaped.txt";
}

void tst_DownloadFile::pathLeavingTheTempFolderFailsBeforeAnyDownload()
{
    QFETCH(QString, file);
    DownloadRun run;
    QList<FileDownloadSpecification> files;
    FileDownloadSpecification first;
    first.section = QStringLiteral("main");
    first.file = QStringLiteral("sub/fine.txt");
    FileDownloadSpecification hostile = first;
    hostile.file = file;
    files << first << hostile;
    auto task = listTask(run, &files);
    run.watch(&task);
    const TreeSnapshot before = TreeSnapshot::take(run.dir.path());
    task.execute();

    QCOMPARE(task.state, TaskErrorCanceled);
    QCOMPARE(run.log,
             QStringList{QStringLiteral("Invalid file name %1 in download list").arg(file)});
    QCOMPARE(TreeSnapshot::take(run.dir.path()), before);
}

void tst_DownloadFile::failedFileStopsTheList()
{
    DownloadRun run;
    MirrorTree tree;
    tree.addFile(QStringLiteral("main"), QStringLiteral("missing.bin"), "gone");
    tree.addFile(QStringLiteral("main"), QStringLiteral("later.bin"), "later");
    QVERIFY2(run.start(tree, 2), qPrintable(run.errorText));
    for (int i = 0; i < 2; ++i)
        QVERIFY(QFile::remove(run.mirrorVersionDir(i) + QStringLiteral("/main/missing.bin")));
    run.config.downloadConcurrency = 1;

    QList<FileDownloadSpecification> files = tree.downloads();
    auto task = listTask(run, &files);
    run.watch(&task);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();

    QTRY_COMPARE(canceled.count(), 1);
    QCOMPARE(task.state, TaskErrorCanceled);
    QCOMPARE(finished.count(), 0);
    QVERIFY(run.mirrors.mirrorList.isEmpty());
    QCOMPARE(run.logCount(QLatin1String(noMirrorsText)), 1);
    // The file after the failed one was never made.
    QCOMPARE(task.onDemandMade, 1);
    QCOMPARE(run.requestCount(QStringLiteral("/1/main/later.bin")), 0);
    QVERIFY(!QFile::exists(run.config.tempDir + QStringLiteral("/missing.bin")));
}

void tst_DownloadFile::userCancelStopsTheListAndRemovesPartialFiles()
{
    DownloadRun run;
    const MirrorTree tree = bigFiles(4, 400000);
    QVERIFY2(run.start(tree, 1, 2, QStringLiteral("limit_rate 100k;")), qPrintable(run.errorText));
    run.config.downloadConcurrency = 2;

    QList<FileDownloadSpecification> files = tree.downloads();
    auto task = listTask(run, &files);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    const auto bothReceiving = [&task] {
        if (task.subTasks.size() < 2)
            return false;
        for (int i = 0; i < 2; ++i) {
            const DownloadTaskSpecification* download = downloadOf(task.subTasks.at(i));
            if (!download || !download->reply || download->bytesReceived == 0)
                return false;
        }
        return true;
    };
    QTRY_VERIFY(bothReceiving());
    task.userCanceled();

    QTRY_COMPARE(canceled.count(), 1);
    QCOMPARE(finished.count(), 0);
    // The first file takes the user's cancel; its end aborts the second as a sibling before
    // the request reaches it. Both ended because of the user, and so does the list.
    QCOMPARE(task.subTasks.at(0)->state, TaskUserCanceled);
    QCOMPARE(task.subTasks.at(1)->state, TaskUserCanceled);
    QCOMPARE(task.state, TaskUserCanceled);
    QVERIFY(task.cancelRequested);
    QCOMPARE(task.onDemandMade, 2);
    QTest::qWait(100);
    QCOMPARE(canceled.count(), 1);
    // Partial files are gone; the slots are back.
    QCOMPARE(QDir(run.config.tempDir).entryList(QDir::Files), QStringList());
    QCOMPARE(run.mirrors.mirrorList.first().inUse, 0);
    QCOMPARE(run.requestCount(QStringLiteral("/1/main/big2.bin")), 0);
}

QTEST_GUILESS_MAIN(tst_DownloadFile)
#include "tst_downloadfile.moc"

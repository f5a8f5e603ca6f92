#include "crypto/checksignaturetaskspecification.h"
#include "crypto/tomcryptutil.h"
#include "net/downloadtaskspecification.h"
#include "net/inidownloadtaskspecification.h"
#include "support/cancelduringcheck.h"
#include "support/downloadrun.h"
#include "support/mirrortree.h"
#include "support/treesnapshot.h"

#include "crypto/checksigfunc.h"

#include <QFile>
#include <QSettings>
#include <QSignalSpy>
#include <QtTest>

namespace {

const char iniPath[] = "/1/client_linux_x86.ini";
const char sigPath[] = "/1/client_linux_x86.ini.sig";
const char retryingText[] = "Could not verify the product ini file. Retrying";
const char abortingText[] = "Could not verify the product ini file. Aborting";

MirrorTree smallTree()
{
    MirrorTree tree;
    tree.addFile(QStringLiteral("main"), QStringLiteral("client.bin"), "client");
    tree.addGzipFile(QStringLiteral("main"), QStringLiteral("lib/libq.so.gz"), "library",
                     QStringLiteral("lib/libq.so"));
    tree.addDelete(QStringLiteral("old/obsolete.txt"));
    return tree;
}

} // namespace

class tst_IniDownload : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void mirrorTreeListsSignedTwoAndFiveFieldEntries();
    void firstAttemptReusesLocalCopies_data();
    void firstAttemptReusesLocalCopies();
    void badLocalCopyFetchesBothAgain();
    void everyRetryDownloadsBothFiles();
    void oversizedFileStopsAndFailsTheCheck_data();
    void oversizedFileStopsAndFailsTheCheck();
    void cancelDuringTheCheckOutlivesItsResult_data();
    void cancelDuringTheCheckOutlivesItsResult();
    void givesUpAfterAThousandRetries();
    void failedDownloadFailsTheTask();
    void resetForgetsAttemptsAndAllowsANewRun();

private:
    QString localIni(const DownloadRun& run) const
    {
        return run.config.tempDir + QStringLiteral("/client_linux_x86.ini");
    }
    QString remoteIni(const DownloadRun& run, int mirror) const
    {
        return run.mirrorVersionDir(mirror) + QStringLiteral("/client_linux_x86.ini");
    }
};

void tst_IniDownload::initTestCase()
{
    crypt_init();
}

void tst_IniDownload::mirrorTreeListsSignedTwoAndFiveFieldEntries()
{
    QTemporaryDir dir;
    const QString source = dir.path() + QStringLiteral("/source");
    QVERIFY(writeFile(source, QStringLiteral("main/client.bin"), "client"));
    QVERIFY(writeFile(source, QStringLiteral("main/lib/libq.so.gz"), MirrorTree::gzip("library")));
    QVERIFY(writeFile(source, QStringLiteral("data/pack.dat"), QByteArray(3000, 'p')));
    MirrorTree tree(7);
    QVERIFY(tree.addFolder(source));
    tree.addDelete(QStringLiteral("old/obsolete.txt"));
    const QString root = dir.path() + QStringLiteral("/mirror");
    QString error;
    QVERIFY2(tree.build(root, &error), qPrintable(error));

    const QString ini = root + QStringLiteral("/7/client_linux_x86.ini");
    QSettings settings(ini, QSettings::IniFormat);
    QCOMPARE(settings.childGroups(), QStringList({QStringLiteral("data"), QStringLiteral("delete"),
                                                  QStringLiteral("main")}));
    QCOMPARE(settings.value(QStringLiteral("main/client.bin")).toString(),
             MirrorTree::md5Hex("client") + QStringLiteral("::6"));
    const QByteArray packed = readFile(source + QStringLiteral("/main/lib/libq.so.gz"));
    QCOMPARE(settings.value(QStringLiteral("main/lib/libq.so.gz")).toString(),
             QStringLiteral("%1::%2::%3::7::lib/libq.so")
                 .arg(MirrorTree::md5Hex(packed))
                 .arg(packed.size())
                 .arg(MirrorTree::md5Hex("library")));
    QCOMPARE(settings.value(QStringLiteral("data/pack.dat")).toString().section("::", 1),
             QStringLiteral("3000"));
    settings.beginGroup(QStringLiteral("delete"));
    QCOMPARE(settings.allKeys(), QStringList{QStringLiteral("old/obsolete.txt")});
    settings.endGroup();

    QCOMPARE(readFile(root + QStringLiteral("/7/main/lib/libq.so.gz")), packed);
    QCOMPARE(readFile(root + QStringLiteral("/7/data/pack.dat")), QByteArray(3000, 'p'));
    QCOMPARE(tree.downloads().size(), 3);
    // Signed so that the updater's own check accepts it.
    QVERIFY(CheckSigFunc(ini, QString()).run());
    QVERIFY(writeFile(root, QStringLiteral("7/client_linux_x86.ini"), tree.iniText() + "\n"));
    QVERIFY(!CheckSigFunc(ini, QString()).run());
}

void tst_IniDownload::firstAttemptReusesLocalCopies_data()
{
    QTest::addColumn<bool>("haveIni");
    QTest::addColumn<bool>("haveSig");
    QTest::addColumn<double>("checkWeight");

    QTest::newRow("both present") << true << true << 1.0;
    QTest::newRow("only the ini") << true << false << 0.6667;
    QTest::newRow("only the signature") << false << true << 0.6667;
    QTest::newRow("none") << false << false << 0.3334;
}

void tst_IniDownload::firstAttemptReusesLocalCopies()
{
    QFETCH(bool, haveIni);
    QFETCH(bool, haveSig);
    QFETCH(double, checkWeight);

    DownloadRun run;
    const MirrorTree tree = smallTree();
    QVERIFY2(run.start(tree, 2), qPrintable(run.errorText));
    const QString remote = remoteIni(run, 0);
    if (haveIni)
        QVERIFY(QFile::copy(remote, localIni(run)));
    if (haveSig)
        QVERIFY(QFile::copy(remote + QStringLiteral(".sig"), localIni(run) + ".sig"));

    IniDownloadTaskSpecification task(&run.manager, &run.mirrors, &run.config, nullptr, 0.1);
    run.watch(&task);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();

    QStringList remotePaths;
    for (TaskSpecification* sub : qAsConst(task.subTasks)) {
        if (auto* download = qobject_cast<DownloadTaskSpecification*>(sub)) {
            remotePaths << download->remotePath;
            QCOMPARE(download->parentProgressRange, 0.3333);
        }
    }
    QStringList expectedPaths;
    if (!haveIni)
        expectedPaths << QStringLiteral("client_linux_x86.ini");
    if (!haveSig)
        expectedPaths << QStringLiteral("client_linux_x86.ini.sig");
    QCOMPARE(remotePaths, expectedPaths);
    auto* check = qobject_cast<CheckSignatureTaskSpecification*>(task.subTasks.last());
    QVERIFY(check);
    QVERIFY(qAbs(check->parentProgressRange - checkWeight) < 1e-9);
    QCOMPARE(check->fileName, localIni(run));
    QVERIFY(check->md5.isEmpty());
    QVERIFY(!check->abortOnFailure);

    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(task.state, TaskFinished);
    QVERIFY(qAbs(task.progress - 0.1) < 1e-9);
    QCOMPARE(task.attempt, 0);
    QCOMPARE(run.log.first(), QStringLiteral("Download / check product ini"));
    QCOMPARE(run.requestCount(QLatin1String(iniPath)), haveIni ? 0 : 1);
    QCOMPARE(run.requestCount(QLatin1String(sigPath)), haveSig ? 0 : 1);
    QCOMPARE(readFile(localIni(run)), tree.iniText());
    QCOMPARE(readFile(localIni(run) + ".sig"), readFile(remote + QStringLiteral(".sig")));
}

void tst_IniDownload::badLocalCopyFetchesBothAgain()
{
    DownloadRun run;
    const MirrorTree tree = smallTree();
    QVERIFY2(run.start(tree, 1), qPrintable(run.errorText));
    const QString remote = remoteIni(run, 0);
    QVERIFY(writeFile(run.config.tempDir, QStringLiteral("client_linux_x86.ini"),
                      tree.iniText() + "[extra]\nx=0::0\n"));
    QVERIFY(QFile::copy(remote + QStringLiteral(".sig"), localIni(run) + ".sig"));

    IniDownloadTaskSpecification task(&run.manager, &run.mirrors, &run.config, nullptr, 1.0);
    run.watch(&task);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();

    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(canceled.count(), 0);
    QCOMPARE(task.attempt, 1);
    QCOMPARE(run.logCount(QStringLiteral("Signature check failed for %1").arg(localIni(run))), 1);
    QCOMPARE(run.logCount(QLatin1String(retryingText)), 1);
    QCOMPARE(run.requestCount(QLatin1String(iniPath)), 1);
    QCOMPARE(run.requestCount(QLatin1String(sigPath)), 1);
    QCOMPARE(readFile(localIni(run)), tree.iniText());
    // No mirror is blamed for a product ini that does not verify.
    QCOMPARE(run.mirrors.mirrorList.size(), 1);
    QCOMPARE(run.mirrors.mirrorList.first().errorCount, 0);
}

void tst_IniDownload::everyRetryDownloadsBothFiles()
{
    DownloadRun run;
    const MirrorTree tree = smallTree();
    QVERIFY2(run.start(tree, 1), qPrintable(run.errorText));
    const QString dir = run.mirrorVersionDir(0);
    QVERIFY(writeFile(dir, QStringLiteral("client_linux_x86.ini"), "[main]\nforged=1::1\n"));

    IniDownloadTaskSpecification task(&run.manager, &run.mirrors, &run.config, nullptr, 1.0);
    run.watch(&task);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    // The mirror is mended after the second failed verification.
    connect(&task, &TaskSpecification::message, this, [&](const QString& text) {
        if (text == QLatin1String(retryingText) && task.attempt == 2)
            writeFile(dir, QStringLiteral("client_linux_x86.ini"), tree.iniText());
    });
    task.execute();

    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(task.attempt, 2);
    QCOMPARE(run.logCount(QLatin1String(retryingText)), 2);
    QCOMPARE(run.requestCount(QLatin1String(iniPath)), 3);
    QCOMPARE(run.requestCount(QLatin1String(sigPath)), 3);
    QCOMPARE(readFile(localIni(run)), tree.iniText());
    // Only the last attempt's sub-tasks are left: two downloads and the check.
    QCOMPARE(task.subTasks.size(), 3);
}

void tst_IniDownload::oversizedFileStopsAndFailsTheCheck_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<qint64>("bound");

    QTest::newRow("signature") << QStringLiteral("client_linux_x86.ini.sig") << qint64(4096);
    QTest::newRow("product ini") << QStringLiteral("client_linux_x86.ini")
                                 << qint64(64 * 1024 * 1024);
}

void tst_IniDownload::oversizedFileStopsAndFailsTheCheck()
{
    QFETCH(QString, name);
    QFETCH(qint64, bound);

    DownloadRun run;
    const MirrorTree tree = smallTree();
    QVERIFY2(run.start(tree, 1), qPrintable(run.errorText));
    const QString remote = run.mirrorVersionDir(0) + QLatin1Char('/') + name;
    const QByteArray good = readFile(remote);
    {
        // Far more than the updater may take in; sparse, so it costs the test no space.
        QFile served(remote);
        QVERIFY(served.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QVERIFY(served.resize(qint64(1) << 30));
    }
    const QString local = run.config.tempDir + QLatin1Char('/') + name;
    const QString checkFailed = QStringLiteral("Signature check failed for %1").arg(localIni(run));

    IniDownloadTaskSpecification task(&run.manager, &run.mirrors, &run.config, nullptr, 1.0);
    run.watch(&task);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    qint64 checkedSize = -1;
    connect(&task, &TaskSpecification::message, this, [&](const QString& text) {
        if (text == checkFailed)
            checkedSize = QFileInfo(local).size();
        // The mirror is mended once the check has failed.
        if (text == QLatin1String(retryingText))
            writeFile(run.mirrorVersionDir(0), name, good);
    });
    task.execute();

    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 20000);
    QVERIFY2(checkedSize > bound && checkedSize <= bound + 4096,
             qPrintable(QString::number(checkedSize)));
    QCOMPARE(run.logCount(checkFailed), 1);
    QCOMPARE(run.logCount(QLatin1String(retryingText)), 1);
    QCOMPARE(
        run.requestCount(QLatin1Char('/') + QString::number(run.version) + QLatin1Char('/') + name),
        2);
    QCOMPARE(task.attempt, 1);
    QCOMPARE(readFile(local), good);
}

void tst_IniDownload::cancelDuringTheCheckOutlivesItsResult_data()
{
    QTest::addColumn<bool>("verifies");
    QTest::addColumn<TaskState>("endState");

    // Either way the main task, whose request stays set, starts no further step.
    QTest::newRow("check fails") << false << TaskState(TaskUserCanceled);
    QTest::newRow("check passes") << true << TaskState(TaskFinished);
}

void tst_IniDownload::cancelDuringTheCheckOutlivesItsResult()
{
    QFETCH(bool, verifies);
    QFETCH(TaskState, endState);

    DownloadRun run;
    const MirrorTree tree = smallTree();
    QVERIFY2(run.start(tree, 1), qPrintable(run.errorText));
    QVERIFY(writeFile(run.config.tempDir, QStringLiteral("client_linux_x86.ini"),
                      verifies ? tree.iniText() : QByteArray("tampered")));
    QVERIFY(QFile::copy(remoteIni(run, 0) + ".sig", localIni(run) + ".sig"));

    IniDownloadTaskSpecification task(&run.manager, &run.mirrors, &run.config, nullptr, 1.0);
    run.watch(&task);
    const CheckCancel seen = cancelDuringCheck(task);
    QVERIFY2(seen.failure.isEmpty(), qPrintable(seen.failure));
    QCOMPARE(seen.pass, verifies);
    QCOMPARE(task.state, endState);
    QVERIFY(task.cancelRequested);
    QCOMPARE(run.logCount(QStringLiteral("Signature check failed for %1").arg(localIni(run))),
             verifies ? 0 : 1);
    QCOMPARE(run.logCount(QLatin1String(retryingText)), 0);
    QCOMPARE(run.requestCount(QLatin1String(iniPath)), 0);
    QCOMPARE(run.requestCount(QLatin1String(sigPath)), 0);
}

void tst_IniDownload::givesUpAfterAThousandRetries()
{
    DownloadRun run;
    const MirrorTree tree = smallTree();
    QVERIFY2(run.start(tree, 2), qPrintable(run.errorText));
    // A signature made by the right key for other data never verifies.
    const QByteArray wrongSignature = MirrorTree::sign("other data", tree.privateKeyPath);
    QCOMPARE(wrongSignature.size(), 128);
    for (int i = 0; i < 2; ++i) {
        QVERIFY(writeFile(run.mirrorVersionDir(i), QStringLiteral("client_linux_x86.ini.sig"),
                          wrongSignature));
    }

    IniDownloadTaskSpecification task(&run.manager, &run.mirrors, &run.config, nullptr, 1.0);
    run.watch(&task);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();

    // A spy's wait runs an event loop that wakes for each reply and pool result; polling
    // would sleep 10 ms per hand-over, some 30 s over 1001 attempts. The bound is generous
    // for a sanitizer build on a busy machine.
    QVERIFY(canceled.wait(240000));
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(task.state, TaskErrorCanceled);
    QCOMPARE(task.attempt, 1001);
    QCOMPARE(run.logCount(QStringLiteral("Signature check failed for %1").arg(localIni(run))),
             1001);
    QCOMPARE(run.logCount(QLatin1String(retryingText)), 1000);
    QCOMPARE(run.logCount(QLatin1String(abortingText)), 1);
    QCOMPARE(run.log.last(), QLatin1String(abortingText));
    QCOMPARE(run.requestCount(QLatin1String(iniPath)), 1001);
    QCOMPARE(run.mirrors.mirrorList.size(), 2);

    // The failed check still ends by finishing; that must not finish the task.
    QTest::qWait(200);
    QCOMPARE(finished.count(), 0);
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(task.state, TaskErrorCanceled);
    QVERIFY(task.subTasks.isEmpty());
}

void tst_IniDownload::failedDownloadFailsTheTask()
{
    DownloadRun run;
    const MirrorTree tree = smallTree();
    QVERIFY2(run.start(tree, 2), qPrintable(run.errorText));
    for (int i = 0; i < 2; ++i)
        QVERIFY(QFile::remove(remoteIni(run, i)));

    IniDownloadTaskSpecification task(&run.manager, &run.mirrors, &run.config, nullptr, 1.0);
    run.watch(&task);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();

    QTRY_COMPARE(canceled.count(), 1);
    QCOMPARE(task.state, TaskErrorCanceled);
    QVERIFY(run.mirrors.mirrorList.isEmpty());
    QCOMPARE(run.logCount(QLatin1String(retryingText)), 0);
    QCOMPARE(run.logCount(QStringLiteral("There are no (more) known working mirrors available")),
             1);
    // The signature was never fetched: the steps run one after the other.
    QCOMPARE(run.requestCount(QLatin1String(sigPath)), 0);
}

void tst_IniDownload::resetForgetsAttemptsAndAllowsANewRun()
{
    DownloadRun run;
    const MirrorTree tree = smallTree();
    QVERIFY2(run.start(tree, 1), qPrintable(run.errorText));
    QVERIFY(writeFile(run.config.tempDir, QStringLiteral("client_linux_x86.ini"), "tampered"));

    IniDownloadTaskSpecification task(&run.manager, &run.mirrors, &run.config, nullptr, 1.0);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(task.attempt, 1);

    task.reset();
    QCOMPARE(task.attempt, 0);
    QCOMPARE(task.state, TaskIdle);
    QCOMPARE(task.progress, 0.0);
    QVERIFY(task.subTasks.isEmpty());

    // Both copies are in place now, so the new run only checks them.
    task.execute();
    QCOMPARE(task.subTasks.size(), 1);
    QTRY_COMPARE(finished.count(), 2);
    QCOMPARE(task.state, TaskFinished);
    QCOMPARE(run.requestCount(QLatin1String(iniPath)), 1);
}

QTEST_GUILESS_MAIN(tst_IniDownload)
#include "tst_inidownload.moc"

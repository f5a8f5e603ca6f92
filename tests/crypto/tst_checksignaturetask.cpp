#include "crypto/checksignaturetaskspecification.h"
#include "crypto/tomcryptutil.h"
#include "support/mirrortree.h"
#include "support/treesnapshot.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtTest>

#include <limits>

namespace {

// Sum of the empty input.
const QString emptyMd5 = QStringLiteral("d41d8cd98f00b204e9800998ecf8427e");

} // namespace

class TestCheckSignatureTask : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void md5Check_data();
    void md5Check();
    void signatureCheck_data();
    void signatureCheck();
    void missingFileFailsWithMessage_data();
    void missingFileFailsWithMessage();
    void failureEndsTaskByAbortOnFailure_data();
    void failureEndsTaskByAbortOnFailure();
    void checkDoneComesBeforeTheEnd();
    void cancelRequestDoesNotStopCheck();
    void resultAfterResetIsIgnored();
    void runCalledDirectlyWorksWithoutTask();
    void fileTooLargeToHoldIsRefused();

private:
    struct Outcome
    {
        bool pass = false;
        QStringList messages;
        TaskState state = TaskIdle;
        QStringList order;
    };
    Outcome runTask(const QString& fileName, const QString& md5, bool abortOnFailure);
};

void TestCheckSignatureTask::initTestCase()
{
    crypt_init();
}

// Runs one check to its end on the pool and records what the task reported.
TestCheckSignatureTask::Outcome
TestCheckSignatureTask::runTask(const QString& fileName, const QString& md5, bool abortOnFailure)
{
    Outcome outcome;
    CheckSignatureTaskSpecification task(fileName, md5, abortOnFailure, nullptr, 1.0);
    connect(&task, &CheckSignatureTaskSpecification::checkDone, this,
            [&](bool pass, CheckSignatureTaskSpecification* checked) {
                outcome.order << QStringLiteral("checkDone");
                outcome.pass = pass;
                if (checked != &task || checked->state != TaskRunning)
                    outcome.order << QStringLiteral("wrong task or state");
            });
    connect(&task, &TaskSpecification::message, this,
            [&](const QString& text) { outcome.messages << text; });
    connect(&task, &TaskSpecification::finished, this,
            [&] { outcome.order << QStringLiteral("finished"); });
    connect(&task, &TaskSpecification::canceled, this,
            [&] { outcome.order << QStringLiteral("canceled"); });
    QSignalSpy errors(&task, &TaskSpecification::error);
    task.execute();
    [&] { QTRY_VERIFY_WITH_TIMEOUT(task.state != TaskRunning, 10000); }();
    outcome.state = task.state;
    if (!errors.isEmpty())
        outcome.order << QStringLiteral("error");
    return outcome;
}

void TestCheckSignatureTask::md5Check_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("md5");
    QTest::addColumn<bool>("pass");

    const QByteArray text("client file\n");
    const QString sum = MirrorTree::md5Hex(text);
    QTest::newRow("lower case") << text << sum << true;
    QTest::newRow("upper case") << text << sum.toUpper() << true;
    QTest::newRow("trailing blank") << text << sum + QLatin1Char(' ') << false;
    QTest::newRow("leading blank") << text << QLatin1Char(' ') + sum << false;
    QTest::newRow("other sum") << text << emptyMd5 << false;
    QTest::newRow("truncated sum") << text << sum.left(31) << false;
    QTest::newRow("empty file") << QByteArray() << emptyMd5 << true;
    // Several read blocks, ending inside one.
    const QByteArray large = QByteArray(3 * 1024 * 1024 + 17, 'q');
    QTest::newRow("several blocks") << large << MirrorTree::md5Hex(large) << true;
    QByteArray changed = large;
    changed[2 * 1024 * 1024 + 5] = 'r';
    QTest::newRow("changed in a later block") << changed << MirrorTree::md5Hex(large) << false;
}

void TestCheckSignatureTask::md5Check()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, md5);
    QFETCH(bool, pass);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeFile(dir.path(), QStringLiteral("data/file.bin"), content));
    const QString path = dir.filePath(QStringLiteral("data/file.bin"));
    const Outcome outcome = runTask(path, md5, false);
    QCOMPARE(outcome.pass, pass);
    QCOMPARE(outcome.state, TaskState(TaskFinished));
    QCOMPARE(outcome.order, QStringList({QStringLiteral("checkDone"), QStringLiteral("finished")}));
    QCOMPARE(outcome.messages,
             pass ? QStringList()
                  : QStringList(QStringLiteral("Signature check failed for %1").arg(path)));
}

void TestCheckSignatureTask::signatureCheck_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<qint64>("padTo");   // the content is padded to this size before signing
    QTest::addColumn<QString>("change"); // what happens to the file or signature after signing
    QTest::addColumn<bool>("pass");

    const QByteArray ini("[client]\nupdate=abc,3\n");
    const qint64 none = 0;
    QTest::newRow("valid") << ini << none << QString() << true;
    QTest::newRow("empty file") << QByteArray() << none << QString() << true;
    QTest::newRow("file changed afterwards") << ini << none << QStringLiteral("file") << false;
    QTest::newRow("signature byte corrupted") << ini << none << QStringLiteral("corrupt") << false;
    QTest::newRow("signature of 127 bytes") << ini << none << QStringLiteral("127") << false;
    QTest::newRow("signature of 129 bytes") << ini << none << QStringLiteral("129") << false;
    QTest::newRow("empty signature") << ini << none << QStringLiteral("0") << false;
    QTest::newRow("signed by another key") << ini << none << QStringLiteral("other key") << false;
    // A mirror decides these sizes: over its bound a file fails unread, with no message of
    // its own (reading a signature this large would leave one).
    const qint64 iniBound = 64 * 1024 * 1024;
    QTest::newRow("ini at its bound") << ini << iniBound << QString() << true;
    QTest::newRow("ini over its bound") << ini << iniBound + 1 << QString() << false;
    QTest::newRow("signature far over its bound")
        << ini << none << QStringLiteral("3 GiB") << false;
}

void TestCheckSignatureTask::signatureCheck()
{
    QFETCH(QByteArray, content);
    QFETCH(qint64, padTo);
    QFETCH(QString, change);
    QFETCH(bool, pass);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    if (padTo > 0)
        content = content.leftJustified(int(padTo), ';');
    QByteArray signature;
    QString error;
    if (change == QLatin1String("other key")) {
        Rsa_key key;
        create_key(&key);
        const QString keyPath = dir.filePath(QStringLiteral("other.key"));
        save_key(&key, PK_PRIVATE, QFile::encodeName(keyPath).constData());
        rsa_free(&key);
        signature = MirrorTree::sign(content, keyPath, &error);
    } else {
        signature = MirrorTree::sign(content, MirrorTree::defaultPrivateKeyPath(), &error);
    }
    QVERIFY2(signature.size() == 128, qPrintable(error));
    QByteArray stored = content;
    if (change == QLatin1String("file"))
        stored.append('\n');
    else if (change == QLatin1String("corrupt"))
        signature[40] = char(signature[40] ^ 0x10);
    else if (change == QLatin1String("127"))
        signature.chop(1);
    else if (change == QLatin1String("129"))
        signature.append('\0');
    else if (change == QLatin1String("0"))
        signature.clear();
    QVERIFY(writeFile(dir.path(), QStringLiteral("client_linux_x86.ini"), stored));
    QVERIFY(writeFile(dir.path(), QStringLiteral("client_linux_x86.ini.sig"), signature));
    const QString path = dir.filePath(QStringLiteral("client_linux_x86.ini"));
    if (change == QLatin1String("3 GiB")) {
        QFile sig(path + QStringLiteral(".sig"));
        QVERIFY(sig.open(QIODevice::ReadWrite));
        QVERIFY(sig.resize(qint64(3) << 30));
    }

    const Outcome outcome = runTask(path, QString(), false);
    QCOMPARE(outcome.pass, pass);
    QCOMPARE(outcome.state, TaskState(TaskFinished));
    // A bad signature has no message of its own; only the task's verdict is logged.
    QCOMPARE(outcome.messages,
             pass ? QStringList()
                  : QStringList(QStringLiteral("Signature check failed for %1").arg(path)));
}

void TestCheckSignatureTask::missingFileFailsWithMessage_data()
{
    QTest::addColumn<QString>("md5");
    QTest::addColumn<bool>("fileExists");
    QTest::addColumn<QString>("unreadable"); // the path named by the worker's message

    QTest::newRow("no signature file") << QString() << true << QStringLiteral(".sig");
    QTest::newRow("no file, signature check") << QString() << false << QString();
    QTest::newRow("no file, md5 check") << emptyMd5 << false << QString();
}

void TestCheckSignatureTask::missingFileFailsWithMessage()
{
    QFETCH(QString, md5);
    QFETCH(bool, fileExists);
    QFETCH(QString, unreadable);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("product.ini"));
    if (fileExists)
        QVERIFY(writeFile(dir.path(), QStringLiteral("product.ini"), QByteArray()));
    const Outcome outcome = runTask(path, md5, false);
    QCOMPARE(outcome.pass, false);
    QCOMPARE(
        outcome.messages,
        QStringList({QStringLiteral("Could not open file %1 for reading").arg(path + unreadable),
                     QStringLiteral("Signature check failed for %1").arg(path)}));
}

void TestCheckSignatureTask::failureEndsTaskByAbortOnFailure_data()
{
    QTest::addColumn<bool>("abortOnFailure");
    QTest::addColumn<bool>("fileGood");
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("end");

    QTest::newRow("failure, keep going")
        << false << false << int(TaskFinished) << QStringLiteral("finished");
    QTest::newRow("failure, abort")
        << true << false << int(TaskErrorCanceled) << QStringLiteral("canceled");
    QTest::newRow("success, abort")
        << true << true << int(TaskFinished) << QStringLiteral("finished");
}

void TestCheckSignatureTask::failureEndsTaskByAbortOnFailure()
{
    QFETCH(bool, abortOnFailure);
    QFETCH(bool, fileGood);
    QFETCH(int, state);
    QFETCH(QString, end);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeFile(dir.path(), QStringLiteral("a.dat"), "abc"));
    const QString md5 = fileGood ? MirrorTree::md5Hex("abc") : emptyMd5;
    const Outcome outcome = runTask(dir.filePath(QStringLiteral("a.dat")), md5, abortOnFailure);
    QCOMPARE(outcome.pass, fileGood);
    QCOMPARE(int(outcome.state), state);
    // No error signal in any case: the owner decides what a failed check means.
    QCOMPARE(outcome.order, QStringList({QStringLiteral("checkDone"), end}));
}

void TestCheckSignatureTask::checkDoneComesBeforeTheEnd()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeFile(dir.path(), QStringLiteral("a.dat"), "abc"));
    // Two checks at once, told apart by the task argument.
    CheckSignatureTaskSpecification good(dir.filePath(QStringLiteral("a.dat")),
                                         MirrorTree::md5Hex("abc"), false, nullptr, 0.5);
    CheckSignatureTaskSpecification bad(dir.filePath(QStringLiteral("a.dat")), emptyMd5, false,
                                        nullptr, 0.5);
    QMap<CheckSignatureTaskSpecification*, bool> results;
    for (CheckSignatureTaskSpecification* task : {&good, &bad}) {
        connect(task, &CheckSignatureTaskSpecification::checkDone, this,
                [&](bool pass, CheckSignatureTaskSpecification* checked) {
                    results.insert(checked, pass);
                });
    }
    QSignalSpy goodFinished(&good, &TaskSpecification::finished);
    QSignalSpy progress(&good, &TaskSpecification::updateProgress);
    good.execute();
    bad.execute();
    QCOMPARE(good.state, TaskState(TaskRunning));
    QTRY_COMPARE(results.size(), 2);
    QCOMPARE(results.value(&good), true);
    QCOMPARE(results.value(&bad), false);
    QCOMPARE(goodFinished.count(), 1);
    QCOMPARE(goodFinished.first().first().value<TaskSpecification*>(),
             static_cast<TaskSpecification*>(&good));
    // The worker reports no progress; the task moves only when it ends, to its whole weight.
    QCOMPARE(progress.count(), 1);
    QCOMPARE(progress.first().first().toDouble(), 0.5);
}

void TestCheckSignatureTask::cancelRequestDoesNotStopCheck()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeFile(dir.path(), QStringLiteral("a.dat"), "abc"));
    CheckSignatureTaskSpecification task(dir.filePath(QStringLiteral("a.dat")),
                                         MirrorTree::md5Hex("abc"), true, nullptr, 1.0);
    QSignalSpy checkDone(&task, &CheckSignatureTaskSpecification::checkDone);
    task.execute();
    task.userCanceled();
    QVERIFY(task.cancelRequested);
    QTRY_COMPARE(checkDone.count(), 1);
    QCOMPARE(checkDone.first().first().toBool(), true);
    QCOMPARE(task.state, TaskState(TaskFinished));
}

void TestCheckSignatureTask::resultAfterResetIsIgnored()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeFile(dir.path(), QStringLiteral("a.dat"), "abc"));
    CheckSignatureTaskSpecification task(dir.filePath(QStringLiteral("a.dat")), emptyMd5, true,
                                         nullptr, 1.0);
    QSignalSpy checkDone(&task, &CheckSignatureTaskSpecification::checkDone);
    QSignalSpy messages(&task, &TaskSpecification::message);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    task.reset();
    QCOMPARE(task.state, TaskState(TaskIdle));
    QTest::qWait(50);
    QCOMPARE(checkDone.count(), 0);
    QCOMPARE(messages.count(), 0);
    QCOMPARE(canceled.count(), 0);
    QCOMPARE(task.state, TaskState(TaskIdle));

    // A result handed over while the task is not running changes nothing either.
    task.runDone(false);
    QCOMPARE(checkDone.count(), 0);
    QCOMPARE(messages.count(), 0);
    QCOMPARE(task.state, TaskState(TaskIdle));

    // The reset task runs again.
    task.execute();
    QTRY_COMPARE(checkDone.count(), 1);
    QCOMPARE(task.state, TaskState(TaskErrorCanceled));
}

void TestCheckSignatureTask::runCalledDirectlyWorksWithoutTask()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray content("installed file");
    QVERIFY(writeFile(dir.path(), QStringLiteral("f"), content));
    QString error;
    QVERIFY(writeFile(dir.path(), QStringLiteral("f.sig"),
                      MirrorTree::sign(content, MirrorTree::defaultPrivateKeyPath(), &error)));
    const QString path = dir.filePath(QStringLiteral("f"));
    QVERIFY(CheckSigFunc(path, MirrorTree::md5Hex(content)).run());
    QVERIFY(!CheckSigFunc(path, emptyMd5).run());
    QVERIFY(CheckSigFunc(path, QString()).run());

    // readFile reports what it could not read.
    CheckSigFunc func(path, QString());
    QSignalSpy messages(&func, &ASyncFunc::message);
    QByteArray data;
    QVERIFY(func.readFile(path, data));
    QCOMPARE(data, content);
    const QString missing = dir.filePath(QStringLiteral("none"));
    QVERIFY(!func.readFile(missing, data));
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.first().first().toString(),
             QStringLiteral("Could not open file %1 for reading").arg(missing));
    // A folder opens but cannot be read like a file.
    QVERIFY(!func.readFile(dir.path(), data));
    QVERIFY(!func.checkMD5());
}

void TestCheckSignatureTask::fileTooLargeToHoldIsRefused()
{
    // A file of (just under) 2 GiB cannot be held whole: reading it fails instead of
    // crashing.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("huge"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.resize(std::numeric_limits<int>::max() - 8));
    file.close();
    CheckSigFunc func(path, QString());
    QSignalSpy messages(&func, &ASyncFunc::message);
    QByteArray data;
    QVERIFY(!func.readFile(path, data));
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.first().first().toString(),
             QStringLiteral("could not read file %1 correctly").arg(path));
}

QTEST_GUILESS_MAIN(TestCheckSignatureTask)
#include "tst_checksignaturetask.moc"

#include "crypto/checksigfunc.h"
#include "crypto/tomcryptutil.h"
#include "support/mirrortree.h"
#include "support/treesnapshot.h"

#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

class TestUpdateSign : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void genkeyWritesTwoKeyFiles();
    void genkeyMakesPrivateKeyOwnerOnly();
    void genkeyKeepsExistingKeyFiles_data();
    void genkeyKeepsExistingKeyFiles();
    void failedGenkeyLeavesNoKeyFile();
    void signedFileVerifies();
    void changedFileOrOtherKeyFailsVerification_data();
    void changedFileOrOtherKeyFailsVerification();
    void signingNeedsPrivateKey();
    void missingFileIsReported();
    void wrongArgumentsShowUsage_data();
    void wrongArgumentsShowUsage();
    void testKeySignaturePassesUpdaterCheck();

private:
    struct Result
    {
        int exitCode = -1;
        QString output;
    };
    Result run(const QStringList& arguments, const QString& dir);

    QTemporaryDir keys;
};

void TestUpdateSign::initTestCase()
{
    crypt_init();
    QVERIFY(QFileInfo(QStringLiteral(UPDATE_SIGN_PATH)).isExecutable());
    QVERIFY(keys.isValid());
    const Result made =
        run({QStringLiteral("genkey"), QStringLiteral("private.key"), QStringLiteral("public.key")},
            keys.path());
    QCOMPARE(made.exitCode, 0);
}

// Runs update-sign in dir; stdout and stderr together.
TestUpdateSign::Result TestUpdateSign::run(const QStringList& arguments, const QString& dir)
{
    QProcess process;
    process.setWorkingDirectory(dir);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral(UPDATE_SIGN_PATH), arguments);
    Result result;
    if (!process.waitForFinished(30000)) {
        result.output = QStringLiteral("update-sign did not finish");
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.output = QString::fromLocal8Bit(process.readAll());
    return result;
}

void TestUpdateSign::genkeyWritesTwoKeyFiles()
{
    QCOMPARE(QFileInfo(keys.filePath(QStringLiteral("private.key"))).size(), qint64(2048));
    QCOMPARE(QFileInfo(keys.filePath(QStringLiteral("public.key"))).size(), qint64(2048));
    Rsa_key privateKey;
    Rsa_key publicKey;
    load_key(&privateKey,
             QFile::encodeName(keys.filePath(QStringLiteral("private.key"))).constData());
    load_key(&publicKey,
             QFile::encodeName(keys.filePath(QStringLiteral("public.key"))).constData());
    QCOMPARE(privateKey.type, int(PK_PRIVATE));
    QCOMPARE(publicKey.type, int(PK_PUBLIC));
    QCOMPARE(rsa_get_size(&publicKey), 128);
    // The public key file has the form the build embeds: DER RSAPublicKey of 1024 bits first.
    const QByteArray publicFile = readFile(keys.filePath(QStringLiteral("public.key")));
    QVERIFY(publicFile.startsWith(QByteArray::fromHex("30818902818100")));
    rsa_free(&privateKey);
    rsa_free(&publicKey);
}

void TestUpdateSign::genkeyMakesPrivateKeyOwnerOnly()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // A strict umask, which update-sign inherits: files readable by the owner only.
    const mode_t saved = ::umask(S_IRWXG | S_IRWXO);
    const Result result =
        run({QStringLiteral("genkey"), QStringLiteral("private.key"), QStringLiteral("public.key")},
            dir.path());
    ::umask(saved);
    QCOMPARE(result.exitCode, 0);
    const auto modeOf = [&dir](const QString& name) {
        struct stat info;
        const QByteArray path = QFile::encodeName(dir.filePath(name));
        return ::stat(path.constData(), &info) == 0 ? info.st_mode & 07777 : mode_t(0);
    };
    QCOMPARE(modeOf(QStringLiteral("private.key")), mode_t(0600));
    // The public key is meant to be handed out.
    QCOMPARE(modeOf(QStringLiteral("public.key")), mode_t(0644));
}

void TestUpdateSign::genkeyKeepsExistingKeyFiles_data()
{
    // Private and public key file: kept.key a key its owner may only write, link.key a link.
    QTest::addColumn<QStringList>("names");
    QTest::newRow("key at the public path") << QStringList{"new.key", "kept.key"};
    QTest::newRow("key at the private path") << QStringList{"kept.key", "new.key"};
    QTest::newRow("dangling link at the private path") << QStringList{"link.key", "new.key"};
    QTest::newRow("dangling link at the public path") << QStringList{"new.key", "link.key"};
}

void TestUpdateSign::genkeyKeepsExistingKeyFiles()
{
    QFETCH(QStringList, names);
    QTemporaryDir dir;
    const QString kept = dir.filePath(QStringLiteral("kept.key"));
    QVERIFY(QFile::copy(keys.filePath(QStringLiteral("private.key")), kept) &&
            QFile::setPermissions(kept, QFile::WriteOwner) &&
            QFile::link(QStringLiteral("gone"), dir.filePath(QStringLiteral("link.key"))));
    const TreeSnapshot before = TreeSnapshot::take(dir.path());
    const Result result = run(QStringList{QStringLiteral("genkey")} + names, dir.path());
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.output.contains(QLatin1String(".key exists")), qPrintable(result.output));
    QCOMPARE(TreeSnapshot::take(dir.path()), before);
}

void TestUpdateSign::failedGenkeyLeavesNoKeyFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const Result result =
        run({QStringLiteral("genkey"), QStringLiteral("new.key"), QStringLiteral("no/public.key")},
            dir.path());
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.output,
             QStringLiteral("update-sign: Cannot open file for writing: no/public.key\n"));
    QVERIFY(QDir(dir.path()).isEmpty());
}

void TestUpdateSign::signedFileVerifies()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeFile(dir.path(), QStringLiteral("client.ini"), "[client]\nupdate=abc,3\n"));
    const QString privateKey = keys.filePath(QStringLiteral("private.key"));
    const QString publicKey = keys.filePath(QStringLiteral("public.key"));
    Result result =
        run({QStringLiteral("sign"), privateKey, QStringLiteral("client.ini")}, dir.path());
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(QFileInfo(dir.filePath(QStringLiteral("client.ini.sig"))).size(), qint64(128));
    // Verifies with the public key file, and with the private one, which holds it too.
    for (const QString& key : {publicKey, privateKey}) {
        result = run({QStringLiteral("verify"), key, QStringLiteral("client.ini")}, dir.path());
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.output, QStringLiteral("client.ini: signature valid\n"));
    }
}

void TestUpdateSign::changedFileOrOtherKeyFailsVerification_data()
{
    QTest::addColumn<bool>("changeFile");
    QTest::addColumn<bool>("otherKey");
    QTest::addColumn<bool>("shortSignature");

    QTest::newRow("file changed") << true << false << false;
    QTest::newRow("test key instead") << false << true << false;
    QTest::newRow("signature cut short") << false << false << true;
}

void TestUpdateSign::changedFileOrOtherKeyFailsVerification()
{
    QFETCH(bool, changeFile);
    QFETCH(bool, otherKey);
    QFETCH(bool, shortSignature);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeFile(dir.path(), QStringLiteral("f"), "content"));
    QCOMPARE(run({QStringLiteral("sign"), keys.filePath(QStringLiteral("private.key")),
                  QStringLiteral("f")},
                 dir.path())
                 .exitCode,
             0);
    if (changeFile)
        QVERIFY(writeFile(dir.path(), QStringLiteral("f"), "c0ntent"));
    if (shortSignature) {
        QVERIFY(writeFile(dir.path(), QStringLiteral("f.sig"),
                          readFile(dir.filePath(QStringLiteral("f.sig"))).left(127)));
    }
    const QString key = otherKey ? MirrorTree::defaultPrivateKeyPath()
                                 : keys.filePath(QStringLiteral("public.key"));
    const Result result = run({QStringLiteral("verify"), key, QStringLiteral("f")}, dir.path());
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.output.contains(QLatin1String("f: signature INVALID")),
             qPrintable(result.output));
    if (shortSignature)
        QVERIFY(result.output.contains(QLatin1String("rsa_verify_hash: Invalid input packet.")));
}

void TestUpdateSign::signingNeedsPrivateKey()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeFile(dir.path(), QStringLiteral("f"), "content"));
    const QString publicKey = keys.filePath(QStringLiteral("public.key"));
    const Result result = run({QStringLiteral("sign"), publicKey, QStringLiteral("f")}, dir.path());
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.output,
             QStringLiteral("update-sign: %1 holds no private key\n").arg(publicKey));
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("f.sig"))));
}

void TestUpdateSign::missingFileIsReported()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Result result = run({QStringLiteral("sign"), keys.filePath(QStringLiteral("private.key")),
                         QStringLiteral("absent")},
                        dir.path());
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.output, QStringLiteral("update-sign: Cannot open file for reading: absent\n"));
    result = run({QStringLiteral("sign"), QStringLiteral("no.key"), QStringLiteral("absent")},
                 dir.path());
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.output.startsWith(QLatin1String("update-sign: rsa_import: ")),
             qPrintable(result.output));
}

void TestUpdateSign::wrongArgumentsShowUsage_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("none") << QStringList();
    QTest::newRow("unknown command")
        << QStringList({QStringLiteral("make"), QStringLiteral("a"), QStringLiteral("b")});
    QTest::newRow("too few") << QStringList({QStringLiteral("sign"), QStringLiteral("a")});
}

void TestUpdateSign::wrongArgumentsShowUsage()
{
    QFETCH(QStringList, arguments);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const Result result = run(arguments, dir.path());
    QCOMPARE(result.exitCode, 2);
    QVERIFY(result.output.startsWith(QLatin1String("usage: update-sign genkey")));
    QVERIFY(QDir(dir.path()).isEmpty());
}

void TestUpdateSign::testKeySignaturePassesUpdaterCheck()
{
    // The default build embeds the test key: what update-sign signs with it, the updater takes.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeFile(dir.path(), QStringLiteral("client_linux_x86.ini"), "[a]\nb=c,1\n"));
    QCOMPARE(run({QStringLiteral("sign"), MirrorTree::defaultPrivateKeyPath(),
                  QStringLiteral("client_linux_x86.ini")},
                 dir.path())
                 .exitCode,
             0);
    const QString path = dir.filePath(QStringLiteral("client_linux_x86.ini"));
    QVERIFY(CheckSigFunc(path, QString()).run());
    // One signed with the freshly made key is refused.
    QCOMPARE(run({QStringLiteral("sign"), keys.filePath(QStringLiteral("private.key")),
                  QStringLiteral("client_linux_x86.ini")},
                 dir.path())
                 .exitCode,
             0);
    QVERIFY(!CheckSigFunc(path, QString()).run());
}

QTEST_GUILESS_MAIN(TestUpdateSign)
#include "tst_updatesign.moc"

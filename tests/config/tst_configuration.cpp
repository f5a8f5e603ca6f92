#include "config/configuration.h"
#include "support/probeappfolder.h"
#include "support/scriptedudpserver.h"
#include "support/treesnapshot.h"
#include "support/updateserverprocess.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

const quint16 versionPort = 17384;
const QString serverVersions = QStringLiteral("500#Five hundred,600#Six#hundred,700#Seven");
const QString serverNews = QStringLiteral("Server news");

struct Expected
{
    bool result;
    bool noUserMode;
    QString clientType;
    int clientVersion;
    QString label;
    QString news;
    QString fatalError;
};

} // namespace

Q_DECLARE_METATYPE(Expected)

class tst_Configuration : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void fixedAnswers();
    void renamePrefixIsOneObject();
    void isSpecialFileName_data();
    void isSpecialFileName();
    void newConfigurationIsEmpty();
    void missingClientTypeOrVersion_data();
    void missingClientTypeOrVersion();
    void downloadSettings_data();
    void downloadSettings();
    void channelSelection_data();
    void channelSelection();
    void commandLineForms_data();
    void commandLineForms();
    void unusableServerAnswers_data();
    void unusableServerAnswers();
    void abandonedQueryEndsWithoutMessage();

private:
    ProbeAppFolder::Result runProbe(const QByteArray& ini, const QStringList& arguments);
};

void tst_Configuration::initTestCase()
{
    if (!UpdateServerProcess::serverHostIsLoopback())
        QSKIP("UPDATE_SERVER_HOST does not name this machine");
    QVERIFY2(QFileInfo::exists(UpdateServerProcess::programPath()),
             qPrintable(UpdateServerProcess::programPath()));
}

ProbeAppFolder::Result tst_Configuration::runProbe(const QByteArray& ini,
                                                   const QStringList& arguments)
{
    ProbeAppFolder app;
    if (!app.isValid()) {
        ProbeAppFolder::Result failed;
        failed.output = app.errorText();
        return failed;
    }
    if (!ini.isNull())
        writeFile(app.path(), QStringLiteral("update.ini"), ini);
    return app.run(QStringLiteral("parse"), arguments);
}

void tst_Configuration::fixedAnswers()
{
    QCOMPARE(Configuration::getAppRootPath(), QCoreApplication::applicationDirPath());
    QCOMPARE(Configuration::getUpdateType(), QStringLiteral("client_linux_x86"));
    QCOMPARE(Configuration::getClientBinaryName(), QStringLiteral("qorclient_runscript.sh"));
    const QStringList special{"update",
                              "libQtCore.so.4",
                              "libQtGui.so.4",
                              "libQtNetwork.so.4",
                              "libqgif.so",
                              "libqjpeg.so",
                              "libqtaccessiblewidgets.so"};
    QCOMPARE(Configuration::getSpecialFileNames(), special);
}

void tst_Configuration::renamePrefixIsOneObject()
{
    const QString& first = Configuration::getSpecialFileRenamePrefix();
    const QString& second = Configuration::getSpecialFileRenamePrefix();
    QCOMPARE(&first, &second);
    QCOMPARE(first, QStringLiteral("_old_"));
}

void tst_Configuration::isSpecialFileName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("special");
    QTest::newRow("update") << "update" << true;
    QTest::newRow("last of the list") << "libqtaccessiblewidgets.so" << true;
    QTest::newRow("capitals") << "UPDATE" << false;
    QTest::newRow("moved-aside copy") << "_old_update" << false;
    QTest::newRow("with folder") << "imageformats/libqgif.so" << false;
    QTest::newRow("start script") << "qorclient_runscript.sh" << false;
    QTest::newRow("empty") << "" << false;
}

void tst_Configuration::isSpecialFileName()
{
    QFETCH(QString, name);
    QFETCH(bool, special);
    Configuration config;
    QCOMPARE(config.isSpecialFileName(name), special);
}

void tst_Configuration::newConfigurationIsEmpty()
{
    Configuration config;
    QVERIFY(!config.noUserMode);
    QCOMPARE(int(config.updateChannel), 0);
    QVERIFY(config.clientType.isEmpty());
    QCOMPARE(config.clientVersion, 0);
    QVERIFY(config.clientVersionLabel.isEmpty());
    QVERIFY(config.news.isEmpty());
    QVERIFY(config.tempDir.isEmpty());
    QVERIFY(config.proxy.isEmpty());
    QCOMPARE(config.downloadConcurrency, 0);
}

void tst_Configuration::missingClientTypeOrVersion_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("clientType");
    QTest::addColumn<QString>("fatalError");
    QTest::newRow("no type") << QStringList{"update"} << ""
                             << "No client type specified";
    QTest::newRow("no version") << QStringList{"update", "client_x"} << "client_x"
                                << "No client version specified";
}

void tst_Configuration::missingClientTypeOrVersion()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, clientType);
    QFETCH(QString, fatalError);
    Configuration config;
    QSignalSpy fatal(&config, &Configuration::fatalError);

    QVERIFY(!config.getClientTypeVersion(arguments, 1));

    QCOMPARE(fatal.count(), 1);
    QCOMPARE(fatal.at(0).at(0).toString(), fatalError);
    QCOMPARE(config.clientType, clientType);
    QCOMPARE(config.clientVersion, 0);
}

void tst_Configuration::downloadSettings_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QString>("proxy");
    QTest::addColumn<int>("concurrency");
    QTest::newRow("no update.ini") << QByteArray() << "" << 6;
    QTest::newRow("streams 2 and a proxy")
        << QByteArray("[update]\nproxy=http://proxy.local:8080\nstreams=2\n")
        << "http://proxy.local:8080" << 2;
    QTest::newRow("streams 0") << QByteArray("[update]\nstreams=0\n") << "" << 6;
    QTest::newRow("streams -3") << QByteArray("[update]\nstreams=-3\n") << "" << 6;
    QTest::newRow("streams not a number") << QByteArray("[update]\nstreams=many\n") << "" << 6;
    QTest::newRow("streams in another group") << QByteArray("[Channel]\nstreams=2\n") << "" << 6;
    QTest::newRow("malformed ini") << QByteArray("[update\n=\n\x01\x02streams\n") << "" << 6;
}

void tst_Configuration::downloadSettings()
{
    QFETCH(QByteArray, ini);
    QFETCH(QString, proxy);
    QFETCH(int, concurrency);

    const ProbeAppFolder::Result result =
        runProbe(ini, {QStringLiteral("client_linux_x86"), QStringLiteral("5")});

    QCOMPARE(result.value(QStringLiteral("result")), QStringLiteral("1"));
    QCOMPARE(result.value(QStringLiteral("proxy")), proxy);
    QCOMPARE(result.value(QStringLiteral("downloadConcurrency")).toInt(), concurrency);
}

void tst_Configuration::channelSelection_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<int>("channel");
    QTest::addColumn<int>("version");
    // The two arguments client_linux_x86 7 keep the server out of it.
    QTest::newRow("no Channel group") << QByteArray("[update]\nstreams=2\n") << 0 << 7;
    QTest::newRow("beta") << QByteArray("[Channel]\nbeta=true\n") << 1 << 7;
    QTest::newRow("beta false") << QByteArray("[Channel]\nbeta=false\n") << 0 << 7;
    QTest::newRow("alpha wins over beta")
        << QByteArray("[Channel]\nalpha=http://alpha.local\nbeta=true\n") << 2 << 7;
    QTest::newRow("alphaRevno wins over the argument")
        << QByteArray("[Channel]\nalpha=http://alpha.local\nalphaRevno=1234\n") << 2 << 1234;
    QTest::newRow("alphaRevno not a number")
        << QByteArray("[Channel]\nalpha=http://alpha.local\nalphaRevno=abc\n") << 2 << 7;
    QTest::newRow("alphaRevno without alpha")
        << QByteArray("[Channel]\nalphaRevno=1234\n") << 0 << 7;
}

void tst_Configuration::channelSelection()
{
    QFETCH(QByteArray, ini);
    QFETCH(int, channel);
    QFETCH(int, version);

    const ProbeAppFolder::Result result =
        runProbe(ini, {QStringLiteral("client_linux_x86"), QStringLiteral("7")});

    QCOMPARE(result.value(QStringLiteral("result")), QStringLiteral("1"));
    QCOMPARE(result.value(QStringLiteral("updateChannel")).toInt(), channel);
    QCOMPARE(result.value(QStringLiteral("clientVersion")).toInt(), version);
}

void tst_Configuration::commandLineForms_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<Expected>("expected");

    const QByteArray stable("[update]\nstreams=2\n");
    const QByteArray alphaRevno("[Channel]\nalpha=http://alpha.local\nalphaRevno=1234\n");
    const QString defaultType = QStringLiteral("client_linux_x86");
    const Expected fromServer{true, false, defaultType, 500, "Five hundred", serverNews, ""};

    QTest::newRow("no arguments") << stable << QStringList() << fromServer;
    QTest::newRow("no update.ini") << QByteArray() << QStringList() << fromServer;
    QTest::newRow("one argument ignored") << stable << QStringList{"client_x"} << fromServer;
    QTest::newRow("three arguments ignored")
        << stable << QStringList{"client_x", "12", "label"} << fromServer;
    QTest::newRow("beta asks for its entry")
        << QByteArray("[Channel]\nbeta=true\n") << QStringList()
        << Expected{true, false, defaultType, 600, "Six#hundred", serverNews, ""};
    QTest::newRow("alpha asks for its entry")
        << QByteArray("[Channel]\nalpha=http://alpha.local\n") << QStringList()
        << Expected{true, false, defaultType, 700, "Seven", serverNews, ""};
    QTest::newRow("alphaRevno keeps the server out")
        << alphaRevno << QStringList() << Expected{true, false, defaultType, 1234, "", "", ""};

    QTest::newRow("type and version") << stable << QStringList{"client_x", "42"}
                                      << Expected{true, false, "client_x", 42, "", "", ""};
    QTest::newRow("type and version 0 never asks")
        << stable << QStringList{defaultType, "0"}
        << Expected{true, false, defaultType, 0, "", "", ""};
    QTest::newRow("type and bad version")
        << stable << QStringList{defaultType, "12a"}
        << Expected{false, false, defaultType, 0, "", "", "Invalid version nr (12a)"};
    QTest::newRow("alphaRevno beats the version argument")
        << alphaRevno << QStringList{defaultType, "99"}
        << Expected{true, false, defaultType, 1234, "", "", ""};
    QTest::newRow("alphaRevno lets a bad version pass")
        << alphaRevno << QStringList{"client_x", "12a"}
        << Expected{true, false, "client_x", 1234, "", "", ""};

    QTest::newRow("nouser full") << stable
                                 << QStringList{"--nouser", "client_x", "88", "Label", "News"}
                                 << Expected{true, true, "client_x", 88, "Label", "News", ""};
    QTest::newRow("nouser further arguments ignored")
        << stable << QStringList{"--nouser", "client_x", "88", "Label", "News", "more"}
        << Expected{true, true, "client_x", 88, "Label", "News", ""};
    QTest::newRow("nouser hash is an empty label")
        << stable << QStringList{"--nouser", "client_x", "88", "#", "News"}
        << Expected{true, true, "client_x", 88, "", "News", ""};
    QTest::newRow("nouser type and version only")
        << stable << QStringList{"--nouser", "client_x", "88"}
        << Expected{true, true, "client_x", 88, "", "", ""};
    QTest::newRow("nouser version 0 takes the server's answer")
        << stable << QStringList{"--nouser", "client_x", "0", "#", "given news"}
        << Expected{true, true, "client_x", 500, "Five hundred", serverNews, ""};
    QTest::newRow("nouser version 0 replaces the given label")
        << stable << QStringList{"--nouser", "client_x", "0", "Given", "given news"}
        << Expected{true, true, "client_x", 500, "Five hundred", serverNews, ""};
    QTest::newRow("nouser alone") << stable << QStringList{"--nouser"}
                                  << Expected{true,           true,       defaultType, 500,
                                              "Five hundred", serverNews, ""};
    QTest::newRow("nouser type alone is ignored")
        << stable << QStringList{"--nouser", "client_x"}
        << Expected{true, true, defaultType, 500, "Five hundred", serverNews, ""};
    QTest::newRow("nouser bad version")
        << stable << QStringList{"--nouser", "client_x", "12a"}
        << Expected{false, false, "client_x", 0, "", "", "Invalid version nr (12a)"};
    QTest::newRow("nouser with alphaRevno")
        << alphaRevno << QStringList{"--nouser", "client_x", "88", "Label", "News"}
        << Expected{true, true, "client_x", 1234, "Label", "News", ""};
    QTest::newRow("nouser not first")
        << stable << QStringList{"client_x", "--nouser"}
        << Expected{false, false, "client_x", 0, "", "", "Invalid version nr (--nouser)"};
}

void tst_Configuration::commandLineForms()
{
    QFETCH(QByteArray, ini);
    QFETCH(QStringList, arguments);
    QFETCH(Expected, expected);
    UpdateServerProcess server;
    QVERIFY2(server.start(serverVersions, serverNews, QString()), qPrintable(server.errorText()));

    // A box would mean the server was not reached; it is closed so the probe cannot hang.
    const ProbeAppFolder::Result result = runProbe(ini, arguments);

    QCOMPARE(result.value(QStringLiteral("boxes")), QStringLiteral("0"));
    QCOMPARE(result.value(QStringLiteral("result")), expected.result ? "1" : "0");
    QCOMPARE(result.exitCode, expected.result ? 0 : 1);
    QCOMPARE(result.value(QStringLiteral("noUserMode")), expected.noUserMode ? "1" : "0");
    QCOMPARE(result.value(QStringLiteral("clientType")), expected.clientType);
    QCOMPARE(result.value(QStringLiteral("clientVersion")).toInt(), expected.clientVersion);
    QCOMPARE(result.value(QStringLiteral("clientVersionLabel")), expected.label);
    QCOMPARE(result.value(QStringLiteral("news")), expected.news);
    QCOMPARE(result.value(QStringLiteral("fatalError")), expected.fatalError);
    QCOMPARE(result.value(QStringLiteral("fatalErrors")).toInt(),
             expected.fatalError.isEmpty() ? 0 : 1);
}

void tst_Configuration::unusableServerAnswers_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QString>("versions");
    QTest::addColumn<QString>("fatalError");
    QTest::newRow("version not a number") << QByteArray() << "5x0#Label"
                                          << "Update server returned invalid version nr (5x0)";
    QTest::newRow("no entry for alpha")
        << QByteArray("[Channel]\nalpha=http://alpha.local\n") << "500#S,600#B"
        << "";
    QTest::newRow("empty version for stable") << QByteArray() << ",600#B"
                                              << "";
}

void tst_Configuration::unusableServerAnswers()
{
    QFETCH(QByteArray, ini);
    QFETCH(QString, versions);
    QFETCH(QString, fatalError);
    UpdateServerProcess server;
    QVERIFY2(server.start(versions, serverNews, QString()), qPrintable(server.errorText()));

    const ProbeAppFolder::Result result = runProbe(ini, {QStringLiteral("--nouser")});

    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.value(QStringLiteral("result")), QStringLiteral("0"));
    QCOMPARE(result.value(QStringLiteral("noUserMode")), QStringLiteral("0"));
    QCOMPARE(result.value(QStringLiteral("boxes")), QStringLiteral("0"));
    QCOMPARE(result.value(QStringLiteral("fatalError")), fatalError);
    QCOMPARE(result.value(QStringLiteral("clientVersionLabel")), QString());
}

void tst_Configuration::abandonedQueryEndsWithoutMessage()
{
    // The version list arrives but the news never does; the box is closed, which gives up.
    ScriptedUdpServer server({QByteArray("500#S"), QByteArray()});
    QVERIFY(server.listen(versionPort));

    const ProbeAppFolder::Result result = runProbe(
        QByteArray("[update]\nstreams=2\n"), {QStringLiteral("--nouser"), "t", "0", "L", "N"});

    QCOMPARE(server.requests().size(), 2);
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.value(QStringLiteral("result")), QStringLiteral("0"));
    QCOMPARE(result.value(QStringLiteral("boxes")), QStringLiteral("1"));
    QCOMPARE(result.value(QStringLiteral("boxText")),
             QStringLiteral("Failed to query latest client\nversion from update server."));
    QCOMPARE(result.value(QStringLiteral("fatalErrors")), QStringLiteral("0"));
    QCOMPARE(result.value(QStringLiteral("clientVersion")), QStringLiteral("0"));
    QCOMPARE(result.value(QStringLiteral("clientVersionLabel")), QStringLiteral("L"));
    QCOMPARE(result.value(QStringLiteral("news")), QStringLiteral("N"));
    QCOMPARE(result.value(QStringLiteral("noUserMode")), QStringLiteral("0"));
}

QTEST_MAIN(tst_Configuration)
#include "tst_configuration.moc"

#include "config/configuration.h"
#include "support/probeappfolder.h"
#include "support/treesnapshot.h"

#include <QSignalSpy>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Points the system's temporary folder (QDir::tempPath) somewhere else for one test.
class TempPathOverride
{
public:
    explicit TempPathOverride(const QString& path)
        : saved(qgetenv("TMPDIR"))
    {
        qputenv("TMPDIR", QFile::encodeName(path));
    }
    ~TempPathOverride() { qputenv("TMPDIR", saved); }
    Q_DISABLE_COPY(TempPathOverride)

private:
    const QByteArray saved;
};

mode_t modeOf(const QString& path)
{
    struct stat info;
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return 0;
    return info.st_mode;
}

QByteArray sessionIni(const QString& version, const QString& dir, const QString& type)
{
    QByteArray ini("[current]\n");
    if (!version.isNull())
        ini += "version=" + version.toUtf8() + '\n';
    if (!dir.isNull())
        ini += "dir=" + dir.toUtf8() + '\n';
    if (!type.isNull())
        ini += "type=" + type.toUtf8() + '\n';
    return ini;
}

} // namespace

class tst_LocalState : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void firstCandidateName_data();
    void firstCandidateName();
    void occupiedCandidatesAreSkipped_data();
    void occupiedCandidatesAreSkipped();
    void plantedSymlinksAreNeverUsed();
    void newFolderIsPrivate();
    void noUsableTemporaryFolderIsFatal_data();
    void noUsableTemporaryFolderIsFatal();
    void initalizeStartTakesTheGivenFolder();
    void sessionRecordUsability_data();
    void sessionRecordUsability();
    void sessionRecordWithNullOutParameters();
    void numbersOutOfRangeAreNotNumbers_data();
    void numbersOutOfRangeAreNotNumbers();
    void modifyWritesTheRecord();
    void cleanupLeavesOtherGroups();
    void cleanupWithoutRecordLeavesFileUnchanged();
    void startQorClient_data();
    void startQorClient();
};

void tst_LocalState::initTestCase()
{
    ProbeAppFolder app;
    QVERIFY2(app.isValid(), qPrintable(app.errorText()));
}

void tst_LocalState::firstCandidateName_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::newRow("plain") << QString();
    QTest::newRow("trailing slash") << QStringLiteral("/");
}

void tst_LocalState::firstCandidateName()
{
    QFETCH(QString, suffix);
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    TempPathOverride override(tmp.path() + suffix);
    Configuration config;
    QSignalSpy fatal(&config, &Configuration::fatalError);
    // The folder is recorded before it exists, so a kill in between leaves no folder behind.
    QStringList recorded;
    QVERIFY(config.createTempDir([&recorded](const QString& folder) {
        recorded << folder + (QFileInfo::exists(folder) ? " exists" : "");
    }));

    QCOMPARE(config.tempDir, tmp.path() + QStringLiteral("/vendrel_temp_0"));
    QCOMPARE(recorded, QStringList{config.tempDir});
    QVERIFY(QFileInfo(config.tempDir).isDir());
    QCOMPARE(fatal.count(), 0);
}

void tst_LocalState::occupiedCandidatesAreSkipped_data()
{
    QTest::addColumn<QStringList>("folders");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("expected");

    QStringList tenFolders;
    for (int n = 0; n < 10; ++n)
        tenFolders << QStringLiteral("vendrel_temp_%1").arg(n);
    QTest::newRow("file in the way")
        << QStringList() << QStringList{"vendrel_temp_0"} << "vendrel_temp_1";
    QTest::newRow("0 to 9 taken") << tenFolders << QStringList() << "vendrel_temp_10";
    QTest::newRow("gap is filled") << QStringList{"vendrel_temp_0", "vendrel_temp_2"}
                                   << QStringList{"vendrel_temp_1"} << "vendrel_temp_3";
}

void tst_LocalState::occupiedCandidatesAreSkipped()
{
    QFETCH(QStringList, folders);
    QFETCH(QStringList, files);
    QFETCH(QString, expected);
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    for (const QString& folder : folders)
        QVERIFY(QDir(tmp.path()).mkdir(folder));
    for (const QString& file : files)
        QVERIFY(writeFile(tmp.path(), file, "occupied"));
    const TreeSnapshot before = TreeSnapshot::take(tmp.path());
    TempPathOverride override(tmp.path());
    Configuration config;

    QVERIFY(config.createTempDir());

    QCOMPARE(config.tempDir, tmp.path() + QLatin1Char('/') + expected);
    TreeSnapshot after = TreeSnapshot::take(tmp.path());
    after.entries.remove(expected);
    QVERIFY2(after == before, qPrintable(before.diff(after)));
}

void tst_LocalState::plantedSymlinksAreNeverUsed()
{
    QTemporaryDir tmp;
    QTemporaryDir attacker;
    QVERIFY(tmp.isValid() && attacker.isValid());
    // A link to a folder someone else reads, and a dangling link whose target mkpath-style
    // creation would bring into being.
    QVERIFY(QFile::link(attacker.path(), tmp.path() + QStringLiteral("/vendrel_temp_0")));
    const QString dangling = attacker.path() + QStringLiteral("/later");
    QVERIFY(QFile::link(dangling, tmp.path() + QStringLiteral("/vendrel_temp_1")));
    TempPathOverride override(tmp.path());
    Configuration config;

    QVERIFY(config.createTempDir());

    QCOMPARE(config.tempDir, tmp.path() + QStringLiteral("/vendrel_temp_2"));
    QVERIFY(!S_ISLNK(modeOf(config.tempDir)));
    QVERIFY(!QFileInfo::exists(dangling));
    QVERIFY(QDir(attacker.path()).isEmpty());
}

void tst_LocalState::newFolderIsPrivate()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    TempPathOverride override(tmp.path());
    const mode_t savedMask = ::umask(0);
    Configuration config;
    const bool created = config.createTempDir();
    ::umask(savedMask);

    QVERIFY(created);
    const mode_t mode = modeOf(config.tempDir);
    QVERIFY(S_ISDIR(mode));
    QCOMPARE(int(mode & 07777), 0700);
}

void tst_LocalState::noUsableTemporaryFolderIsFatal_data()
{
    QTest::addColumn<bool>("tempPathExists");
    QTest::addColumn<QString>("expected");
    QTest::newRow("temp path missing") << false << "Unable to get temp directory.";
    QTest::newRow("all candidates taken") << true << "Unable to create temp directory.";
}

void tst_LocalState::noUsableTemporaryFolderIsFatal()
{
    QFETCH(bool, tempPathExists);
    QFETCH(QString, expected);
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    if (tempPathExists) {
        for (int n = 0; n < 1000; ++n)
            QVERIFY(QDir(tmp.path()).mkdir(QStringLiteral("vendrel_temp_%1").arg(n)));
    }
    TempPathOverride override(tempPathExists ? tmp.path()
                                             : tmp.path() + QStringLiteral("/missing"));
    Configuration config;
    config.tempDir = QStringLiteral("unchanged");
    QSignalSpy fatal(&config, &Configuration::fatalError);

    QVERIFY(!config.createTempDir());

    QCOMPARE(fatal.count(), 1);
    QCOMPARE(fatal.at(0).at(0).toString(), expected);
    QCOMPARE(config.tempDir, QStringLiteral("unchanged"));
    QCOMPARE(QDir(tmp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size(),
             tempPathExists ? 1000 : 0);
}

void tst_LocalState::initalizeStartTakesTheGivenFolder()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    TempPathOverride override(tmp.path());
    Configuration config;
    const QString missing = tmp.path() + QStringLiteral("/does/not/exist");

    QVERIFY(config.initalizeStart(missing));
    QCOMPARE(config.tempDir, missing);
    QVERIFY(!QFileInfo::exists(missing));
    QVERIFY(QDir(tmp.path()).isEmpty());

    QVERIFY(config.initalizeStart(QString()));
    QCOMPARE(config.tempDir, tmp.path() + QStringLiteral("/vendrel_temp_0"));
}

void tst_LocalState::sessionRecordUsability_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("folderKind");
    QTest::addColumn<QString>("location");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("type");
    QTest::addColumn<bool>("usable");

    const QString type = QStringLiteral("client_linux_x86");
    const QString temp = QStringLiteral("temp");
    const QString first = QStringLiteral("vendrel_temp_0");
    QTest::newRow("complete") << "1234"
                              << "folder" << temp << first << type << true;
    QTest::newRow("folder deleted") << "1234"
                                    << "missing" << temp << first << type << false;
    QTest::newRow("no type") << "1234"
                             << "folder" << temp << first << QString() << false;
    QTest::newRow("empty type") << "1234"
                                << "folder" << temp << first << QString("") << false;
    QTest::newRow("version not a number") << "12a"
                                          << "folder" << temp << first << type << false;
    QTest::newRow("no version") << QString() << "folder" << temp << first << type << false;
    QTest::newRow("no dir") << "1234"
                            << "none" << temp << first << type << false;
    QTest::newRow("dir is a symlink to a folder") << "1234"
                                                  << "symlink" << temp << first << type << false;
    QTest::newRow("dir is a file") << "1234"
                                   << "file" << temp << first << type << false;
    QTest::newRow("dir of another user") << "1234"
                                         << "foreign" << temp << first << type << false;

    // Only the folders the updater makes itself may be named: the engine empties them.
    QTest::newRow("number 12") << "1234"
                               << "folder" << temp << "vendrel_temp_12" << type << true;
    QTest::newRow("number 999") << "1234"
                                << "folder" << temp << "vendrel_temp_999" << type << true;
    // The record must already be in the form the engine removes.
    QTest::newRow("trailing slash") << "1234"
                                    << "folder" << temp << "vendrel_temp_3/" << type << false;
    QTest::newRow("trailing /.") << "1234"
                                 << "folder" << temp << "vendrel_temp_3/." << type << false;
    QTest::newRow("trailing //") << "1234"
                                 << "folder" << temp << "vendrel_temp_3//" << type << false;
    QTest::newRow("in the application folder") << "1234"
                                               << "folder"
                                               << "app" << first << type << false;
    QTest::newRow("in another temporary folder") << "1234"
                                                 << "folder"
                                                 << "other" << first << type << false;
    QTest::newRow("in a sub-folder of the temporary folder")
        << "1234"
        << "folder" << temp << "sub/vendrel_temp_0" << type << false;
    QTest::newRow("back out with ..")
        << "1234"
        << "folder" << temp << "sub/../vendrel_temp_0" << type << false;
    QTest::newRow("the temporary folder itself") << "1234"
                                                 << "folder" << temp << "" << type << false;
    QTest::newRow("letters") << "1234"
                             << "folder" << temp << "vendrel_temp_x" << type << false;
    QTest::newRow("leading zero") << "1234"
                                  << "folder" << temp << "vendrel_temp_01" << type << false;
    QTest::newRow("no number") << "1234"
                               << "folder" << temp << "vendrel_temp_" << type << false;
    QTest::newRow("number 1000") << "1234"
                                 << "folder" << temp << "vendrel_temp_1000" << type << false;
    QTest::newRow("sign") << "1234"
                          << "folder" << temp << "vendrel_temp_+1" << type << false;
    QTest::newRow("other name") << "1234"
                                << "folder" << temp << "other" << type << false;
}

void tst_LocalState::sessionRecordUsability()
{
    QFETCH(QString, version);
    QFETCH(QString, folderKind);
    QFETCH(QString, location);
    QFETCH(QString, name);
    QFETCH(QString, type);
    QFETCH(bool, usable);
    ProbeAppFolder app;
    QVERIFY2(app.isValid(), qPrintable(app.errorText()));
    QTemporaryDir tmp;
    QTemporaryDir other;
    QVERIFY(tmp.isValid() && other.isValid());
    const QString base = location == QLatin1String("app")     ? app.path()
                         : location == QLatin1String("other") ? other.path()
                                                              : tmp.path();
    const QString dir = base + QLatin1Char('/') + name;
    const QString elsewhere = other.path() + QStringLiteral("/elsewhere");

    if (folderKind == QLatin1String("folder") || folderKind == QLatin1String("foreign")) {
        // The first step of the name exists too, so that "sub/../" leads somewhere.
        if (name.contains(QLatin1Char('/')))
            QVERIFY(QDir(base).mkpath(name.section(QLatin1Char('/'), 0, 0)));
        QVERIFY(QDir().mkpath(dir));
    } else if (folderKind == QLatin1String("symlink")) {
        QVERIFY(QDir().mkdir(elsewhere));
        QVERIFY(QFile::link(elsewhere, dir));
    } else if (folderKind == QLatin1String("file")) {
        QVERIFY(writeFile(base, name, "x"));
    }
    if (folderKind == QLatin1String("foreign")) {
        if (::getuid() != 0)
            QSKIP("only root can hand a folder to another user");
        QCOMPARE(::chown(QFile::encodeName(dir).constData(), 65534, 65534), 0);
    }
    QVERIFY(writeFile(
        app.path(), QStringLiteral("update.ini"),
        sessionIni(version, folderKind == QLatin1String("none") ? QString() : dir, type)));

    const ProbeAppFolder::Result result =
        app.run(QStringLiteral("session-get"), {}, {{QStringLiteral("TMPDIR"), tmp.path()}});

    QCOMPARE(result.value(QStringLiteral("result")), usable ? "1" : "0");
    QCOMPARE(result.exitCode, usable ? 0 : 1);
    if (usable) {
        QCOMPARE(result.value(QStringLiteral("version")), version);
        QCOMPARE(result.value(QStringLiteral("dir")), dir);
        QCOMPARE(result.value(QStringLiteral("type")), type);
    } else {
        QCOMPARE(result.value(QStringLiteral("version")), QStringLiteral("-7"));
        QCOMPARE(result.value(QStringLiteral("dir")), QStringLiteral("unset"));
        QCOMPARE(result.value(QStringLiteral("type")), QStringLiteral("unset"));
    }
}

void tst_LocalState::sessionRecordWithNullOutParameters()
{
    ProbeAppFolder app;
    QVERIFY2(app.isValid(), qPrintable(app.errorText()));
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString dir = tmp.path() + QStringLiteral("/vendrel_temp_5");
    QVERIFY(QDir().mkdir(dir));
    QVERIFY(writeFile(app.path(), QStringLiteral("update.ini"),
                      sessionIni(QStringLiteral("5"), dir, QStringLiteral("t"))));
    const QMap<QString, QString> allNull{
        {QStringLiteral("CONFIGPROBE_NULLS"), QStringLiteral("version,type,dir")},
        {QStringLiteral("TMPDIR"), tmp.path()}};

    QCOMPARE(app.run(QStringLiteral("session-get"), {}, allNull).value("result"), "1");

    QVERIFY(QDir().rmdir(dir));
    QCOMPARE(app.run(QStringLiteral("session-get"), {}, allNull).value("result"), "0");
}

void tst_LocalState::numbersOutOfRangeAreNotNumbers_data()
{
    QTest::addColumn<QString>("number");
    // What "streams", "alphaRevno" and the session record's "version" then give: a number that
    // is not one gives 6 streams, leaves the version of the command line (7) and makes the
    // record unusable.
    QTest::addColumn<int>("streams");
    QTest::addColumn<int>("version");
    QTest::addColumn<bool>("usable");
    QTest::newRow("12") << "12" << 12 << 12 << true;
    QTest::newRow("largest") << "2147483647" << 2147483647 << 2147483647 << true;
    QTest::newRow("one more") << "2147483648" << 6 << 7 << false;
    QTest::newRow("2^32 + 2") << "4294967298" << 6 << 7 << false;
    QTest::newRow("eleven digits") << "99999999999" << 6 << 7 << false;
    QTest::newRow("below the smallest") << "-2147483649" << 6 << 7 << false;
    QTest::newRow("beyond 64 bits") << "18446744073709551618" << 6 << 7 << false;
}

void tst_LocalState::numbersOutOfRangeAreNotNumbers()
{
    QFETCH(QString, number);
    QFETCH(int, streams);
    QFETCH(int, version);
    QFETCH(bool, usable);
    ProbeAppFolder app;
    QVERIFY2(app.isValid(), qPrintable(app.errorText()));
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString dir = tmp.filePath(QStringLiteral("vendrel_temp_0"));
    QVERIFY(QDir().mkdir(dir));
    QVERIFY(writeFile(app.path(), QStringLiteral("update.ini"),
                      sessionIni(number, dir, QStringLiteral("client_linux_x86")) +
                          "[update]\nstreams=" + number.toUtf8() +
                          "\n[Channel]\nalpha=http://alpha.local\nalphaRevno=" + number.toUtf8() +
                          '\n'));

    const ProbeAppFolder::Result parsed =
        app.run(QStringLiteral("parse"), {QStringLiteral("client_linux_x86"), QStringLiteral("7")});
    const ProbeAppFolder::Result record =
        app.run(QStringLiteral("session-get"), {}, {{QStringLiteral("TMPDIR"), tmp.path()}});

    QCOMPARE(parsed.value(QStringLiteral("result")), QStringLiteral("1"));
    QCOMPARE(parsed.value(QStringLiteral("downloadConcurrency")).toInt(), streams);
    QCOMPARE(parsed.value(QStringLiteral("clientVersion")).toInt(), version);
    QCOMPARE(record.value(QStringLiteral("result")), usable ? "1" : "0");
    QCOMPARE(record.value(QStringLiteral("version")), usable ? number : QStringLiteral("-7"));
}

void tst_LocalState::modifyWritesTheRecord()
{
    ProbeAppFolder app;
    QVERIFY2(app.isValid(), qPrintable(app.errorText()));
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString filename = app.run(QStringLiteral("filename")).value(QStringLiteral("filename"));
    QCOMPARE(filename, app.updateIniPath());
    QVERIFY(!QFileInfo::exists(filename));

    const QString dir = tmp.path() + QStringLiteral("/vendrel_temp_4");
    QVERIFY(QDir().mkdir(dir));
    const QMap<QString, QString> tempPath{{QStringLiteral("TMPDIR"), tmp.path()}};

    QCOMPARE(app.run(QStringLiteral("session-modify"),
                     {QStringLiteral("4321"), dir, QStringLiteral("client_x")})
                 .exitCode,
             0);

    QSettings written(filename, QSettings::IniFormat);
    QCOMPARE(written.childGroups(), QStringList{QStringLiteral("current")});
    QCOMPARE(written.value(QStringLiteral("current/version")).toInt(), 4321);
    QCOMPARE(written.value(QStringLiteral("current/dir")).toString(), dir);
    QCOMPARE(written.value(QStringLiteral("current/type")).toString(), QStringLiteral("client_x"));
    const ProbeAppFolder::Result result = app.run(QStringLiteral("session-get"), {}, tempPath);
    QCOMPARE(result.value(QStringLiteral("result")), QStringLiteral("1"));
    QCOMPARE(result.value(QStringLiteral("version")), QStringLiteral("4321"));
}

void tst_LocalState::cleanupLeavesOtherGroups()
{
    ProbeAppFolder app;
    QVERIFY2(app.isValid(), qPrintable(app.errorText()));
    QVERIFY(writeFile(app.path(), QStringLiteral("update.ini"),
                      "[update]\nproxy=http://proxy:3128\nstreams=3\n"
                      "[current]\nversion=7\ndir=/tmp/x\ntype=t\n"
                      "[Channel]\nalpha=http://alpha\nbeta=true\nalphaRevno=12\n"));
    // What a save killed before its rename leaves, and names that are not such leftovers.
    const QDir folder(app.path());
    for (const char* name : {"update.ini.mqNcyb", "update.ini.mqNcy1", "update.ini.bak", "kept"})
        QVERIFY(writeFile(app.path(), QString::fromLatin1(name), "[current]\n"));
    QVERIFY(QFile::link(folder.filePath("kept"), folder.filePath("update.ini.AbCdEf")));

    QCOMPARE(app.run(QStringLiteral("session-cleanup")).exitCode, 0);

    QCOMPARE(folder.entryList({"update.ini.*"}, QDir::Files | QDir::System),
             (QStringList{"update.ini.AbCdEf", "update.ini.bak", "update.ini.mqNcy1"}));
    QVERIFY(QFileInfo::exists(folder.filePath("kept")));

    QSettings after(app.updateIniPath(), QSettings::IniFormat);
    QCOMPARE(after.childGroups(), (QStringList{"Channel", "update"}));
    QCOMPARE(after.value(QStringLiteral("update/proxy")).toString(),
             QStringLiteral("http://proxy:3128"));
    QCOMPARE(after.value(QStringLiteral("update/streams")).toInt(), 3);
    QCOMPARE(after.value(QStringLiteral("Channel/alpha")).toString(),
             QStringLiteral("http://alpha"));
    QCOMPARE(after.value(QStringLiteral("Channel/beta")).toBool(), true);
    QCOMPARE(after.value(QStringLiteral("Channel/alphaRevno")).toInt(), 12);
}

void tst_LocalState::cleanupWithoutRecordLeavesFileUnchanged()
{
    ProbeAppFolder app;
    QVERIFY2(app.isValid(), qPrintable(app.errorText()));
    const QByteArray ini("[update]\nstreams=3\n\n[Channel]\nbeta=true\n");
    QVERIFY(writeFile(app.path(), QStringLiteral("update.ini"), ini));

    QCOMPARE(app.run(QStringLiteral("session-cleanup")).exitCode, 0);

    QCOMPARE(readFile(app.updateIniPath()), ini);
}

void tst_LocalState::startQorClient_data()
{
    QTest::addColumn<QString>("folderName");
    QTest::addColumn<bool>("withScript");
    QTest::newRow("with script") << "app" << true;
    QTest::newRow("folder name with a space") << "my app" << true;
    QTest::newRow("script missing") << "app" << false;
}

void tst_LocalState::startQorClient()
{
    QFETCH(QString, folderName);
    QFETCH(bool, withScript);
    ProbeAppFolder app(folderName);
    QVERIFY2(app.isValid(), qPrintable(app.errorText()));
    const QString marker = app.path() + QStringLiteral("/started");
    if (withScript) {
        const QString script = app.path() + QStringLiteral("/qorclient_runscript.sh");
        QVERIFY(writeFile(app.path(), QStringLiteral("qorclient_runscript.sh"),
                          "#!/bin/sh\necho \"$#\" > \"$(dirname \"$0\")/started\"\n"));
        QVERIFY(QFile::setPermissions(script, QFile::permissions(script) | QFile::ExeOwner));
    }

    const ProbeAppFolder::Result result = app.run(QStringLiteral("start-client"));

    // A missing script is not reported: the probe goes on and ends normally.
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.values.keys(), QStringList{QStringLiteral("started")});
    // The script runs detached; it was given no arguments.
    if (withScript)
        QTRY_COMPARE(readFile(marker), QByteArray("0\n"));
}

QTEST_MAIN(tst_LocalState)
#include "tst_localstate.moc"

#include "net/mirrors.h"
#include "support/randomdraw.h"
#include "support/treesnapshot.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const int version = 7;

// Writes text to a file named name in dir and returns its path (empty on failure).
QString writeIni(const QTemporaryDir& dir, const QString& name, const QByteArray& text)
{
    return writeFile(dir.path(), name, text) ? dir.filePath(name) : QString();
}

FTPSiteAccessData site(const QString& name, int maxConnections, int inUse = 0, int retries = 2)
{
    FTPSiteAccessData s;
    s.name = name;
    s.url = QStringLiteral("http://") + name + QStringLiteral("/7");
    s.maxConnections = maxConnections;
    s.inUse = inUse;
    s.retries = retries;
    return s;
}

} // namespace

class tst_Mirrors : public QObject
{
    Q_OBJECT

private slots:
    void loadsOneMirror_data();
    void loadsOneMirror();
    void keepsFileOrderAndSkipsUnaddressableNames();
    void nameWithoutGroupGetsDefaults();
    void missingFileOrEmptyArrayGivesEmptyList();
    void emptyListIsReportedOnce();
    void alphaMirror_data();
    void alphaMirror();
    void missingAlphaAddressIsFatal();
    void pickIsWeightedByFreeSlots();
    void mirrorWithoutFreeSlotIsNeverPicked();
    void reservationIsCountedInTheCopy();
    void allSlotsBusyGivesTwoAndChangesNothing();
    void releasedSlotCanBePickedAgain();
    void errorsBeyondRetriesRemoveTheMirror_data();
    void errorsBeyondRetriesRemoveTheMirror();
    void unknownNamesChangeNothing();
    void removedMirrorTakesItsSlots();
};

void tst_Mirrors::loadsOneMirror_data()
{
    QTest::addColumn<QByteArray>("group");
    QTest::addColumn<QString>("expectedUrl");
    QTest::addColumn<int>("expectedSlots");
    QTest::addColumn<int>("expectedRetries");

    QTest::newRow("lower-case http, no trailing slash")
        << QByteArray("url=http://a.example/files\nretries=5\n")
        << QStringLiteral("http://a.example/files/7") << 3 << 5;
    QTest::newRow("mixed-case https, trailing slash")
        << QByteArray("url=HtTpS://b.example/\n") << QStringLiteral("HtTpS://b.example/7") << 3
        << 2;
    QTest::newRow("upper-case HTTP")
        << QByteArray("url=HTTP://c.example\n") << QStringLiteral("HTTP://c.example/7") << 3 << 2;
    QTest::newRow("ftp scheme") << QByteArray("url=ftp://d.example/pub\n")
                                << QStringLiteral("ftp://d.example/pub/7") << 1 << 2;
    QTest::newRow("no scheme") << QByteArray("url=e.example/\n") << QStringLiteral("e.example/7")
                               << 1 << 2;
    QTest::newRow("http without colon")
        << QByteArray("url=httpx//f.example\n") << QStringLiteral("httpx//f.example/7") << 1 << 2;
    QTest::newRow("missing url") << QByteArray("retries=3\n") << QStringLiteral("/7") << 1 << 3;
    QTest::newRow("retries 0") << QByteArray("url=http://g\nretries=0\n")
                               << QStringLiteral("http://g/7") << 3 << 2;
    QTest::newRow("retries -1") << QByteArray("url=http://g\nretries=-1\n")
                                << QStringLiteral("http://g/7") << 3 << 2;
    QTest::newRow("retries word") << QByteArray("url=http://g\nretries=many\n")
                                  << QStringLiteral("http://g/7") << 3 << 2;
    QTest::newRow("retries beyond 32 bits signed")
        << QByteArray("url=http://g\nretries=3000000000\n") << QStringLiteral("http://g/7") << 3
        << 2;
    QTest::newRow("retries 1") << QByteArray("url=http://g\nretries=1\n")
                               << QStringLiteral("http://g/7") << 3 << 1;
}

void tst_Mirrors::loadsOneMirror()
{
    QFETCH(QByteArray, group);
    QFETCH(QString, expectedUrl);
    QFETCH(int, expectedSlots);
    QFETCH(int, expectedRetries);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = writeIni(dir, QStringLiteral("mirrors.ini"),
                                  "[mirrors]\n1\\mirror=one\nsize=1\n\n[one]\n" + group);

    Mirrors mirrors(nullptr);
    QSignalSpy messages(&mirrors, &Mirrors::message);
    QVERIFY(mirrors.initDefault(path, version));
    QCOMPARE(mirrors.mirrorList.size(), 1);
    const FTPSiteAccessData& m = mirrors.mirrorList.first();
    QCOMPARE(m.name, QStringLiteral("one"));
    QCOMPARE(m.url, expectedUrl);
    QCOMPARE(m.maxConnections, expectedSlots);
    QCOMPARE(m.retries, expectedRetries);
    QCOMPARE(m.timeoutTicks, 15);
    QCOMPARE(m.errorCount, 0);
    QCOMPARE(m.inUse, 0);
    QCOMPARE(messages.count(), 0);
}

void tst_Mirrors::keepsFileOrderAndSkipsUnaddressableNames()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = writeIni(dir, QStringLiteral("mirrors.ini"),
                                  "[mirrors]\n1\\mirror=zeta\n2\\mirror=alpha\n3\\mirror=\n"
                                  "4\\mirror=zeta\n5\\mirror=mid\nsize=5\n\n"
                                  "[zeta]\nurl=http://z\n[alpha]\nurl=http://a\n"
                                  "[mid]\nurl=ftp://m\n");
    Mirrors mirrors(nullptr);
    QVERIFY(mirrors.initDefault(path, version));
    QStringList names;
    for (const FTPSiteAccessData& m : mirrors.mirrorList)
        names << m.name;
    QCOMPARE(names, QStringList({"zeta", "alpha", "mid"}));
    QCOMPARE(mirrors.getMirrorIndex(QStringLiteral("mid")), 2);
    QCOMPARE(mirrors.getMirrorIndex(QStringLiteral("Zeta")), -1);
    QCOMPARE(mirrors.getMirrorIndex(QString()), -1);
}

void tst_Mirrors::nameWithoutGroupGetsDefaults()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path =
        writeIni(dir, QStringLiteral("mirrors.ini"), "[mirrors]\n1\\mirror=lonely\nsize=1\n");
    Mirrors mirrors(nullptr);
    QVERIFY(mirrors.initDefault(path, version));
    QCOMPARE(mirrors.mirrorList.size(), 1);
    QCOMPARE(mirrors.mirrorList.first().url, QStringLiteral("/7"));
    QCOMPARE(mirrors.mirrorList.first().retries, 2);
    QCOMPARE(mirrors.mirrorList.first().maxConnections, 1);
}

void tst_Mirrors::missingFileOrEmptyArrayGivesEmptyList()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Mirrors missing(nullptr);
    QSignalSpy missingMessages(&missing, &Mirrors::message);
    QVERIFY(missing.initDefault(dir.filePath(QStringLiteral("none.ini")), version));
    QVERIFY(missing.mirrorList.isEmpty());

    const QString path = writeIni(dir, QStringLiteral("mirrors.ini"),
                                  "[mirrors]\nsize=0\n\n[one]\nurl=http://one\n");
    Mirrors empty(nullptr);
    QSignalSpy emptyMessages(&empty, &Mirrors::message);
    QVERIFY(empty.initDefault(path, version));
    QVERIFY(empty.mirrorList.isEmpty());
    QCOMPARE(missingMessages.count() + emptyMessages.count(), 0);
}

void tst_Mirrors::emptyListIsReportedOnce()
{
    Mirrors mirrors(nullptr);
    QSignalSpy messages(&mirrors, &Mirrors::message);
    FTPSiteAccessData out;
    out.name = QStringLiteral("untouched");
    QCOMPARE(mirrors.getRandomMirror(out), int(Mirrors::NoMirrorLeft));
    QCOMPARE(mirrors.getRandomMirror(out), int(Mirrors::NoMirrorLeft));
    QCOMPARE(mirrors.getRandomMirror(out), int(Mirrors::NoMirrorLeft));
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.first().first().toString(),
             QStringLiteral("There are no (more) known working mirrors available"));
    QVERIFY(mirrors.noMirrorsReported);
    QCOMPARE(out.name, QStringLiteral("untouched"));
}

void tst_Mirrors::alphaMirror_data()
{
    QTest::addColumn<QByteArray>("address");
    QTest::addColumn<QString>("expectedUrl");

    QTest::newRow("without trailing slash") << QByteArray("http://alpha.example/builds")
                                            << QStringLiteral("http://alpha.example/builds/7");
    QTest::newRow("with trailing slash") << QByteArray("http://alpha.example/builds/")
                                         << QStringLiteral("http://alpha.example/builds/7");
}

void tst_Mirrors::alphaMirror()
{
    QFETCH(QByteArray, address);
    QFETCH(QString, expectedUrl);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // A mirrors.ini next to it must not be read on this path.
    writeIni(dir, QStringLiteral("mirrors.ini"),
             "[mirrors]\n1\\mirror=one\nsize=1\n[one]\nurl=http://one\n");
    const QString path = writeIni(dir, QStringLiteral("update.ini"),
                                  "[Channel]\nalpha=" + address + "\nalphaRevno=7\n");
    Mirrors mirrors(nullptr);
    QSignalSpy fatal(&mirrors, &Mirrors::fatalError);
    QVERIFY(mirrors.initAlpha(path, version));
    QCOMPARE(fatal.count(), 0);
    QCOMPARE(mirrors.mirrorList.size(), 1);
    const FTPSiteAccessData& m = mirrors.mirrorList.first();
    QCOMPARE(m.name, QStringLiteral("Alpha Channel"));
    QCOMPARE(m.url, expectedUrl);
    QCOMPARE(m.retries, 4);
    QCOMPARE(m.maxConnections, 1);
    QCOMPARE(m.timeoutTicks, 15);
}

void tst_Mirrors::missingAlphaAddressIsFatal()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = writeIni(dir, QStringLiteral("update.ini"), "[Channel]\nalpha=\nbeta=1\n");
    Mirrors mirrors(nullptr);
    QSignalSpy fatal(&mirrors, &Mirrors::fatalError);
    QVERIFY(!mirrors.initAlpha(path, version));
    QCOMPARE(fatal.count(), 1);
    QCOMPARE(fatal.first().first().toString(),
             QStringLiteral("Alpha parameter in channel section in update ini file not found"));
    QVERIFY(mirrors.mirrorList.isEmpty());
}

void tst_Mirrors::pickIsWeightedByFreeSlots()
{
    // 3 and 1 free slots: each free slot is equally likely, so the first mirror wins 3 in 4.
    Mirrors mirrors(nullptr);
    mirrors.mirrorList << site(QStringLiteral("three"), 3) << site(QStringLiteral("one"), 1);
    seedRandomDraw(20261208);
    const int draws = 8000;
    int first = 0;
    for (int i = 0; i < draws; ++i) {
        FTPSiteAccessData out;
        QCOMPARE(mirrors.getRandomMirror(out), int(Mirrors::MirrorReserved));
        if (out.name == QLatin1String("three"))
            ++first;
        mirrors.releaseMirror(out.name);
    }
    const double share = double(first) / draws;
    QVERIFY2(share > 0.72 && share < 0.78, qPrintable(QString::number(share)));
    QCOMPARE(mirrors.mirrorList.at(0).inUse, 0);
    QCOMPARE(mirrors.mirrorList.at(1).inUse, 0);
}

void tst_Mirrors::mirrorWithoutFreeSlotIsNeverPicked()
{
    Mirrors mirrors(nullptr);
    mirrors.mirrorList << site(QStringLiteral("full"), 3, 3) << site(QStringLiteral("free"), 3)
                       << site(QStringLiteral("alsofull"), 1, 1);
    seedRandomDraw(1);
    for (int i = 0; i < 200; ++i) {
        FTPSiteAccessData out;
        QCOMPARE(mirrors.getRandomMirror(out), int(Mirrors::MirrorReserved));
        QCOMPARE(out.name, QStringLiteral("free"));
        mirrors.releaseMirror(out.name);
    }
}

void tst_Mirrors::reservationIsCountedInTheCopy()
{
    Mirrors mirrors(nullptr);
    mirrors.mirrorList << site(QStringLiteral("only"), 3, 1, 5);
    mirrors.mirrorList[0].errorCount = 2;
    FTPSiteAccessData out;
    QCOMPARE(mirrors.getRandomMirror(out), int(Mirrors::MirrorReserved));
    QCOMPARE(out.name, QStringLiteral("only"));
    QCOMPARE(out.url, QStringLiteral("http://only/7"));
    QCOMPARE(out.inUse, 2);
    QCOMPARE(out.errorCount, 2);
    QCOMPARE(out.retries, 5);
    QCOMPARE(out.maxConnections, 3);
    QCOMPARE(mirrors.mirrorList.at(0).inUse, 2);

    int capacity = -1;
    int used = -1;
    mirrors.calcUseStats(capacity, used);
    QCOMPARE(capacity, 3);
    QCOMPARE(used, 2);
}

void tst_Mirrors::allSlotsBusyGivesTwoAndChangesNothing()
{
    Mirrors mirrors(nullptr);
    mirrors.mirrorList << site(QStringLiteral("a"), 3) << site(QStringLiteral("b"), 1);
    for (int i = 0; i < 4; ++i) {
        FTPSiteAccessData out;
        QCOMPARE(mirrors.getRandomMirror(out), int(Mirrors::MirrorReserved));
    }
    QSignalSpy messages(&mirrors, &Mirrors::message);
    FTPSiteAccessData out;
    out.name = QStringLiteral("untouched");
    QCOMPARE(mirrors.getRandomMirror(out), int(Mirrors::AllSlotsInUse));
    QCOMPARE(out.name, QStringLiteral("untouched"));
    QCOMPARE(mirrors.mirrorList.at(0).inUse, 3);
    QCOMPARE(mirrors.mirrorList.at(1).inUse, 1);
    QCOMPARE(messages.count(), 0);
}

void tst_Mirrors::releasedSlotCanBePickedAgain()
{
    Mirrors mirrors(nullptr);
    mirrors.mirrorList << site(QStringLiteral("a"), 3, 3) << site(QStringLiteral("b"), 1, 1);
    mirrors.releaseMirror(QStringLiteral("b"));
    seedRandomDraw(42);
    FTPSiteAccessData out;
    QCOMPARE(mirrors.getRandomMirror(out), int(Mirrors::MirrorReserved));
    QCOMPARE(out.name, QStringLiteral("b"));
    QCOMPARE(mirrors.getRandomMirror(out), int(Mirrors::AllSlotsInUse));
}

void tst_Mirrors::errorsBeyondRetriesRemoveTheMirror_data()
{
    QTest::addColumn<int>("retries");
    QTest::addColumn<QString>("name");

    QTest::newRow("default of 2") << 2 << QStringLiteral("plain");
    QTest::newRow("one tolerated") << 1 << QStringLiteral("fragile");
    QTest::newRow("alpha's 4") << 4 << QStringLiteral("Alpha Channel");
}

void tst_Mirrors::errorsBeyondRetriesRemoveTheMirror()
{
    QFETCH(int, retries);
    QFETCH(QString, name);

    Mirrors mirrors(nullptr);
    mirrors.mirrorList << site(QStringLiteral("other"), 1) << site(name, 3, 0, retries);
    QSignalSpy messages(&mirrors, &Mirrors::message);
    for (int i = 1; i <= retries; ++i) {
        mirrors.addMirrorError(name);
        QCOMPARE(mirrors.getMirrorIndex(name), 1);
        QCOMPARE(mirrors.mirrorList.at(1).errorCount, i);
    }
    QCOMPARE(messages.count(), 0);
    mirrors.addMirrorError(name);
    QCOMPARE(mirrors.getMirrorIndex(name), -1);
    QCOMPARE(mirrors.mirrorList.size(), 1);
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.first().first().toString(),
             QStringLiteral("Mirror %1 failed too many times, removing").arg(name));
    mirrors.addMirrorError(name);
    QCOMPARE(messages.count(), 1);
    QCOMPARE(mirrors.mirrorList.size(), 1);
    QCOMPARE(mirrors.mirrorList.first().errorCount, 0);
}

void tst_Mirrors::unknownNamesChangeNothing()
{
    Mirrors mirrors(nullptr);
    mirrors.mirrorList << site(QStringLiteral("a"), 3, 2) << site(QStringLiteral("b"), 1, 1);
    QSignalSpy messages(&mirrors, &Mirrors::message);
    for (const QString& name : {QString(), QStringLiteral("A"), QStringLiteral("c")}) {
        mirrors.releaseMirror(name);
        mirrors.addMirrorError(name);
        mirrors.addMirrorError(name);
        mirrors.addMirrorError(name);
        mirrors.removeMirror(name);
    }
    QCOMPARE(mirrors.mirrorList.size(), 2);
    QCOMPARE(mirrors.mirrorList.at(0).inUse, 2);
    QCOMPARE(mirrors.mirrorList.at(1).inUse, 1);
    QCOMPARE(mirrors.mirrorList.at(0).errorCount, 0);
    QCOMPARE(messages.count(), 0);
}

void tst_Mirrors::removedMirrorTakesItsSlots()
{
    Mirrors mirrors(nullptr);
    mirrors.mirrorList << site(QStringLiteral("a"), 3, 3) << site(QStringLiteral("b"), 1);
    mirrors.removeMirror(QStringLiteral("a"));
    mirrors.releaseMirror(QStringLiteral("a"));
    int capacity = 0;
    int used = 0;
    mirrors.calcUseStats(capacity, used);
    QCOMPARE(capacity, 1);
    QCOMPARE(used, 0);
    FTPSiteAccessData out;
    QCOMPARE(mirrors.getRandomMirror(out), int(Mirrors::MirrorReserved));
    QCOMPARE(out.name, QStringLiteral("b"));
    mirrors.removeMirror(QStringLiteral("b"));
    QSignalSpy messages(&mirrors, &Mirrors::message);
    QCOMPARE(mirrors.getRandomMirror(out), int(Mirrors::NoMirrorLeft));
    QCOMPARE(messages.count(), 1);
}

QTEST_GUILESS_MAIN(tst_Mirrors)
#include "tst_mirrors.moc"

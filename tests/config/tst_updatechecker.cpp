#include "config/configuration.h"
#include "config/updatechecker.h"
#include "support/messageboxanswerer.h"
#include "support/scriptedudpserver.h"
#include "support/updateserverprocess.h"

#include <QElapsedTimer>
#include <QtTest>

namespace {

const quint16 versionPort = 17384;
const QString boxText =
    QStringLiteral("Failed to query latest client\nversion from update server.");

QByteArray request(char command)
{
    return QByteArray(1, command) + '\0';
}

} // namespace

class tst_UpdateChecker : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void replyParsing_data();
    void replyParsing();
    void newsReplyIsCutAtItsLimitAndAtAZeroByte();
    void eachTimeoutOffersRetryWithAFreshExchange();
    void answeredQueryShowsNoBox();
};

void tst_UpdateChecker::initTestCase()
{
    if (!UpdateServerProcess::serverHostIsLoopback())
        QSKIP("UPDATE_SERVER_HOST does not name this machine");
}

void tst_UpdateChecker::replyParsing_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("entries");
    QTest::addColumn<int>("channel");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("label");

    const QByteArray three("100#Stable one,101#Beta,102#Alpha build");
    QTest::newRow("stable") << three << 3 << 0 << "100"
                            << "Stable one";
    QTest::newRow("beta") << three << 3 << 1 << "101"
                          << "Beta";
    QTest::newRow("alpha") << three << 3 << 2 << "102"
                           << "Alpha build";
    QTest::newRow("entry without hash") << QByteArray("100,101#B") << 2 << 0 << "100"
                                        << "";
    QTest::newRow("hash inside label") << QByteArray("100#a#b,101") << 2 << 0 << "100"
                                       << "a#b";
    QTest::newRow("leading comma") << QByteArray(",101#B") << 2 << 0 << ""
                                   << "";
    QTest::newRow("entry after leading comma") << QByteArray(",101#B") << 2 << 1 << "101"
                                               << "B";
    QTest::newRow("empty datagram") << QByteArray("") << 1 << 0 << ""
                                    << "";
    QTest::newRow("no entry for alpha") << QByteArray("100#S,101#B") << 2 << 2 << ""
                                        << "";
    QTest::newRow("zero byte ends the text") << QByteArray("100#S\0,101#B", 12) << 1 << 1 << ""
                                             << "";
    QTest::newRow("zero byte inside label") << QByteArray("100#S\0tail", 10) << 1 << 0 << "100"
                                            << "S";
    const QByteArray label(507, 'x');
    QTest::newRow("600 bytes cut to 511")
        << QByteArray("100#" + label + "yyyy,101#B" + QByteArray(79, 'z')) << 1 << 0 << "100"
        << QString::fromLatin1(label);
    QTest::newRow("latin-1 bytes")
        << QByteArray("7#caf\xe9") << 1 << 0 << "7" << QStringLiteral("caf\u00e9");
}

void tst_UpdateChecker::replyParsing()
{
    QFETCH(QByteArray, reply);
    QFETCH(int, entries);
    QFETCH(int, channel);
    QFETCH(QString, version);
    QFETCH(QString, label);

    ScriptedUdpServer server({reply, QByteArray("the news")});
    server.forged = QByteArray("1#forged");
    QVERIFY(server.listen(versionPort));
    UpdateChecker checker;
    QVERIFY(checker.checkUpdate());

    QCOMPARE(checker.versions.size(), entries);
    const QPair<QString, QString> pair =
        checker.getClientVersionByChannel(static_cast<UpdateChannel>(channel));
    QCOMPARE(pair.first, version);
    QCOMPARE(pair.second, label);
    QCOMPARE(checker.news, QStringLiteral("the news"));

    const QList<ScriptedUdpServer::Request> requests = server.requests();
    QCOMPARE(requests.size(), 2);
    QCOMPARE(requests.at(0).data, request('3'));
    QCOMPARE(requests.at(1).data, request('*'));
    QCOMPARE(requests.at(1).senderPort, requests.at(0).senderPort);
}

void tst_UpdateChecker::newsReplyIsCutAtItsLimitAndAtAZeroByte()
{
    {
        ScriptedUdpServer server({QByteArray("1#a"), QByteArray(5000, 'n')});
        QVERIFY(server.listen(versionPort));
        UpdateChecker checker;
        QVERIFY(checker.readFromServer());
        QCOMPARE(checker.news, QString(4095, QLatin1Char('n')));
    }
    {
        ScriptedUdpServer server({QByteArray("1#a"), QByteArray("Hello\0world", 11)});
        QVERIFY(server.listen(versionPort));
        UpdateChecker checker;
        QVERIFY(checker.readFromServer());
        QCOMPARE(checker.news, QStringLiteral("Hello"));
    }
}

void tst_UpdateChecker::eachTimeoutOffersRetryWithAFreshExchange()
{
    // No reply at all, then a version list without its news: each attempt waits out the
    // reply time-out; the list of the failed second attempt must not be the one that counts.
    ScriptedUdpServer server({QByteArray(), QByteArray("100#old"), QByteArray(),
                              QByteArray("300#new"), QByteArray("news")});
    QVERIFY(server.listen(versionPort));
    MessageBoxAnswerer answerer({QMessageBox::Retry, QMessageBox::Retry});
    Configuration config;
    QString news = QStringLiteral("old");
    QElapsedTimer clock;
    clock.start();

    const QPair<QString, QString> latest = config.getLatestClientVersion(UpdateChannelStable, news);

    QVERIFY2(clock.elapsed() >= 2 * 4500, "each attempt must wait for its reply before failing");
    QCOMPARE(latest, qMakePair(QStringLiteral("300"), QStringLiteral("new")));
    QCOMPARE(news, QStringLiteral("news"));
    QCOMPARE(answerer.seen.size(), 2);
    for (const MessageBoxAnswerer::Seen& box : answerer.seen) {
        QCOMPARE(box.title, QStringLiteral("Error"));
        QCOMPARE(box.text, boxText);
        QCOMPARE(box.buttons, QMessageBox::Retry | QMessageBox::Abort);
        QVERIFY(!box.hadParent);
    }

    // Every attempt sends both requests anew from a socket of its own.
    const QList<ScriptedUdpServer::Request> requests = server.requests();
    QCOMPARE(requests.size(), 5);
    const QList<QByteArray> sent{request('3'), request('3'), request('*'), request('3'),
                                 request('*')};
    for (int i = 0; i < requests.size(); ++i)
        QCOMPARE(requests.at(i).data, sent.at(i));
    QVERIFY(requests.at(1).senderPort != requests.at(0).senderPort);
    QCOMPARE(requests.at(2).senderPort, requests.at(1).senderPort);
    QVERIFY(requests.at(3).senderPort != requests.at(2).senderPort);
    QCOMPARE(requests.at(4).senderPort, requests.at(3).senderPort);
}

void tst_UpdateChecker::answeredQueryShowsNoBox()
{
    ScriptedUdpServer server({QByteArray("100#S,101#B"), QByteArray("hello")});
    QVERIFY(server.listen(versionPort));
    MessageBoxAnswerer answerer({});
    Configuration config;
    QString news;

    const QPair<QString, QString> latest = config.getLatestClientVersion(UpdateChannelBeta, news);

    QCOMPARE(latest, qMakePair(QStringLiteral("101"), QStringLiteral("B")));
    QCOMPARE(news, QStringLiteral("hello"));
    QVERIFY(answerer.seen.isEmpty());
}

QTEST_MAIN(tst_UpdateChecker)
#include "tst_updatechecker.moc"

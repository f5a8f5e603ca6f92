#include "config/configuration.h"
#include "engine/banner.h"
#include "engine/updateengine.h"
#include "support/engineappfolder.h"
#include "support/faulthttpserver.h"
#include "support/scriptedudpserver.h"
#include "support/unsizedhttpserver.h"
#include "support/updateserverprocess.h"

#include <QCoreApplication>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTest>
#include <QTimerEvent>
#include <QUdpSocket>

namespace {

const quint16 BannerPort = 2009;
const QByteArray Request("\x01\x01", 2);
const QString ClickUrl = QStringLiteral("http://click.invalid/offer");

// Delivers the reply time-out at once instead of after 5000 ms.
void expireResendTimer(Banner& banner)
{
    QTimerEvent event(banner.resendTimer.timerId());
    QCoreApplication::sendEvent(&banner, &event);
}

} // namespace

class tst_Banner : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void replyIsSplitIntoImageAndClickAddress_data();
    void replyIsSplitIntoImageAndClickAddress();
    void noReplyResendsOnceThenGivesUp();
    void resentRequestCanStillBeAnswered_data();
    void resentRequestCanStillBeAnswered();
    void imageSizeLimit_data();
    void imageSizeLimit();
    void invalidImageAddressIsIgnored_data();
    void invalidImageAddressIsIgnored();
    void failedImageDownloadHandsOnWhatArrived();
    void queryAndImageDownloadReachTheWindow();
    void pendingImageDownloadBlocksFurtherQueries();
};

void tst_Banner::initTestCase()
{
    QCOMPARE(BANNER_SERVER, QStringLiteral(UPDATE_SERVER_HOST));
    if (!UpdateServerProcess::serverHostIsLoopback())
        QSKIP("UPDATE_SERVER_HOST does not name this machine");
}

void tst_Banner::replyIsSplitIntoImageAndClickAddress_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QString>("bannerUrl");
    QTest::addColumn<QString>("clickUrl");

    QTest::newRow("two parts") << QByteArray("http://img.invalid/b.png,http://click.invalid/")
                               << true << QStringLiteral("http://img.invalid/b.png")
                               << QStringLiteral("http://click.invalid/");
    QTest::newRow("kept as sent") << QByteArray(" a ,b\n") << true << QStringLiteral(" a ")
                                  << QStringLiteral("b\n");
    QTest::newRow("single comma") << QByteArray(",") << true << QString() << QString();
    QTest::newRow("three parts") << QByteArray("a,b,c") << false << QString() << QString();
    QTest::newRow("no comma") << QByteArray("http://img.invalid/b.png") << false << QString()
                              << QString();
    QTest::newRow("empty datagram") << QByteArray("") << false << QString() << QString();
    QTest::newRow("cut at 1024 bytes") << QByteArray("i," + QByteArray(1500, 'c')) << true
                                       << QStringLiteral("i") << QString(1022, QLatin1Char('c'));
    QTest::newRow("comma beyond 1024 bytes")
        << QByteArray(QByteArray(1100, 'i') + ",c") << false << QString() << QString();
}

void tst_Banner::replyIsSplitIntoImageAndClickAddress()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, found);
    QFETCH(QString, bannerUrl);
    QFETCH(QString, clickUrl);

    ScriptedUdpServer server({reply});
    QVERIFY(server.listen(BannerPort));
    Banner banner(nullptr);
    QSignalSpy spy(&banner, &Banner::bannerFound);
    banner.run();

    QTRY_COMPARE(server.requests().size(), 1);
    QCOMPARE(server.requests().first().data, Request);
    // Any datagram stops the time-out: no resend follows a reply, good or bad.
    QTRY_VERIFY(!banner.resendTimer.isActive());
    QCOMPARE(banner.serverAddress, QHostAddress(QHostAddress::LocalHost));
    QCOMPARE(spy.count(), found ? 1 : 0);
    if (found) {
        QCOMPARE(spy.first().at(0).toString(), bannerUrl);
        QCOMPARE(spy.first().at(1).toString(), clickUrl);
    }
    QTest::qWait(50);
    QCOMPARE(server.requests().size(), 1);
    QCOMPARE(banner.sendCount, 0);
}

void tst_Banner::noReplyResendsOnceThenGivesUp()
{
    ScriptedUdpServer server({QByteArray(), QByteArray(), QByteArray()});
    QVERIFY(server.listen(BannerPort));
    Banner banner(nullptr);
    QSignalSpy spy(&banner, &Banner::bannerFound);
    banner.run();
    QTRY_COMPARE(server.requests().size(), 1);
    QVERIFY(banner.resendTimer.isActive());

    expireResendTimer(banner);
    QCOMPARE(banner.sendCount, 1);
    QTRY_COMPARE(server.requests().size(), 2);
    QCOMPARE(server.requests().at(1).data, Request);
    QVERIFY(banner.resendTimer.isActive());

    expireResendTimer(banner);
    QCOMPARE(banner.sendCount, 2);
    QVERIFY(!banner.resendTimer.isActive());
    QTest::qWait(100);
    QCOMPARE(server.requests().size(), 2);
    QCOMPARE(spy.count(), 0);
}

void tst_Banner::resentRequestCanStillBeAnswered_data()
{
    QTest::addColumn<bool>("stranger");

    QTest::newRow("server only") << false;
    // Queued at the banner's port before the server's answer to the resend.
    QTest::newRow("stranger's datagram first") << true;
}

void tst_Banner::resentRequestCanStillBeAnswered()
{
    QFETCH(bool, stranger);

    ScriptedUdpServer server({QByteArray(), QByteArray("image,click")});
    QVERIFY(server.listen(BannerPort));
    Banner banner(nullptr);
    QSignalSpy spy(&banner, &Banner::bannerFound);
    banner.run();
    QTRY_COMPARE(server.requests().size(), 1);
    QUdpSocket other;
    if (stranger) {
        QVERIFY(other.bind(QHostAddress(QHostAddress::LocalHost), 0));
        QCOMPARE(other.writeDatagram("http://evil.invalid/b.png,http://evil.invalid/",
                                     QHostAddress::LocalHost, banner.socket->localPort()),
                 qint64(46));
    }
    expireResendTimer(banner);

    QTRY_COMPARE(spy.count(), 1);
    QCOMPARE(spy.first().at(0).toString(), QStringLiteral("image"));
    QCOMPARE(spy.first().at(1).toString(), QStringLiteral("click"));
    QVERIFY(!banner.resendTimer.isActive());
    // The request went out from the same local port both times.
    QCOMPARE(server.requests().at(0).senderPort, server.requests().at(1).senderPort);
    QTest::qWait(50);
    QCOMPARE(spy.count(), 1);
}

void tst_Banner::imageSizeLimit_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("announced");
    QTest::addColumn<bool>("handedOn");

    QTest::newRow("270000 bytes") << 270000 << true << true;
    QTest::newRow("270001 bytes") << 270001 << true << false;
    QTest::newRow("270000 bytes unannounced") << 270000 << false << true;
    QTest::newRow("270001 bytes unannounced") << 270001 << false << false;
    QTest::newRow("64 MiB unannounced") << 64 * 1024 * 1024 << false << false;
}

void tst_Banner::imageSizeLimit()
{
    QFETCH(int, size);
    QFETCH(bool, announced);
    QFETCH(bool, handedOn);

    EngineAppFolder folder;
    FaultHttpServer http;
    UnsizedHttpServer unsized(size);
    QVERIFY(http.listen() && unsized.listen());
    const QByteArray image = handedOn ? QByteArray(size, announced ? 'g' : 'u') : QByteArray();
    if (announced)
        http.setResponse(QStringLiteral("/banner.png"), FaultResponse::good(QByteArray(size, 'g')));
    const QString address =
        (announced ? http.url() : unsized.url()) + QStringLiteral("/banner.png");
    Configuration config;
    UpdateEngine engine(config, nullptr);
    QSignalSpy found(&engine, &UpdateEngine::bannerFound);
    QSignalSpy messages(&engine, &UpdateEngine::message);

    QVERIFY(QMetaObject::invokeMethod(&engine, "onBannerFound", Q_ARG(QString, address),
                                      Q_ARG(QString, ClickUrl)));
    QVERIFY(engine.bannerReply);
    QTRY_COMPARE_WITH_TIMEOUT(engine.bannerReply, nullptr, 10000);
    QTest::qWait(50);
    QCOMPARE(found.count(), handedOn ? 1 : 0);
    if (handedOn) {
        QCOMPARE(found.first().at(0).toByteArray(), image);
        QCOMPARE(found.first().at(1).toString(), ClickUrl);
    }
    QCOMPARE(messages.count(), 0);
    QCOMPARE(announced ? http.requestCount(QStringLiteral("/banner.png")) : unsized.requestCount(),
             1);
    // A body far beyond the limit is not read on: the connection is closed long before its end.
    if (size > 16 * 1024 * 1024)
        QTRY_COMPARE(unsized.closedByClient(), 1);
}

void tst_Banner::invalidImageAddressIsIgnored_data()
{
    QTest::addColumn<QString>("bannerUrl");

    QTest::newRow("empty") << QString();
    QTest::newRow("broken") << QStringLiteral("http://[::1");
    // A device that never ends, or a pipe that blocks the open.
    QTest::newRow("local file") << QStringLiteral("file:///dev/zero");
    QTest::newRow("other scheme") << QStringLiteral("ftp://127.0.0.1/banner.png");
}

void tst_Banner::invalidImageAddressIsIgnored()
{
    QFETCH(QString, bannerUrl);

    EngineAppFolder folder;
    Configuration config;
    UpdateEngine engine(config, nullptr);
    QSignalSpy found(&engine, &UpdateEngine::bannerFound);
    QVERIFY(QMetaObject::invokeMethod(&engine, "onBannerFound", Q_ARG(QString, bannerUrl),
                                      Q_ARG(QString, ClickUrl)));
    QCOMPARE(engine.bannerReply, nullptr);
    QVERIFY(engine.bannerClickUrl.isEmpty());
    QTest::qWait(50);
    QCOMPARE(found.count(), 0);
}

void tst_Banner::failedImageDownloadHandsOnWhatArrived()
{
    EngineAppFolder folder;
    FaultHttpServer http;
    QVERIFY(http.listen());
    http.setResponse(QStringLiteral("/banner.png"), FaultResponse::dropAfter("partial image", 7));
    Configuration config;
    UpdateEngine engine(config, nullptr);
    QSignalSpy found(&engine, &UpdateEngine::bannerFound);

    QVERIFY(QMetaObject::invokeMethod(&engine, "onBannerFound",
                                      Q_ARG(QString, http.url() + QStringLiteral("/banner.png")),
                                      Q_ARG(QString, ClickUrl)));
    QTRY_COMPARE_WITH_TIMEOUT(found.count(), 1, 10000);
    QCOMPARE(engine.bannerReply, nullptr);
    QVERIFY(QByteArray("partial image").startsWith(found.first().at(0).toByteArray()));
    QCOMPARE(found.first().at(1).toString(), ClickUrl);
}

void tst_Banner::queryAndImageDownloadReachTheWindow()
{
    EngineAppFolder folder;
    FaultHttpServer http;
    QVERIFY(http.listen());
    http.setResponse(QStringLiteral("/b.png"), FaultResponse::good("PNG bytes"));
    ScriptedUdpServer server({(http.url() + QStringLiteral("/b.png,") + ClickUrl).toLatin1()});
    QVERIFY(server.listen(BannerPort));
    Configuration config;
    UpdateEngine engine(config, nullptr);
    QSignalSpy found(&engine, &UpdateEngine::bannerFound);

    engine.getBanner();
    QTRY_COMPARE_WITH_TIMEOUT(found.count(), 1, 10000);
    QCOMPARE(found.first().at(0).toByteArray(), QByteArray("PNG bytes"));
    QCOMPARE(found.first().at(1).toString(), ClickUrl);
    QCOMPARE(engine.bannerReply, nullptr);
    QCOMPARE(engine.findChildren<Banner*>().size(), 1);
    QCOMPARE(engine.findChildren<Banner*>().first()->parent(), &engine);
}

void tst_Banner::pendingImageDownloadBlocksFurtherQueries()
{
    EngineAppFolder folder;
    FaultHttpServer http;
    QVERIFY(http.listen());
    http.setResponse(QStringLiteral("/slow.png"),
                     FaultResponse::stallAfter(QByteArray(1000, 's'), 10));
    http.setResponse(QStringLiteral("/other.png"), FaultResponse::good("other"));
    Configuration config;
    UpdateEngine engine(config, nullptr);
    QSignalSpy found(&engine, &UpdateEngine::bannerFound);

    QVERIFY(QMetaObject::invokeMethod(&engine, "onBannerFound",
                                      Q_ARG(QString, http.url() + QStringLiteral("/slow.png")),
                                      Q_ARG(QString, ClickUrl)));
    QNetworkReply* pending = engine.bannerReply;
    QVERIFY(pending);
    QTRY_COMPARE(http.stalledCount(), 1);

    engine.getBanner();
    QVERIFY(engine.findChildren<Banner*>().isEmpty());
    // A second reply of the same query leaves the pending download alone.
    QVERIFY(QMetaObject::invokeMethod(&engine, "onBannerFound",
                                      Q_ARG(QString, http.url() + QStringLiteral("/other.png")),
                                      Q_ARG(QString, QStringLiteral("http://other.invalid/"))));
    QCOMPARE(engine.bannerReply, pending);
    QCOMPARE(engine.bannerClickUrl, ClickUrl);

    http.finishStalled();
    QTRY_COMPARE_WITH_TIMEOUT(found.count(), 1, 10000);
    QCOMPARE(found.first().at(0).toByteArray(), QByteArray(1000, 's'));
    QCOMPARE(found.first().at(1).toString(), ClickUrl);
    QCOMPARE(http.requestCount(QStringLiteral("/other.png")), 0);
}

QTEST_GUILESS_MAIN(tst_Banner)
#include "tst_banner.moc"

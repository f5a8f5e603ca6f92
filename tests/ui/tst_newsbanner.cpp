#include "support/urlrecorder.h"
#include "ui/newsbanner.h"
#include "ui/urlclicklabel.h"

#include <QCursor>
#include <QElapsedTimer>
#include <QtTest>
#include <sys/stat.h>

// The news line and the link labels.
class tst_NewsBanner : public QObject
{
    Q_OBJECT

private slots:
    void defaultAddressComesFromTheComment_data();
    void defaultAddressComesFromTheComment();
    void heightFollowsTheText();
    void passStartsTenPixelsInsideAndMovesLeft();
    void textLeavesCompletelyThenPausesThreeSeconds();
    void newTextEndsThePauseAndForgetsTheDefault();
    void narrowerWidgetRestartsThePass();
    void clickOpensLinkOrDefault_data();
    void clickOpensLinkOrDefault();
    void cursorShowsAHandOverLinks();
    void labelOpensItsAddressOnEveryPress_data();
    void labelOpensItsAddressOnEveryPress();
    void labelSetUrlChangesNothingElse();
};

void tst_NewsBanner::defaultAddressComesFromTheComment_data()
{
    QTest::addColumn<QString>("html");
    QTest::addColumn<QString>("defaultUrl");

    QTest::newRow("no comment") << "plain <b>news</b>" << QString();
    QTest::newRow("URL key") << "news <!--URL=http://news.example/a-->"
                             << "http://news.example/a";
    QTest::newRow("key at the start") << "<!--URL=http://x.example/-->news"
                                      << "http://x.example/";
    QTest::newRow("blank before the key") << "news <!-- URL=http://x.example/-->" << QString();
    QTest::newRow("lower-case key") << "news <!--url=http://x.example/-->" << QString();
    QTest::newRow("other comment") << "news <!--remark-->" << QString();
    QTest::newRow("further equals sign kept") << "<!--URL=http://x.example/?a=b&c=d-->"
                                              << "http://x.example/?a=b&c=d";
    QTest::newRow("two comments span first to last")
        << "<!--URL=http://one.example/--> mid <!--two-->"
        << "http://one.example/--> mid <!--two";
    QTest::newRow("key of the first comment decides")
        << "<!--first--> mid <!--URL=http://two.example/-->" << QString();
    QTest::newRow("comment across lines") << "news <!--URL=http://a.example/\nb-->"
                                          << "http://a.example/\nb";
    const QString pipe = QDir::temp().filePath(QStringLiteral("pipe"));
    QVERIFY(::mkfifo(QFile::encodeName(pipe).constData(), 0600) == 0 || errno == EEXIST);
    QTest::newRow("endless device, pipe without writer: never read")
        << "<body background=" + pipe + "><img src=/dev/zero><img src=" + pipe + ">" << QString();
}

void tst_NewsBanner::defaultAddressComesFromTheComment()
{
    QFETCH(QString, html);
    QFETCH(QString, defaultUrl);
    NewsBanner banner(nullptr);
    banner.setNews(QStringLiteral("<!--URL=http://earlier.example/-->"));
    banner.setNews(html);
    QCOMPARE(banner.getDefaultUrl(), defaultUrl);
}

void tst_NewsBanner::heightFollowsTheText()
{
    NewsBanner banner(nullptr);
    QCOMPARE(banner.minimumHeight(), 16);
    QCOMPARE(banner.maximumHeight(), 16);
    QCOMPARE(banner.objectName(), QStringLiteral("NewsBanner"));

    banner.setNews(QStringLiteral("<span style=\"font-size:40px\">Big news</span>"));
    QVERIFY(banner.getTextHeight() > 30);
    QCOMPARE(banner.minimumHeight(), banner.getTextHeight());
    QCOMPARE(banner.maximumHeight(), banner.getTextHeight());

    banner.setNews(QStringLiteral("<span style=\"font-size:6px\">small</span>"));
    QVERIFY(banner.getTextHeight() < 16);
    QCOMPARE(banner.maximumHeight(), banner.getTextHeight());
}

void tst_NewsBanner::passStartsTenPixelsInsideAndMovesLeft()
{
    NewsBanner banner(nullptr);
    banner.resize(300, 16);
    banner.show();
    QVERIFY(QTest::qWaitForWindowExposed(&banner));
    QCOMPARE(banner.getScrollX(), 0.0f); // idle until the first text
    QTest::qWait(50);
    QCOMPARE(banner.getScrollX(), 0.0f);

    banner.setNews(QStringLiteral("Some news"));
    QCOMPARE(banner.getScrollX(), 290.0f);
    QElapsedTimer clock;
    clock.start();
    QTRY_VERIFY(banner.getScrollX() <= 285.0f);
    const float moved = 290.0f - banner.getScrollX();
    // Half a pixel per tick of 10 ms: never faster than 50 pixels a second.
    QVERIFY(moved <= 0.05f * clock.elapsed() + 0.5f);
    QCOMPARE(std::fmod(banner.getScrollX() * 2.0f, 1.0f), 0.0f);
}

void tst_NewsBanner::textLeavesCompletelyThenPausesThreeSeconds()
{
    NewsBanner banner(nullptr);
    banner.resize(30, 16);
    banner.show();
    QVERIFY(QTest::qWaitForWindowExposed(&banner));
    banner.setNews(QStringLiteral("ab"));
    const int textWidth = banner.getTextWidth();
    QVERIFY(textWidth > 0);
    QVERIFY(textWidth < 30);

    float lowest = banner.getScrollX();
    QElapsedTimer clock;
    clock.start();
    while (!banner.isPaused() && clock.elapsed() < 5000) {
        lowest = qMin(lowest, banner.getScrollX());
        QTest::qWait(1);
    }
    QVERIFY(banner.isPaused());
    // The text narrower than the widget still went out completely on the left.
    QVERIFY2(lowest + textWidth < 0, qPrintable(QString::number(lowest)));
    QCOMPARE(banner.getScrollX(), 20.0f);

    clock.restart();
    QTRY_VERIFY_WITH_TIMEOUT(!banner.isPaused(), 5000);
    // A coarse timer may fire up to 5 % early, and a loaded machine notices the pause late.
    QVERIFY2(clock.elapsed() >= 2500, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(banner.getScrollX() <= 19.5f);
}

void tst_NewsBanner::newTextEndsThePauseAndForgetsTheDefault()
{
    NewsBanner banner(nullptr);
    banner.resize(30, 16);
    banner.show();
    QVERIFY(QTest::qWaitForWindowExposed(&banner));
    banner.setNews(QStringLiteral("a<!--URL=http://old.example/-->"));
    QCOMPARE(banner.getDefaultUrl(), QStringLiteral("http://old.example/"));
    QTRY_VERIFY_WITH_TIMEOUT(banner.isPaused(), 5000);

    banner.setNews(QStringLiteral("fresh news"));
    QVERIFY(!banner.isPaused());
    QCOMPARE(banner.getScrollX(), 20.0f);
    QCOMPARE(banner.getDefaultUrl(), QString());
    // The 10 ms interval runs again at once, not after the rest of the pause.
    QTRY_VERIFY_WITH_TIMEOUT(banner.getScrollX() < 19.0f, 1000);
}

void tst_NewsBanner::narrowerWidgetRestartsThePass()
{
    NewsBanner banner(nullptr);
    banner.resize(400, 16);
    banner.show();
    QVERIFY(QTest::qWaitForWindowExposed(&banner));
    banner.setNews(QStringLiteral("news"));
    QVERIFY(banner.getScrollX() > 300.0f);
    banner.resize(100, 16);
    QTRY_VERIFY(banner.getScrollX() <= 90.0f);
    QVERIFY(banner.getScrollX() > 80.0f);
}

void tst_NewsBanner::clickOpensLinkOrDefault_data()
{
    QTest::addColumn<QString>("html");
    QTest::addColumn<bool>("onLink");
    QTest::addColumn<QString>("expected");

    const QString link = QStringLiteral("<a href=\"http://link.example/a\">a link that is long</a>"
                                        " and plain words after it");
    QTest::newRow("link") << link << true << "http://link.example/a";
    QTest::newRow("link wins over default")
        << link + "<!--URL=http://default.example/-->" << true << "http://link.example/a";
    QTest::newRow("outside link, default")
        << link + "<!--URL=http://default.example/-->" << false << "http://default.example/";
    QTest::newRow("outside link, no default") << link << false << QString();
    QTest::newRow("local link") << QString(link).replace("http:", "file:") << true << QString();
    QTest::newRow("local default") << link + "<!--URL=file:///etc/passwd-->" << false << QString();
}

void tst_NewsBanner::clickOpensLinkOrDefault()
{
    QFETCH(QString, html);
    QFETCH(bool, onLink);
    QFETCH(QString, expected);
    UrlRecorder browser;
    NewsBanner banner(nullptr);
    banner.resize(600, 16);
    banner.show();
    QVERIFY(QTest::qWaitForWindowExposed(&banner));
    banner.setNews(html);
    QTest::qWait(30);

    const int y = banner.height() / 2;
    const int x = onLink ? int(banner.getScrollX()) + 10
                         : int(banner.getScrollX()) + banner.getTextWidth() - 10;
    QCOMPARE(banner.anchorAt(QPoint(x, y)).isEmpty(), !onLink);
    QTest::mouseClick(&banner, Qt::RightButton, Qt::NoModifier, QPoint(x, y));
    if (expected.isEmpty()) {
        QCOMPARE(browser.opened.size(), 0);
    } else {
        QCOMPARE(browser.opened.size(), 1);
        QCOMPARE(browser.opened.first(), QUrl(expected));
    }
}

void tst_NewsBanner::cursorShowsAHandOverLinks()
{
    NewsBanner banner(nullptr);
    banner.resize(600, 16);
    banner.show();
    QVERIFY(QTest::qWaitForWindowExposed(&banner));
    banner.setNews(QStringLiteral("<a href=\"http://link.example/\">a link long enough to stay "
                                  "under the pointer for a while</a> tail"));
    QCursor::setPos(banner.mapToGlobal(QPoint(int(banner.getScrollX()) + 60, 8)));
    QTRY_COMPARE(banner.cursor().shape(), Qt::PointingHandCursor);

    QCursor::setPos(banner.mapToGlobal(QPoint(2, 8))); // left of the text
    QTRY_COMPARE(banner.cursor().shape(), Qt::ArrowCursor);
}

void tst_NewsBanner::labelOpensItsAddressOnEveryPress_data()
{
    QTest::addColumn<int>("buttonValue");
    QTest::newRow("left") << int(Qt::LeftButton);
    QTest::newRow("right") << int(Qt::RightButton);
    QTest::newRow("middle") << int(Qt::MiddleButton);
}

void tst_NewsBanner::labelOpensItsAddressOnEveryPress()
{
    QFETCH(int, buttonValue);
    const auto button = Qt::MouseButton(buttonValue);
    UrlRecorder browser;
    UrlClickLabel label(nullptr);
    label.setText(QStringLiteral("logo"));
    label.setUrl(QStringLiteral("https://maker.example/page?x=1"));
    label.show();
    QVERIFY(QTest::qWaitForWindowExposed(&label));
    QTest::mousePress(&label, button);
    QTest::mouseRelease(&label, button);
    QTest::mousePress(&label, button);
    label.setUrl(QStringLiteral("file:///etc/passwd"));
    QTest::mousePress(&label, button);
    QCOMPARE(browser.opened.size(), 2);
    QCOMPARE(browser.opened.at(1), QUrl(QStringLiteral("https://maker.example/page?x=1")));
}

void tst_NewsBanner::labelSetUrlChangesNothingElse()
{
    UrlClickLabel label(nullptr);
    QCOMPARE(label.getUrl(), QString());
    const Qt::CursorShape shape = label.cursor().shape();
    label.setUrl(QStringLiteral("http://maker.example/"));
    QCOMPARE(label.getUrl(), QStringLiteral("http://maker.example/"));
    QCOMPARE(label.toolTip(), QString());
    QCOMPARE(label.cursor().shape(), shape);
    QCOMPARE(label.text(), QString());
}

QTEST_MAIN(tst_NewsBanner)
#include "tst_newsbanner.moc"

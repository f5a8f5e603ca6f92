#include "config/configuration.h"
#include "engine/updateengine.h"
#include "support/engineappfolder.h"
#include "support/faulthttpserver.h"
#include "support/messageboxanswerer.h"
#include "support/treesnapshot.h"
#include "support/updatefixture.h"
#include "support/urlrecorder.h"
#include "tasks/taskspecification.h"
#include "ui/changelogviewer.h"
#include "ui/mainwindow.h"
#include "ui/newsbanner.h"
#include "ui/singleinstancechecker.h"
#include "ui/urlclicklabel.h"

#include <QBuffer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QLayout>
#include <QLocalSocket>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTextEdit>
#include <QTimer>
#include <QtTest>

namespace {
const QString Question = QStringLiteral("<p>Update in progress.</p><p>Are you sure you want to "
                                        "abort?</p>");
const QString CancelBox = QStringLiteral("Update cancelled. Push \"Details\" to check reasons.");

template <typename T>
T* child(QWidget& window, const char* name)
{
    T* widget = window.findChild<T*>(QLatin1String(name));
    if (!widget)
        qFatal("no child %s", name);
    return widget;
}

UpdateEngine* engineOf(QWidget& window)
{
    return window.findChild<UpdateEngine*>();
}

QString logText(QWidget& window)
{
    return child<QTextEdit>(window, "outputTextEdit")->toPlainText();
}

QPushButton* startButton(QWidget& window)
{
    return child<QPushButton>(window, "startButton");
}

// Runs the application's event loop until the application is told to quit or exit, or
// timeoutMs pass; the result is the status given to exit(), or -1 after the time-out. The
// application's own loop, unlike a local one, leaves no pending quit behind for later loops.
int statusOfNextExit(int timeoutMs)
{
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, [] { QCoreApplication::exit(-1); });
    timeout.start(timeoutMs);
    return QCoreApplication::exec();
}

QByteArray pngBytes(const QSize& size = QSize(468, 60))
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::darkBlue);
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return data;
}

// The client start script in the application folder: it leaves a marker file when run.
class ClientScript
{
public:
    ClientScript()
    {
        const QString body = QStringLiteral("#!/bin/sh\necho started > '%1'\n").arg(marker());
        QFile file(path());
        file.open(QIODevice::WriteOnly);
        file.write(body.toUtf8());
        file.close();
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    ~ClientScript() { QFile::remove(path()); }
    Q_DISABLE_COPY(ClientScript)

    static QString path()
    {
        return QDir(Configuration::getAppRootPath())
            .absoluteFilePath(Configuration::getClientBinaryName());
    }
    QString marker() const { return dir.filePath(QStringLiteral("client-started")); }
    bool started() const { return QFile::exists(marker()); }

private:
    QTemporaryDir dir;
};
} // namespace

// The main window: its form, its reactions to the engine, closing during a run, whole runs.
class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void formIsBuiltAsDescribed();
    void progressBarShowsThousandths_data();
    void progressBarShowsThousandths();
    void downloadFiguresInKilobytes_data();
    void downloadFiguresInKilobytes();
    void messagesGoToTheLog();
    void errorIsLoggedAndShownWithoutChangingState();
    void fatalErrorsEndTheProgram_data();
    void fatalErrorsEndTheProgram();
    void versionLabelNamesVersionAndChannel_data();
    void versionLabelNamesVersionAndChannel();
    void finishedRunOffersToStartTheClient();
    void noUserFormStartsTheClientAfterASecond_data();
    void noUserFormStartsTheClientAfterASecond();
    void cancelledRunOffersRestart();
    void detailsButtonShowsTheLogScrolledToTheEnd();
    void windowKeepsItsWidthThroughARun_data();
    void windowKeepsItsWidthThroughARun();
    void logFollowsItsEndWhileTheReaderIsThere_data();
    void logFollowsItsEndWhileTheReaderIsThere();
    void secondStartBringsTheWindowForward();
    void bannerShowsPictureAndOpensItsAddress();
    void unusableBannerIsIgnored_data();
    void unusableBannerIsIgnored();
    void changelogButtonAsksForTheConfiguredVersion();
    void startButtonDoesNothingWhileBusy();
    void refusedStartLeavesTheButtonAndEndsWithStatusTwo();
    void closingWhenIdleCloses();
    void closingDuringARunAsksFirst();
    void confirmedCloseCancelsAndQuits();
    void runEndingWhileTheQuestionIsOpenClosesOnYes();
    void failedRunOffersRestartWhichResumes();
    void wholeRunFinishesAndStartsTheClient();
};

void tst_MainWindow::initTestCase()
{
    Q_INIT_RESOURCE(images);
    qRegisterMetaType<TaskSpecification*>();
}

void tst_MainWindow::cleanup()
{
    delete ChangeLogViewer::m_instance;
}

void tst_MainWindow::formIsBuiltAsDescribed()
{
    Configuration config;
    MainWindow window(config);
    QCOMPARE(window.windowTitle(), QStringLiteral("Vendrel 3 Client Update"));
    QCOMPARE(window.layout()->sizeConstraint(), QLayout::SetFixedSize);
    auto* logo = dynamic_cast<UrlClickLabel*>(child<QLabel>(window, "vendrelLabel"));
    QVERIFY(logo && !logo->getUrl().isEmpty());
    QCOMPARE(logo->pixmap(Qt::ReturnByValue).size(), QSize(48, 48));
    QCOMPARE(child<QProgressBar>(window, "totalProgressBar")->maximum(), 1000);

    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    for (const char* name : {"outputTextEdit", "totalSizeLabel", "totalTotalSizeLabel",
                             "downloadSpeedLabel", "label_6"})
        QVERIFY2(!child<QWidget>(window, name)->isVisible(), name);
    QVERIFY(startButton(window)->isDefault());
    QCOMPARE(startButton(window)->nextInFocusChain(), child<QWidget>(window, "detailsButton"));
}

void tst_MainWindow::progressBarShowsThousandths_data()
{
    QTest::addColumn<qreal>("fraction");
    QTest::addColumn<int>("value");
    QTest::newRow("none") << qreal(0) << 0;
    QTest::newRow("half") << qreal(0.5) << 500;
    QTest::newRow("truncated") << qreal(0.9999) << 999;
    QTest::newRow("all") << qreal(1.0) << 1000;
}

void tst_MainWindow::progressBarShowsThousandths()
{
    QFETCH(qreal, fraction);
    QFETCH(int, value);
    Configuration config;
    MainWindow window(config);
    emit engineOf(window)->updateProgress(0.25);
    emit engineOf(window)->updateProgress(fraction);
    QCOMPARE(child<QProgressBar>(window, "totalProgressBar")->value(), value);
}

void tst_MainWindow::downloadFiguresInKilobytes_data()
{
    QTest::addColumn<quint64>("done");
    QTest::addColumn<quint64>("total");
    QTest::addColumn<quint64>("speed");
    QTest::addColumn<QString>("doneText");
    QTest::addColumn<QString>("totalText");
    QTest::addColumn<QString>("speedText");
    QTest::newRow("below a thousand") << quint64(1999) << quint64(5000) << quint64(999) << "1 KB"
                                      << "5 KB"
                                      << "0 KB/s";
    QTest::newRow("decimal thousands")
        << quint64(1024) << quint64(1000000) << quint64(1000) << "1 KB"
        << "1000 KB"
        << "1 KB/s";
    QTest::newRow("beyond 32 bits")
        << quint64(5000000000ULL) << quint64(9000000000ULL) << quint64(2500000) << "5000000 KB"
        << "9000000 KB"
        << "2500 KB/s";
}

void tst_MainWindow::downloadFiguresInKilobytes()
{
    QFETCH(quint64, done);
    QFETCH(quint64, total);
    QFETCH(quint64, speed);
    QFETCH(QString, doneText);
    QFETCH(QString, totalText);
    QFETCH(QString, speedText);
    Configuration config;
    MainWindow window(config);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QList<QLabel*> labels = {
        child<QLabel>(window, "totalSizeLabel"), child<QLabel>(window, "totalTotalSizeLabel"),
        child<QLabel>(window, "downloadSpeedLabel"), child<QLabel>(window, "label_6")};

    emit engineOf(window)->downloadProgress(done, total, speed, true);
    for (QLabel* label : labels)
        QVERIFY(label->isVisible());
    QCOMPARE(labels.at(0)->text(), doneText);
    QCOMPARE(labels.at(1)->text(), totalText);
    QCOMPARE(labels.at(2)->text(), speedText);
    QCOMPARE(labels.at(3)->text(), QStringLiteral("/"));

    // Not downloading: hidden, and the texts stay as they were.
    emit engineOf(window)->downloadProgress(0, 0, 0, false);
    for (QLabel* label : labels)
        QVERIFY(!label->isVisible());
    QCOMPARE(labels.at(0)->text(), doneText);
    QCOMPARE(labels.at(2)->text(), speedText);
}

void tst_MainWindow::messagesGoToTheLog()
{
    Configuration config;
    MainWindow window(config);
    emit engineOf(window)->message(QStringLiteral("first line"));
    emit config.message(QStringLiteral("from the configuration"));
    emit engineOf(window)->message(QStringLiteral("second line"));
    QCOMPARE(logText(window), QStringLiteral("first line\nfrom the configuration\nsecond line"));
}

void tst_MainWindow::errorIsLoggedAndShownWithoutChangingState()
{
    Configuration config;
    MainWindow window(config);
    window.show();
    MessageBoxAnswerer answerer({QMessageBox::Ok});
    emit engineOf(window)->error(QStringLiteral("Download of x failed"));
    QCOMPARE(answerer.seen.size(), 1);
    QCOMPARE(answerer.seen.at(0).title, QStringLiteral("Error"));
    QCOMPARE(answerer.seen.at(0).text, QStringLiteral("Download of x failed"));
    QCOMPARE(answerer.seen.at(0).buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QVERIFY(answerer.seen.at(0).hadParent);
    QCOMPARE(logText(window), QStringLiteral("Download of x failed"));
    QCOMPARE(startButton(window)->text(), QStringLiteral("Start Update"));
    QVERIFY(startButton(window)->isEnabled());
    QVERIFY(window.isVisible());
}

void tst_MainWindow::fatalErrorsEndTheProgram_data()
{
    QTest::addColumn<bool>("fromEngine");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("hadParent");
    QTest::newRow("engine") << true << 2 << true;
    QTest::newRow("configuration") << false << 1 << false;
}

void tst_MainWindow::fatalErrorsEndTheProgram()
{
    QFETCH(bool, fromEngine);
    QFETCH(int, status);
    QFETCH(bool, hadParent);
    Configuration config;
    MainWindow window(config);
    window.show();
    MessageBoxAnswerer answerer({QMessageBox::Ok});
    QTimer::singleShot(0, &window, [&] {
        if (fromEngine)
            emit engineOf(window)->fatalError(QStringLiteral("fatal text"));
        else
            emit config.fatalError(QStringLiteral("fatal text"));
    });
    QCOMPARE(statusOfNextExit(5000), status);
    QCOMPARE(answerer.seen.size(), 1);
    QCOMPARE(answerer.seen.at(0).title, QStringLiteral("Error"));
    QCOMPARE(answerer.seen.at(0).text, QStringLiteral("fatal text"));
    QCOMPARE(answerer.seen.at(0).hadParent, hadParent);
}

void tst_MainWindow::versionLabelNamesVersionAndChannel_data()
{
    QTest::addColumn<QString>("label");
    QTest::addColumn<int>("channel");
    QTest::addColumn<bool>("noUser");
    QTest::addColumn<QString>("text");
    const QString head = QStringLiteral("<div style=\"font-weight:bold;font-size:14px\">");
    const QString line = QStringLiteral("<div style=\"margin-top:8px\">You are currently on "
                                        "<strong>%1 channel</strong>.</div>");
    QTest::newRow("beta with label")
        << "3.1 R2" << 1 << false << head + "Update to Vendrel 3.1 R2</div>" + line.arg("Beta");
    QTest::newRow("stable without label") << QString() << 0 << false << line.arg("Stable");
    QTest::newRow("alpha, --nouser")
        << "7" << 2 << true << head + "Update to Vendrel 7</div>" + line.arg("Alpha");
    QTest::newRow("unknown channel") << QString() << 5 << false << line.arg(QString());
    QTest::newRow("no markup") << "<b>" << 0 << false
                               << head + "Update to Vendrel &lt;b&gt;</div>" + line.arg("Stable");
}

void tst_MainWindow::versionLabelNamesVersionAndChannel()
{
    QFETCH(QString, label);
    QFETCH(int, channel);
    QFETCH(bool, noUser);
    QFETCH(QString, text);
    Configuration config;
    MainWindow window(config);
    config.clientVersionLabel = label;
    config.updateChannel = UpdateChannel(channel);
    config.noUserMode = noUser;
    window.setUIToConfigSpecs();
    QCOMPARE(child<QLabel>(window, "versionLabel")->text(), text);
    QCOMPARE(startButton(window)->isEnabled(), !noUser);
}

void tst_MainWindow::finishedRunOffersToStartTheClient()
{
    ClientScript script;
    Configuration config;
    MainWindow window(config);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    startButton(window)->setEnabled(false);
    emit engineOf(window)->updateFinished();
    QCOMPARE(startButton(window)->text(), QStringLiteral("Start Vendrel"));
    QVERIFY(startButton(window)->isEnabled());
    QCOMPARE(window.focusWidget(), startButton(window));
    QTest::qWait(1300);
    QVERIFY(!script.started());
    QVERIFY(window.isVisible());

    QTest::mouseClick(startButton(window), Qt::LeftButton);
    QTRY_VERIFY(script.started());
    QVERIFY(!window.isVisible());
}

void tst_MainWindow::noUserFormStartsTheClientAfterASecond_data()
{
    QTest::addColumn<bool>("changelogOpen");
    QTest::newRow("changelog closed") << false;
    QTest::newRow("changelog open") << true;
}

void tst_MainWindow::noUserFormStartsTheClientAfterASecond()
{
    QFETCH(bool, changelogOpen);
    EngineAppFolder folder; // no settings: the changelog dialog fails at once, offline
    ClientScript script;
    Configuration config;
    config.noUserMode = true;
    MainWindow window(config);
    window.setUIToConfigSpecs();
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    if (changelogOpen)
        QTest::mouseClick(child<QPushButton>(window, "changelogButton"), Qt::LeftButton);
    QCOMPARE(ChangeLogViewer::m_instance != nullptr, changelogOpen);

    QElapsedTimer clock;
    clock.start();
    emit engineOf(window)->updateFinished();
    if (changelogOpen) {
        QCOMPARE(startButton(window)->text(), QStringLiteral("Start Vendrel"));
        QVERIFY(startButton(window)->isEnabled());
        QTest::qWait(1300);
        QVERIFY(!script.started());
        QVERIFY(window.isVisible());
    } else {
        QVERIFY(!startButton(window)->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(script.started(), 5000);
        QVERIFY(clock.elapsed() >= 900);
        QVERIFY(!window.isVisible());
    }
}

void tst_MainWindow::cancelledRunOffersRestart()
{
    Configuration config;
    MainWindow window(config);
    window.show();
    UpdateEngine* engine = engineOf(window);
    emit engine->updateProgress(0.6);
    startButton(window)->setEnabled(false);
    engine->state = EngineCanceled;
    MessageBoxAnswerer answerer({QMessageBox::Ok});
    emit engine->updateCanceled();

    QCOMPARE(answerer.seen.size(), 1);
    QCOMPARE(answerer.seen.at(0).title, QStringLiteral("Update"));
    QCOMPARE(answerer.seen.at(0).text, CancelBox);
    QVERIFY(answerer.seen.at(0).hadParent);
    QCOMPARE(engine->state, EngineState(EngineIdle));
    QCOMPARE(startButton(window)->text(), QStringLiteral("Restart"));
    QVERIFY(startButton(window)->isEnabled());
    QCOMPARE(logText(window), QStringLiteral("Update cancelled"));
    QCOMPARE(child<QProgressBar>(window, "totalProgressBar")->value(), 0);
    QVERIFY(window.isVisible());
}

void tst_MainWindow::detailsButtonShowsTheLogScrolledToTheEnd()
{
    Configuration config;
    MainWindow window(config);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    for (int i = 0; i < 100; ++i)
        emit engineOf(window)->message(QStringLiteral("line %1").arg(i));
    auto* log = child<QTextEdit>(window, "outputTextEdit");
    log->verticalScrollBar()->setValue(0);
    const int closedHeight = window.height();

    QTest::mouseClick(child<QPushButton>(window, "detailsButton"), Qt::LeftButton);
    QVERIFY(log->isVisible());
    QTRY_VERIFY(window.height() > closedHeight);
    QTRY_VERIFY(log->verticalScrollBar()->maximum() > 0);
    QTRY_COMPARE(log->verticalScrollBar()->value(), log->verticalScrollBar()->maximum());

    QTest::mouseClick(child<QPushButton>(window, "detailsButton"), Qt::LeftButton);
    QVERIFY(!log->isVisible());
    QTRY_COMPARE(window.height(), closedHeight);
}

void tst_MainWindow::windowKeepsItsWidthThroughARun_data()
{
    QTest::addColumn<quint64>("done");
    QTest::addColumn<quint64>("total");
    QTest::addColumn<quint64>("speed");
    QTest::newRow("kilobytes") << quint64(1000) << quint64(5000) << quint64(100);
    QTest::newRow("gigabytes") << quint64(5000000000ULL) << quint64(9000000000ULL)
                               << quint64(2500000);
    QTest::newRow("tens of gigabytes")
        << quint64(50000000000ULL) << quint64(99000000000ULL) << quint64(125000000);
}

void tst_MainWindow::windowKeepsItsWidthThroughARun()
{
    QFETCH(quint64, done);
    QFETCH(quint64, total);
    QFETCH(quint64, speed);
    Configuration config;
    MainWindow window(config);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const auto widthNow = [&window] {
        QCoreApplication::processEvents();
        return window.width();
    };
    const int width = widthNow();
    auto* details = child<QPushButton>(window, "detailsButton");

    QTest::mouseClick(details, Qt::LeftButton);
    QCOMPARE(widthNow(), width);
    emit engineOf(window)->downloadProgress(done, total, speed, true);
    QCOMPARE(widthNow(), width);
    // The end of the run hides the figures.
    emit engineOf(window)->downloadProgress(0, 0, 0, false);
    QCOMPARE(widthNow(), width);
    QTest::mouseClick(details, Qt::LeftButton);
    QCOMPARE(widthNow(), width);
    emit engineOf(window)->downloadProgress(done, total, speed, true);
    QCOMPARE(widthNow(), width);
}

void tst_MainWindow::logFollowsItsEndWhileTheReaderIsThere_data()
{
    QTest::addColumn<QByteArray>("runEnd");
    QTest::newRow("run finishes") << QByteArray("updateFinished");
    QTest::newRow("run fails or is cancelled") << QByteArray("updateCanceled");
}

void tst_MainWindow::logFollowsItsEndWhileTheReaderIsThere()
{
    QFETCH(QByteArray, runEnd);
    Configuration config;
    MainWindow window(config);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTest::mouseClick(child<QPushButton>(window, "detailsButton"), Qt::LeftButton);
    auto* log = child<QTextEdit>(window, "outputTextEdit");
    QTRY_VERIFY(log->isVisible());
    QScrollBar* bar = log->verticalScrollBar();
    const QString text =
        QStringLiteral(" a line long enough to wrap in the details log").repeated(3);

    for (int i = 0; i < 20; ++i) {
        // Figures come and go as in a run; the log re-wraps, later the reader scrolls back.
        emit engineOf(window)->downloadProgress(i * 5000000000ULL, 99000000000ULL, 125000000,
                                                i % 3 != 2);
        QCoreApplication::processEvents();
        if (i == 5)
            log->setFixedWidth(log->width() / 2);
        if (i == 10)
            bar->setValue(0);
        emit engineOf(window)->message(QString::number(i) + text);
        QCoreApplication::processEvents();
        QCOMPARE(bar->value(), i >= 10 ? 0 : bar->maximum());
    }
    QVERIFY(bar->maximum() > 0);
    MessageBoxAnswerer answerer({QMessageBox::Ok});
    QVERIFY(QMetaObject::invokeMethod(engineOf(window), runEnd.constData()));
    QCOMPARE(bar->value(), bar->maximum());
}

void tst_MainWindow::secondStartBringsTheWindowForward()
{
    Configuration config;
    MainWindow window(config);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QWidget other;
    other.show();
    other.activateWindow();
    QTRY_VERIFY(other.isActiveWindow());

    auto send = [](const QByteArray& bytes) {
        QLocalSocket socket;
        socket.connectToServer(SingleInstanceChecker::getLocalServerPath());
        return socket.waitForConnected(1000) && socket.write(bytes) > 0 &&
               socket.waitForBytesWritten(1000);
    };
    QVERIFY(send("x"));
    QTest::qWait(100);
    QVERIFY(other.isActiveWindow());
    QVERIFY(send(QByteArray("\0#", 2)));
    QTest::qWait(100);
    QVERIFY(other.isActiveWindow());

    QVERIFY(SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));
    QTRY_VERIFY(window.isActiveWindow());
}

void tst_MainWindow::bannerShowsPictureAndOpensItsAddress()
{
    UrlRecorder browser;
    Configuration config;
    MainWindow window(config);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QString click = QStringLiteral("https://ads.example:8443/path/page?user=1#top");
    emit engineOf(window)->bannerFound(pngBytes(), click);

    auto* banner = child<QLabel>(window, "banner");
    QVERIFY(!banner->pixmap(Qt::ReturnByValue).isNull());
    QCOMPARE(banner->pixmap(Qt::ReturnByValue).size(), QSize(468, 60));
    QCOMPARE(banner->toolTip(), QStringLiteral("Click to open \"https://ads.example\""));
    QTest::mouseClick(banner, Qt::LeftButton);
    QCOMPARE(browser.opened, QList<QUrl>{QUrl(click)});
}

void tst_MainWindow::unusableBannerIsIgnored_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::newRow("not a picture") << QByteArray("not a picture");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("too wide") << pngBytes(QSize(MainWindow::MaxBannerSide + 1, 1));
    QTest::newRow("too high") << pngBytes(QSize(1, MainWindow::MaxBannerSide + 1));
}

void tst_MainWindow::unusableBannerIsIgnored()
{
    QFETCH(QByteArray, image);
    Configuration config;
    MainWindow window(config);
    auto* banner = child<QLabel>(window, "banner");
    emit engineOf(window)->bannerFound(image, QStringLiteral("http://x/"));
    QVERIFY(banner->pixmap(Qt::ReturnByValue).isNull());
    QCOMPARE(banner->toolTip(), QString());
    QCOMPARE(dynamic_cast<UrlClickLabel*>(banner)->getUrl(), QString());
}

void tst_MainWindow::changelogButtonAsksForTheConfiguredVersion()
{
    EngineAppFolder folder;
    FaultHttpServer server;
    QVERIFY(server.listen());
    server.setResponse(QStringLiteral("/4321/changelog_client.txt"), FaultResponse::good("v4321"));
    QVERIFY(writeFile(Configuration::getAppRootPath(), QStringLiteral("mirrors.ini"),
                      "[mirrors]\nsize=1\n1\\mirror=m\n[m]\nurl=" + server.url().toUtf8() + "\n"));
    Configuration config;
    config.clientVersion = 4321;
    MainWindow window(config);
    window.show();
    QTest::mouseClick(child<QPushButton>(window, "changelogButton"), Qt::LeftButton);
    QPointer<ChangeLogViewer> dialog = ChangeLogViewer::m_instance;
    QVERIFY(dialog);
    QCOMPARE(dialog->parentWidget(), &window);
    QTRY_COMPARE(dialog->findChild<QTextEdit*>()->toPlainText(), QStringLiteral("v4321"));
    QCOMPARE(server.requestedPaths(), QStringList{QStringLiteral("/4321/changelog_client.txt")});
}

void tst_MainWindow::startButtonDoesNothingWhileBusy()
{
    EngineAppFolder folder;
    Configuration config;
    MainWindow window(config);
    window.show();
    UpdateEngine* engine = engineOf(window);
    engine->state = EngineRunning; // busy, without a task
    MessageBoxAnswerer answerer({});
    QTest::mouseClick(startButton(window), Qt::LeftButton);
    QTest::qWait(50);
    QCOMPARE(engine->state, EngineState(EngineRunning));
    QVERIFY(startButton(window)->isEnabled());
    QCOMPARE(answerer.seen.size(), 0);
    engine->state = EngineIdle;
}

void tst_MainWindow::refusedStartLeavesTheButtonAndEndsWithStatusTwo()
{
    EngineAppFolder folder; // no "mirrors.ini"
    Configuration config;
    config.clientVersion = 3;
    MainWindow window(config);
    window.show();
    MessageBoxAnswerer answerer({QMessageBox::Ok});
    QTimer::singleShot(0, startButton(window), &QPushButton::click);
    QCOMPARE(statusOfNextExit(5000), 2);
    QCOMPARE(answerer.seen.size(), 1);
    QCOMPARE(answerer.seen.at(0).text, QStringLiteral("mirrors.ini is missing, cannot proceed."));
    QVERIFY(startButton(window)->isEnabled());
    QCOMPARE(startButton(window)->text(), QStringLiteral("Start Update"));
    QVERIFY(!engineOf(window)->busy());
}

void tst_MainWindow::closingWhenIdleCloses()
{
    Configuration config;
    MainWindow window(config);
    window.show();
    MessageBoxAnswerer answerer({});
    QVERIFY(window.close());
    QVERIFY(!window.isVisible());
    QCOMPARE(answerer.seen.size(), 0);
}

namespace {
// A slow update on loopback, run by a window: a small file and a big one served at 100 KB/s.
struct SlowRun
{
    SlowRun()
    {
        fixture.offer(QStringLiteral("small"), "small file");
        fixture.offer(QStringLiteral("big"), QByteArray(600 * 1024, 'b'));
    }
    bool start(const QString& extra = QStringLiteral("limit_rate 100k;"))
    {
        return fixture.start(1, 0, extra) && folder.writeMirrorsIni(fixture.run.nginx);
    }

    EngineAppFolder folder;
    UpdateFixture fixture;
};
} // namespace

void tst_MainWindow::closingDuringARunAsksFirst()
{
    SlowRun run;
    QVERIFY2(run.start(), qPrintable(run.fixture.errorText()));
    MainWindow window(run.fixture.run.config);
    window.show();
    QTest::mouseClick(startButton(window), Qt::LeftButton);
    UpdateEngine* engine = engineOf(window);
    QCOMPARE(engine->state, EngineState(EngineRunning));
    QVERIFY(!startButton(window)->isEnabled());
    // The download figures appear with the first tick.
    QTRY_VERIFY_WITH_TIMEOUT(child<QLabel>(window, "totalSizeLabel")->isVisible(), 5000);
    QVERIFY(child<QLabel>(window, "totalTotalSizeLabel")->text().endsWith(QStringLiteral(" KB")));

    MessageBoxAnswerer answerer({QMessageBox::No, QMessageBox::No});
    QVERIFY(!window.close());
    QVERIFY(!window.close());
    QCOMPARE(answerer.seen.size(), 2);
    QCOMPARE(answerer.seen.at(0).title, QStringLiteral("Question"));
    QCOMPARE(answerer.seen.at(0).text, Question);
    QCOMPARE(answerer.seen.at(0).buttons, QMessageBox::Yes | QMessageBox::No);
    QVERIFY(window.isVisible());
    QCOMPARE(engine->state, EngineState(EngineRunning));
    // From the event loop, as the window would: the cancel ends in a modal box.
    QTimer::singleShot(0, engine, &UpdateEngine::cancelUpdate);
    QTRY_VERIFY_WITH_TIMEOUT(!engine->busy(), 10000);
}

void tst_MainWindow::confirmedCloseCancelsAndQuits()
{
    SlowRun run;
    QVERIFY2(run.start(), qPrintable(run.fixture.errorText()));
    MainWindow window(run.fixture.run.config);
    window.show();
    QTest::mouseClick(startButton(window), Qt::LeftButton);
    QVERIFY(engineOf(window)->busy());
    QTest::qWait(300);

    MessageBoxAnswerer answerer({QMessageBox::Yes});
    QTimer::singleShot(0, &window, [&window] {
        window.close();
        // A second attempt while the cancel is under way asks nothing.
        window.close();
    });
    QCOMPARE(statusOfNextExit(15000), 0);
    QCOMPARE(answerer.seen.size(), 1);
    QCOMPARE(answerer.seen.at(0).title, QStringLiteral("Question"));
    QVERIFY(logText(window).contains(QStringLiteral("User aborted update")));
    QVERIFY(!logText(window).contains(QStringLiteral("Update cancelled")));
    QVERIFY(!engineOf(window)->busy());
}

void tst_MainWindow::runEndingWhileTheQuestionIsOpenClosesOnYes()
{
    Configuration config;
    MainWindow window(config);
    window.show();
    UpdateEngine* engine = engineOf(window);
    engine->state = EngineInitialized; // busy, with nothing to cancel
    // The run ends while the question is on the screen.
    QTimer::singleShot(0, engine, [engine] {
        engine->state = EngineFinished;
        emit engine->updateFinished();
    });
    {
        MessageBoxAnswerer answerer({QMessageBox::Yes});
        QVERIFY(window.close());
        QCOMPARE(answerer.seen.size(), 1);
        QCOMPARE(answerer.seen.at(0).text, Question);
        QVERIFY(!window.isVisible());
    }

    // A later failed run reports itself instead of quitting the program.
    window.show();
    engine->state = EngineCanceled;
    MessageBoxAnswerer later({QMessageBox::Ok});
    QTimer::singleShot(0, engine, [engine] { emit engine->updateCanceled(); });
    QCOMPARE(statusOfNextExit(2000), -1);
    QCOMPARE(later.seen.size(), 1);
    QCOMPARE(later.seen.at(0).text, CancelBox);
}

void tst_MainWindow::failedRunOffersRestartWhichResumes()
{
    SlowRun run;
    run.fixture.offer(QStringLiteral("broken"), "content");
    run.fixture.tree.setListedMd5(QStringLiteral("files"),
                                  run.fixture.key(QStringLiteral("broken")),
                                  QStringLiteral("00000000000000000000000000000000"));
    QVERIFY2(run.start(QString()), qPrintable(run.fixture.errorText()));
    MainWindow window(run.fixture.run.config);
    window.show();
    MessageBoxAnswerer answerer({});
    QTest::mouseClick(startButton(window), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(startButton(window)->text(), QStringLiteral("Restart"), 20000);
    QVERIFY(startButton(window)->isEnabled());
    QCOMPARE(child<QProgressBar>(window, "totalProgressBar")->value(), 0);
    QVERIFY(logText(window).endsWith(QStringLiteral("Update cancelled")));
    QTRY_VERIFY(!answerer.seen.isEmpty() && answerer.seen.last().text == CancelBox);
    QCOMPARE(answerer.seen.last().title, QStringLiteral("Update"));
    // The failing step told why in the log; no user's cancel is reported.
    QVERIFY(logText(window).contains(QStringLiteral("There are no (more) known working mirrors")));
    QVERIFY(!logText(window).contains(QStringLiteral("User aborted update")));

    const int boxes = answerer.seen.size();
    QTest::mouseClick(startButton(window), Qt::LeftButton);
    QVERIFY(logText(window).contains(QStringLiteral("Previous update session for v. 1 found")));
    QTRY_VERIFY_WITH_TIMEOUT(answerer.seen.size() > boxes && answerer.seen.last().text == CancelBox,
                             20000);
    // What the first run downloaded and verified was not fetched again.
    QCOMPARE(run.fixture.run.requestCount(run.fixture.requestPath(QStringLiteral("small"))), 1);
}

void tst_MainWindow::wholeRunFinishesAndStartsTheClient()
{
    ClientScript script;
    EngineAppFolder folder;
    UpdateFixture fixture;
    fixture.offer(QStringLiteral("one"), "first file");
    fixture.offer(QStringLiteral("two"), QByteArray(50000, 't'));
    QVERIFY2(fixture.start(), qPrintable(fixture.errorText()));
    QVERIFY(folder.writeMirrorsIni(fixture.run.nginx));

    MainWindow window(fixture.run.config);
    window.show();
    MessageBoxAnswerer answerer({});
    QTest::mouseClick(startButton(window), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(startButton(window)->text(), QStringLiteral("Start Vendrel"), 20000);
    QCOMPARE(answerer.seen.size(), 0);
    QCOMPARE(child<QProgressBar>(window, "totalProgressBar")->value(), 1000);
    QVERIFY(!child<QLabel>(window, "totalSizeLabel")->isVisible());
    QVERIFY(logText(window).contains(QStringLiteral("Update successfully finished")));
    QCOMPARE(readFile(fixture.appFile(QStringLiteral("one"))), QByteArray("first file"));

    QTest::mouseClick(startButton(window), Qt::LeftButton);
    QTRY_VERIFY(script.started());
    QVERIFY(!window.isVisible());
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"

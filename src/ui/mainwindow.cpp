#include "ui/mainwindow.h"

#include "config/configuration.h"
#include "config/processtools.h"
#include "engine/updateengine.h"
#include "ui/changelogviewer.h"
#include "ui/singleinstancechecker.h"

#include <QBuffer>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QImageReader>
#include <QMessageBox>
#include <QPixmap>
#include <QScrollBar>
#include <QTimer>
#include <QUrl>

namespace {
const char* const MakerSiteUrl = "https://www.example.com/vendrel";
const int ClientStartDelay = 1000;
// The widest figure the window makes room for, in KB: just under 100 GB.
const quint64 WidestFigure = 99999999;
} // namespace

MainWindow::MainWindow(Configuration& config)
    : QWidget(nullptr)
    , config(config)
{
    engine = new UpdateEngine(config, this);
    connect(engine, &UpdateEngine::error, this, &MainWindow::onError);
    connect(engine, &UpdateEngine::fatalError, this, &MainWindow::onFatalError);
    connect(engine, &UpdateEngine::updateProgress, this, &MainWindow::onProgressUpdate);
    connect(engine, &UpdateEngine::downloadProgress, this, &MainWindow::onDownloadProgress);
    connect(engine, &UpdateEngine::message, this, &MainWindow::onAppendText);
    connect(engine, &UpdateEngine::updateFinished, this, &MainWindow::onUpdateFinished);
    connect(engine, &UpdateEngine::updateCanceled, this, &MainWindow::onUpdateCanceled);
    connect(engine, &UpdateEngine::bannerFound, this, &MainWindow::onBannerFound);

    setupUi(this);
    // Queued, so the scroll happens after the form's toggled() has shown or hidden the log.
    connect(detailsButton, &QPushButton::clicked, this, &MainWindow::onDetailsPressed,
            Qt::QueuedConnection);
    vendrelLabel->setUrl(QLatin1String(MakerSiteUrl));
    outputTextEdit->hide();
    followLogWhileAtItsEnd();
    reserveRoomForFigures();
    onDownloadProgress(0, 0, 0, false);

    auto* checker = new SingleInstanceChecker(this);
    connect(checker, &SingleInstanceChecker::otherInstanceActivate, this,
            &MainWindow::onOtherInstanceActivate);

    connect(&config, &Configuration::fatalError, this, &MainWindow::onFatalConfigError);
    engine->getBanner();
}

MainWindow::~MainWindow() = default;

void MainWindow::setUIToConfigSpecs()
{
    QString channel;
    switch (config.updateChannel) {
    case UpdateChannelStable:
        channel = tr("Stable");
        break;
    case UpdateChannelBeta:
        channel = tr("Beta");
        break;
    case UpdateChannelAlpha:
        channel = tr("Alpha");
        break;
    }

    QString text;
    // The label may come from the update server: as markup, it could name files to read.
    if (!config.clientVersionLabel.isEmpty())
        text = QStringLiteral("<div style=\"font-weight:bold;font-size:14px\">") +
               tr("Update to Vendrel %1").arg(config.clientVersionLabel.toHtmlEscaped()) +
               QStringLiteral("</div>");
    text += QStringLiteral("<div style=\"margin-top:8px\">") +
            tr("You are currently on <strong>%1 channel</strong>.").arg(channel) +
            QStringLiteral("</div>");
    versionLabel->setText(text);

    if (config.noUserMode)
        startButton->setEnabled(false);
}

void MainWindow::setNews()
{
    newsBanner->setNews(config.news);
}

void MainWindow::onFatalConfigError(QString errorMessage)
{
    // No parent: the window may not be shown yet.
    QMessageBox::critical(nullptr, QObject::tr("Error"), errorMessage, QMessageBox::Ok);
    endProgram(1);
}

void MainWindow::onFatalError(QString errorMessage)
{
    QMessageBox::critical(this, QObject::tr("Error"), errorMessage, QMessageBox::Ok);
    endProgram(2);
}

void MainWindow::endProgram(int status)
{
    if (isVisible())
        QCoreApplication::exit(status);
    else if (earlyExitStatus == 0)
        earlyExitStatus = status;
}

void MainWindow::onError(QString errorMessage)
{
    onAppendText(errorMessage);
    QMessageBox::critical(this, QObject::tr("Error"), errorMessage, QMessageBox::Ok);
}

void MainWindow::onAutoStartUpdate()
{
    on_startButton_clicked();
}

void MainWindow::on_startButton_clicked()
{
    if (updateDone) {
        ProcessTools::startQorClient();
        close();
        return;
    }
    if (engine->busy())
        return;
    // A failure has been reported as a fatal error, which ends the program.
    if (!engine->initialize())
        return;
    startButton->setEnabled(false);
    engine->startUpdate();
}

void MainWindow::reserveRoomForFigures()
{
    const auto reserve = [](QLabel* label, const QString& widest) {
        const QString text = label->text();
        label->setText(widest);
        label->setMinimumWidth(label->sizeHint().width());
        label->setText(text);
        QSizePolicy policy = label->sizePolicy();
        policy.setRetainSizeWhenHidden(true);
        label->setSizePolicy(policy);
    };
    reserve(downloadSpeedLabel, tr("%1 KB/s").arg(WidestFigure));
    reserve(totalSizeLabel, tr("%1 KB").arg(WidestFigure));
    reserve(label_6, label_6->text());
    reserve(totalTotalSizeLabel, tr("%1 KB").arg(WidestFigure));
}

void MainWindow::followLogWhileAtItsEnd()
{
    // Whether the view is at the end is judged when the reader moves it, not when a line
    // arrives: a log that re-wraps grows under a view that has not moved.
    QScrollBar* bar = outputTextEdit->verticalScrollBar();
    connect(bar, &QScrollBar::valueChanged, this,
            [this, bar](int value) { logAtEnd = value == bar->maximum(); });
    connect(bar, &QScrollBar::rangeChanged, this, [this] {
        if (logAtEnd)
            scrollLogToEnd();
    });
}

void MainWindow::onAppendText(QString text)
{
    outputTextEdit->append(text);
}

void MainWindow::scrollLogToEnd()
{
    outputTextEdit->verticalScrollBar()->setValue(outputTextEdit->verticalScrollBar()->maximum());
}

void MainWindow::onProgressUpdate(qreal doneFrac)
{
    totalProgressBar->setValue(int(1000.0 * doneFrac));
}

void MainWindow::onDownloadProgress(quint64 downloadDone, quint64 downloadTotal, quint64 speed,
                                    bool downloading)
{
    totalSizeLabel->setVisible(downloading);
    totalTotalSizeLabel->setVisible(downloading);
    downloadSpeedLabel->setVisible(downloading);
    label_6->setVisible(downloading);
    if (!downloading)
        return;
    totalSizeLabel->setText(tr("%1 KB").arg(downloadDone / 1000));
    totalTotalSizeLabel->setText(tr("%1 KB").arg(downloadTotal / 1000));
    downloadSpeedLabel->setText(tr("%1 KB/s").arg(speed / 1000));
}

void MainWindow::onUpdateFinished()
{
    updateDone = true;
    scrollLogToEnd();
    if (config.noUserMode && !ChangeLogViewer::m_instance) {
        QTimer::singleShot(ClientStartDelay, this, &MainWindow::on_startButton_clicked);
        return;
    }
    startButton->setText(tr("Start Vendrel"));
    // Enabled before it takes the focus: a disabled button refuses the focus.
    startButton->setEnabled(true);
    startButton->setFocus(Qt::OtherFocusReason);
}

void MainWindow::onUpdateCanceled()
{
    if (closeRequested) {
        QCoreApplication::quit();
        return;
    }
    updateDone = false;
    engine->reset();
    startButton->setText(tr("Restart"));
    startButton->setEnabled(true);
    onAppendText(tr("Update cancelled"));
    scrollLogToEnd();
    totalProgressBar->setValue(0);
    QMessageBox::critical(this, tr("Update"),
                          tr("Update cancelled. Push \"Details\" to check reasons."),
                          QMessageBox::Ok);
}

void MainWindow::onOtherInstanceActivate(QString message)
{
    if (message != QLatin1String("#"))
        return;
    raise();
    activateWindow();
}

void MainWindow::onBannerFound(QByteArray bannerImage, QString clickUrl)
{
    QBuffer buffer(&bannerImage);
    const QSize declared = QImageReader(&buffer).size();
    if (declared.width() > MaxBannerSide || declared.height() > MaxBannerSide)
        return;
    QPixmap picture;
    if (!picture.loadFromData(bannerImage))
        return;
    const QUrl url(clickUrl);
    banner->setToolTip(tr("Click to open \"%1://%2\"").arg(url.scheme(), url.host()));
    banner->setUrl(clickUrl);
    banner->setPixmap(picture);
}

void MainWindow::onDetailsPressed()
{
    if (outputTextEdit->isVisible())
        scrollLogToEnd();
}

void MainWindow::on_changelogButton_clicked()
{
    ChangeLogViewer::showRemoteChangeLogDialog(this, QString::number(config.clientVersion));
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (!engine->busy()) {
        event->accept();
        return;
    }
    event->ignore();
    if (closeRequested)
        return;
    const QMessageBox::StandardButton answer = QMessageBox::question(
        this, tr("Question"),
        tr("<p>Update in progress.</p><p>Are you sure you want to abort?</p>"),
        QMessageBox::Yes | QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return;
    if (!engine->busy()) {
        // The run ended while the question was open: no cancel will be reported, so a later
        // run's failure must not quit the program; close now as the user asked.
        event->accept();
        return;
    }
    closeRequested = true;
    engine->cancelUpdate();
}

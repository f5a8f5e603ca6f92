#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "ui_mainwindow.h"

#include <QByteArray>
#include <QString>
#include <QWidget>

class Configuration;
class QCloseEvent;
class UpdateEngine;

// The updater's only window: the offered version and channel, the news line, the banner, the
// overall progress (0..1000), the download figures, the details log and the buttons to show
// the details, open the changelog and start. It owns the update engine and the single-instance
// server, turns the engine's signals into what the user sees, asks before a running update is
// abandoned by closing, and starts the updated client.
class MainWindow : public QWidget, private Ui::MainWindow
{
    Q_OBJECT
    Q_DISABLE_COPY(MainWindow)

public:
    // A top-level window with its engine (which starts the banner query) and single-instance
    // server; the download figures and the details log are hidden. Connects config's
    // fatalError, so errors of the command-line parse that follows are shown.
    explicit MainWindow(Configuration& config);
    ~MainWindow() override;

    // Shows the offered version label and the channel; in the "--nouser" form disables the
    // start button. Called after the command line has been parsed.
    void setUIToConfigSpecs();
    // Hands the configuration's news text to the news line; call after the window is shown.
    void setNews();
    // The exit status of a fatal error reported before the window was shown (2 from the
    // engine, 1 from the configuration; the first one counts), 0 when none: the program must
    // then end with it instead of showing the window.
    int fatalStatus() const { return earlyExitStatus; }

    // A banner picture wider or higher than this is ignored before it is decoded: a small
    // file may declare a picture that fills the memory.
    static constexpr int MaxBannerSide = 4096;

protected:
    // Closing during a running update asks first; a confirmed close cancels the update and
    // the application quits once the engine reports the cancel.
    void closeEvent(QCloseEvent* event) override;

private slots:
    void onFatalConfigError(QString errorMessage);
    void onFatalError(QString errorMessage);
    void onError(QString errorMessage);
    void onAutoStartUpdate();
    void on_startButton_clicked();
    void onAppendText(QString text);
    void onProgressUpdate(qreal doneFrac);
    void onDownloadProgress(quint64 downloadDone, quint64 downloadTotal, quint64 speed,
                            bool downloading);
    void onUpdateFinished();
    void onUpdateCanceled();
    void onOtherInstanceActivate(QString message);
    void onBannerFound(QByteArray bannerImage, QString clickUrl);
    void onDetailsPressed();
    void on_changelogButton_clicked();

private:
    // Gives the download figures room for tens of GB, kept while they are hidden, so the
    // window, whose size follows its contents, keeps its width through a run.
    void reserveRoomForFigures();
    // The details log follows its newest lines while its view is at the end and stays where
    // the reader scrolled it otherwise.
    void followLogWhileAtItsEnd();
    // Shows the newest line of the details log; the log follows its end again from there.
    void scrollLogToEnd();
    // Ends the event loop with status once the window is shown. Before, the only loops are
    // those of the command-line parse's boxes, and ending them would leave the parse retrying
    // with boxes that no longer show: the status is kept for fatalStatus() instead.
    void endProgram(int status);

    Configuration& config;
    UpdateEngine* engine = nullptr;
    bool updateDone = false;
    bool closeRequested = false;
    bool logAtEnd = true;
    int earlyExitStatus = 0;
};

#endif // MAINWINDOW_H

// Stands in for the program file in tests of the start-up: runs the program's start-up with
// every message box answered, and reports as key=value lines what the user would have seen:
// the window when shown, every box with the time it appeared, and the exit status.
#include "support/messageboxanswerer.h"
#include "ui/startup.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QUrl>
#include <cstdio>

namespace {
void report(const QString& key, const QString& value)
{
    std::printf("%s=%s\n", qPrintable(key), QUrl::toPercentEncoding(value).constData());
    std::fflush(stdout);
}

// Reports the main window and the message boxes as they are shown.
class ShowWatcher : public QObject
{
public:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() != QEvent::Show || !watched->isWidgetType())
            return false;
        auto* widget = static_cast<QWidget*>(watched);
        if (widget->isWindow() && widget->objectName() == QLatin1String("MainWindow")) {
            auto* start = widget->findChild<QPushButton*>(QStringLiteral("startButton"));
            report(QStringLiteral("shown"), QStringLiteral("1"));
            report(QStringLiteral("title"), widget->windowTitle());
            report(QStringLiteral("startText"), start->text());
            report(QStringLiteral("startEnabled"), QString::number(start->isEnabled()));
        } else if (auto* box = qobject_cast<QMessageBox*>(watched)) {
            report(QStringLiteral("box%1Ms").arg(boxes), QString::number(clock.elapsed()));
            report(QStringLiteral("box%1").arg(boxes++), box->text());
        }
        return false;
    }

    QElapsedTimer clock;
    int boxes = 0;
};
} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    ShowWatcher watcher;
    watcher.clock.start();
    app.installEventFilter(&watcher);
    MessageBoxAnswerer answerer({});
    const int quitMs = qEnvironmentVariableIntValue("UIPROBE_QUIT_MS");
    if (quitMs > 0)
        QTimer::singleShot(quitMs, &app, &QCoreApplication::quit);

    const int status = Startup::run(app);
    for (int i = 0; i < answerer.seen.size(); ++i) {
        const MessageBoxAnswerer::Seen& seen = answerer.seen.at(i);
        report(QStringLiteral("boxTitle%1").arg(i), seen.title);
        report(QStringLiteral("boxParent%1").arg(i), QString::number(seen.hadParent));
    }
    report(QStringLiteral("status"), QString::number(status));
    return status;
}

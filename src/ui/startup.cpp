#include "ui/startup.h"

#include "config/configuration.h"
#include "engine/updateengine.h"
#include "ui/mainwindow.h"
#include "ui/singleinstancechecker.h"

#include <QApplication>
#include <QLocale>
#include <QTimer>
#include <QTranslator>

namespace {
const int AutoStartDelay = 2000;
} // namespace

int Startup::run(QApplication& app)
{
    Q_INIT_RESOURCE(images);

    if (SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")))
        return 0;
    // This process holds the claim on the client folder from here on; the window's checker
    // takes it over.

    // Only after the claim: a running update may still need these copies for its undo.
    const QString root = Configuration::getAppRootPath();
    UpdateEngine::removeOldFiles(root);
    UpdateEngine::removeOldFiles(root + QStringLiteral("/imageformats"));
    UpdateEngine::removeOldFiles(root + QStringLiteral("/accessible"));

    // A missing translation leaves the translator empty; the texts then stay in English.
    const QString locale = QLocale::system().name();
    QTranslator updateTranslator;
    updateTranslator.load(root + QStringLiteral("/translations/update_") + locale);
    app.installTranslator(&updateTranslator);
    QTranslator qtTranslator;
    qtTranslator.load(root + QStringLiteral("/translations/qt_") + locale);
    app.installTranslator(&qtTranslator);

    Configuration config;
    MainWindow window(config);
    const bool parsed = config.parseCommandLineOptions();
    // A fatal error can also arrive from the event loop of a box that the parse showed.
    if (window.fatalStatus() != 0)
        return window.fatalStatus();
    if (!parsed)
        return 1;
    if (config.noUserMode)
        QTimer::singleShot(AutoStartDelay, &window, SLOT(onAutoStartUpdate()));

    window.setUIToConfigSpecs();
    window.show();
    window.setNews();
    return app.exec();
}

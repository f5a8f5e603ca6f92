#ifndef STARTUP_H
#define STARTUP_H

class QApplication;

// The program's start-up after the application object exists, shared by main() and the tests
// that start the program the same way.
class Startup
{
public:
    Startup() = delete;

    // Returns 0 when another instance holds the claim on the client folder, after handing it
    // "#" or saying on standard error why not, touching nothing; else removes moved-aside copies
    // of the updater's own files, installs the translators, builds the configuration and the
    // window, parses the command line (1 on failure, or the status of a fatal error reported
    // meanwhile; the window never shown), schedules the automatic start of the "--nouser" form
    // 2000 ms ahead, shows the window and returns the status of the event loop.
    static int run(QApplication& app);
};

#endif // STARTUP_H

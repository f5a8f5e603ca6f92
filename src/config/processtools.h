#ifndef PROCESSTOOLS_H
#define PROCESSTOOLS_H

// Starting the installed client. Static operations only.
class ProcessTools
{
public:
    ProcessTools() = delete;

    // Starts "qorclient_runscript.sh" of the application folder, detached, with no arguments;
    // the client outlives the updater. A failed start is not reported.
    static void startQorClient();
};

#endif // PROCESSTOOLS_H

#ifndef CHILDPROCESS_H
#define CHILDPROCESS_H

#include <QProcess>

// A server process started by a test. It is told to end when the test program dies, so a
// crashed or killed test leaves no server listening behind it.
class ChildProcess : public QProcess
{
    Q_OBJECT

public:
    using QProcess::QProcess;

protected:
    void setupChildProcess() override;
};

#endif // CHILDPROCESS_H

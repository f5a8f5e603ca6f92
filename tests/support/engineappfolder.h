#ifndef ENGINEAPPFOLDER_H
#define ENGINEAPPFOLDER_H

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

class NginxServer;

// The settings an update engine reads from the application folder ("mirrors.ini" and
// "update.ini") and a private system temporary folder (TMPDIR) for the temporary folders it
// creates. Both settings files are removed and TMPDIR restored on destruction, so each test
// starts from an application folder without them.
class EngineAppFolder
{
public:
    EngineAppFolder();
    ~EngineAppFolder();
    Q_DISABLE_COPY(EngineAppFolder)

    bool isValid() const { return temp.isValid(); }
    static QString mirrorsIniPath();
    static QString updateIniPath();
    // A "mirrors.ini" naming every mirror of nginx.
    bool writeMirrorsIni(const NginxServer& nginx, int retries = 0) const;
    bool writeUpdateIni(const QByteArray& text) const;
    // The folder the engine's temporary folders are created in.
    QString tempRoot() const { return temp.path(); }

private:
    QTemporaryDir temp;
    QByteArray previousTmpDir;
    bool hadTmpDir = false;
};

#endif // ENGINEAPPFOLDER_H

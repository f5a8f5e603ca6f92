#ifndef INSTALLSANDBOX_H
#define INSTALLSANDBOX_H

#include "config/configuration.h"
#include "plan/filereplacespecification.h"
#include "support/appsandbox.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// The setting of an installation step: a sandbox inside the application folder, a download
// folder, and a Configuration whose tempDir is that download folder. The stage functions put
// a download in place and return the record that installs it; every rel path is relative to
// the sandbox.
class InstallSandbox
{
public:
    InstallSandbox();
    Q_DISABLE_COPY(InstallSandbox)

    bool isValid() const { return app.isValid() && downloads.isValid(); }
    // Absolute path of rel in the sandbox.
    QString appFile(const QString& rel) const { return app.filePath(rel); }

    // data downloaded as it is, to be installed at rel.
    FileReplaceSpecification stageCopy(const QString& rel, const QByteArray& data);
    // content downloaded gzip-compressed under key, to be unpacked to rel and checked
    // against md5 (the true sum when null; an empty, non-null text selects the signature check).
    FileReplaceSpecification stageGzip(const QString& key, const QString& rel,
                                       const QByteArray& content, const QString& md5 = QString());

    AppSandbox app;
    QTemporaryDir downloads;
    Configuration config;
};

#endif // INSTALLSANDBOX_H

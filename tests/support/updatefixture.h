#ifndef UPDATEFIXTURE_H
#define UPDATEFIXTURE_H

#include "support/appsandbox.h"
#include "support/downloadrun.h"
#include "support/mirrortree.h"
#include "support/poolgate.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>

// One update of an installed tree on loopback: an application-folder sandbox holding the
// installed files, a mirror tree whose product ini names each file by its path relative to the
// application folder, and the nginx mirrors, mirror list and configuration of a DownloadRun.
// Every rel path is relative to the sandbox.
class UpdateFixture
{
public:
    explicit UpdateFixture(int version = 1);
    Q_DISABLE_COPY(UpdateFixture)

    bool isValid() const { return app.isValid() && run.dir.isValid(); }
    // rel as the product ini names it: relative to the application folder.
    QString key(const QString& rel) const { return app.relative(rel); }
    QString appFile(const QString& rel) const { return app.filePath(rel); }
    // The path of rel's download in the configuration's temporary folder.
    QString downloadFile(const QString& rel) const;
    // nginx's request path of rel's download (e.g. "/1/files/<key>").
    QString requestPath(const QString& rel) const;
    QString iniRequestPath() const;

    // data offered for rel, downloaded and installed as it is.
    void offer(const QString& rel, const QByteArray& data);
    // content offered gzip-compressed (as rel + ".gz"), unpacked to rel on installation.
    void offerGzip(const QString& rel, const QByteArray& content);
    // rel listed for deletion.
    void offerDelete(const QString& rel);
    // Writes an installed file.
    bool install(const QString& rel, const QByteArray& data);
    // Installs "a" and "b" and offers new versions of both and a new "new/c". The installation
    // replaces two files at a time, so "new/c" waits until one of the others has been copied.
    bool offerThreeReplacements();
    // From the moment source logs "Starting file updates" every pool thread is held, so the
    // installation's copies wait in the pool's queue until installGate is released.
    template <typename Source>
    void holdPoolAtInstallation(Source* source)
    {
        QObject::connect(source, &Source::message, source, [this](const QString& text) {
            if (text == QLatin1String("Starting file updates"))
                installGate.reset(new PoolGate);
        });
    }

    // Builds the tree on mirrorCount mirrors and starts nginx; extra goes into every mirror's
    // server block (e.g. "limit_rate 64k;"). False, with the reason in errorText().
    bool start(int mirrorCount = 1, int retries = 0, const QString& extra = QString());
    // Puts text, signed with the test key, on every mirror as the product ini.
    bool replaceProductIni(const QByteArray& text);
    QString errorText() const { return run.errorText; }

    AppSandbox app;
    MirrorTree tree;
    DownloadRun run;
    // Goes first, releasing the pool.
    std::unique_ptr<PoolGate> installGate;
};

#endif // UPDATEFIXTURE_H

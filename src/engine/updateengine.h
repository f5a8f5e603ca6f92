#ifndef UPDATEENGINE_H
#define UPDATEENGINE_H

#include <QByteArray>
#include <QObject>
#include <QString>

class Configuration;
class MainTaskSpecification;
class Mirrors;
class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

enum EngineStateValues
{
    EngineIdle = 0,
    EngineInitialized = 1,
    EngineRunning = 2,
    EngineFinished = 3,
    EngineCanceled = 4
};
typedef int EngineState;

// Owns one update run for the window: the network access manager shared by every download
// (with the proxy of "update.ini"), the preparation of a run, the main task, its one-second
// download tick, the user's cancel and the report of the end. Also fetches the banner.
// GUI thread only.
class UpdateEngine : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(UpdateEngine)

public:
    // Reads "proxy" and "streams" into config and sets the manager's proxy. An invalid proxy
    // is reported by fatalError from the event loop, after the caller has connected.
    UpdateEngine(Configuration& config, QObject* parent);
    // Every main task goes first, before the manager and mirror list it uses: the current
    // one, even while it runs (it undoes an unfinished installation), and a released one the
    // event loop has not deleted yet. Nothing is emitted.
    ~UpdateEngine() override;

    // Prepares a run: crypto library, "mirrors.ini" present, random seed, an earlier session
    // resumed (same version) or removed, temporary folder, session record, mirror list.
    // True in EngineInitialized; false (state unchanged) after a fatalError.
    bool initialize();
    // Creates and executes the main task and starts the tick; call right after initialize().
    // Returns true; the end arrives as updateFinished() or updateCanceled().
    bool startUpdate();
    // True while a run is prepared or running.
    bool busy() const;
    // Back to EngineIdle; a task still held is disconnected and released.
    void reset();
    // Starts a banner query; nothing while an image download is pending. The image is fetched
    // only from an http or https address and handed on through bannerFound unless it exceeds
    // 270000 bytes, announced or not; every failure passes silently.
    void getBanner();
    // Removes "_old_" + each of the updater's own file names in dir; failures pass silently.
    static void removeOldFiles(const QString& dir);
    // Empties the folder of the current user at path recursively, through a handle opened
    // without following links; symbolic links are neither removed nor followed, and a path
    // that is a link is left alone.
    void cleanupDirectory(const QString& path);
    // Removes the recorded temporary folder and the session record.
    void cleanup();

    EngineState state = EngineIdle;
    Configuration* config = nullptr; // not owned
    Mirrors* mirrors = nullptr;      // child, made by initialize()
    MainTaskSpecification* task = nullptr;
    QTimer* timer = nullptr;
    QNetworkAccessManager* manager = nullptr;
    QString bannerClickUrl;
    QNetworkReply* bannerReply = nullptr;

signals:
    void fatalError(QString errorMessage);
    void error(QString errorMessage);
    void updateProgress(qreal doneFrac);
    void downloadProgress(quint64 downloadDone, quint64 downloadTotal, quint64 speed,
                          bool downloading);
    void message(QString message);
    void updateFinished();
    void updateCanceled();
    void bannerFound(QByteArray bannerImage, QString clickUrl);

public slots:
    // While running, asks the main task to cancel; the end arrives through updateCanceled().
    // Does nothing in any other state.
    void cancelUpdate();

private slots:
    void onTimer();
    void onTaskFinished();
    void onTaskCanceled();
    void onBannerFound(QString bannerUrl, QString clickUrl);
    void onBannerDownloadFinished();
    void onBannermetaDataChanged();
    // A body that outgrows the size limit is dropped, announced or not.
    void onBannerReadyRead();

private:
    // Disconnects the main task from the engine and releases it.
    void releaseTask();
    // Moves what the image download has delivered into bannerBody; past the size limit it
    // drops the download and returns false.
    bool takeBannerData();
    // Stops and releases the pending image download without a signal.
    void dropBannerDownload();

    // What the pending image download has delivered so far.
    QByteArray bannerBody;
};

#endif // UPDATEENGINE_H

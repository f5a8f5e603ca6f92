#ifndef CONFIGURATION_H
#define CONFIGURATION_H

#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>

#include <functional>

// The update channel of an installation; the value is also the index of the channel's entry
// in the update server's version list. The fixed underlying type keeps a number outside the
// three known channels a valid value, which the code handles as a channel without a name.
enum UpdateChannel : int
{
    UpdateChannelStable = 0,
    UpdateChannelBeta = 1,
    UpdateChannelAlpha = 2
};

// The settings of one run: what to update to, on which channel, with which label and news,
// in which temporary folder, through which proxy and with how many downloads at once.
// Filled from the command line, from "update.ini" in the application folder and, when
// neither names the version, from the update server. Lives on the GUI thread.
class Configuration : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Configuration)

public:
    // All texts empty, noUserMode false, numbers 0. Reads nothing.
    explicit Configuration(QObject* parent = nullptr);
    ~Configuration() override;

    // The folder of the running program file; every installed file, "update.ini" and
    // "mirrors.ini" are resolved against it. Keeps no state, safe on any thread.
    static QString getAppRootPath();
    // The default client type, "client_linux_x86".
    static QString getUpdateType();
    // The file name of the client start script, "qorclient_runscript.sh".
    static QString getClientBinaryName();
    // A new list of the updater's own files, which are in use while it runs and are moved
    // aside instead of overwritten.
    static QStringList getSpecialFileNames();
    // The one process-wide prefix "_old_" of moved-aside special files; every call returns
    // the same object, created once, safely against concurrent first calls.
    static const QString& getSpecialFileRenamePrefix();

    // True when name equals one of getSpecialFileNames() exactly (case and folder included).
    bool isSpecialFileName(const QString& name) const;

    // Reads "proxy" (empty when missing) and "streams" (6 when missing, not a number or
    // below 1) of group "update" of "update.ini" into proxy and downloadConcurrency.
    void getProxyAndDownloadConcurrency();
    // Reads group "Channel" of "update.ini": a non-empty "alpha" selects the alpha channel
    // and takes clientVersion from "alphaRevno" (0 when missing or not a number); otherwise
    // "beta" selects beta or stable and clientVersion becomes 0.
    void getUpdateChannel();
    // Leaves a non-zero clientVersion as it is and returns true. Otherwise parses text as a
    // decimal integer into clientVersion; on failure emits fatalError(errorFormat with %1 =
    // text) and returns false.
    bool getClientVersionFromString(const QString& text, const QString& errorFormat);
    // Takes args[index] as clientType and args[index + 1] as the version; emits fatalError and
    // returns false when either is missing or the version is not a number.
    bool getClientTypeVersion(const QStringList& args, int index);
    // Fills a missing clientType with the default; when clientVersion is 0 asks the update
    // server for the version, label and news of the channel. False when the user gave up the
    // query, the server named no version for the channel or the version is not a number.
    bool getDefaultParameters();
    // Reads the channel, then parses QCoreApplication::arguments() in one of the forms
    // "--nouser" type version [label|"#" [news]], type version, or anything else (defaults).
    // False after a fatalError or an abandoned server query; the run cannot go on then.
    bool parseCommandLineOptions();
    // Asks the update server, blocking, for the (version text, label) of channel and stores
    // its news text in news. A failed exchange shows a Retry/Abort box; Abort returns two
    // empty texts and leaves news as it was.
    QPair<QString, QString> getLatestClientVersion(UpdateChannel channel, QString& news);

    // Creates a new, private temporary folder "vendrel_temp_<n>" (n the first of 0..999 that
    // can be created afresh) in the system's temporary folder and stores it in tempDir.
    // Never reuses an existing path. Emits fatalError and returns false when none can be made.
    // record, when given, is called with each name just before the folder is made there: a
    // record made after the folder would leave it for good behind a run killed in between.
    bool createTempDir(const std::function<void(const QString&)>& record = nullptr);
    // True when path names one of the folders createTempDir makes: "vendrel_temp_<n>" (n in
    // 0..999, no leading zeros) directly in the system's temporary folder, written in its clean
    // form (no trailing "/", "." or ".." steps, no doubled "/"). Only the text is judged;
    // whether anything exists there is not.
    static bool isTempDirPath(const QString& path);
    // Takes dir as tempDir when it is not empty (untested), else createTempDir(record).
    bool initalizeStart(const QString& dir,
                        const std::function<void(const QString&)>& record = nullptr);

    bool noUserMode = false;
    UpdateChannel updateChannel = UpdateChannelStable;
    QString clientType;
    int clientVersion = 0;
    QString clientVersionLabel;
    QString news;
    QString tempDir;
    QString proxy;
    int downloadConcurrency = 0;

signals:
    // The run cannot go on; the window shows the text and ends the program with status 1.
    void fatalError(QString errorMessage);
    // A line for the details log.
    void message(QString message);
};

#endif // CONFIGURATION_H

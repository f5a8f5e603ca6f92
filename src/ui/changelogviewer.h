#ifndef CHANGELOGVIEWER_H
#define CHANGELOGVIEWER_H

#include <QDialog>
#include <QString>
#include <QStringList>

class QNetworkAccessManager;
class QNetworkReply;
class QTextEdit;
class QTimer;

// The dialog that shows the changelog of the offered client version. It reads "update.ini"
// (the alpha address) or "mirrors.ini" itself and asks one mirror after another, each at most
// once and with 2000 ms per attempt, through a network access manager of its own (no proxy),
// until one delivers the text. At most one dialog exists at a time; it deletes itself on close.
class ChangeLogViewer : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY(ChangeLogViewer)

public:
    // Opens the dialog and asks for the changelog of version (decimal text), or, when one is
    // open already, only shows, raises and activates it: no new request, whatever the version.
    static void showRemoteChangeLogDialog(QWidget* parent, const QString& version);
    // The open dialog; null when none.
    static ChangeLogViewer* m_instance;
    // The longest changelog taken, in bytes; a longer answer, announced or not, counts as a
    // failed attempt and is abandoned as soon as it outgrows this.
    static constexpr qint64 MaxChangeLogSize = 512 * 1024;

    // An empty dialog of 617 x 500 with a read-only, unwrapped, fixed-pitch text field and a
    // Close button. Sends nothing yet.
    explicit ChangeLogViewer(QWidget* parent);
    ~ChangeLogViewer() override;

    // Asks the next untried address for the changelog of version (an empty version keeps the
    // stored one) and shows "Loading..."; shows "Failed to load changelog." when no address is
    // left. Does nothing while a request is pending.
    void requestRemote(QString version);
    // The next base address to try: the alpha address of "update.ini" (the only one then),
    // else a random untried mirror of "mirrors.ini"; empty when none is left.
    QString getRemoteUrl();
    // Takes a random address out of the untried mirrors; empty when none is left.
    QString getRandomMirror();
    // Shows text as plain text and sizes the dialog to its longest line (at most the desktop's
    // width) and at most 500 pixels high; an empty text leaves the size as it is.
    void load(const QString& text);

private slots:
    void onRequestFinished();
    void onRequestTimeout();

private:
    QTextEdit* changeLogTextEdit = nullptr;
    QNetworkAccessManager* manager = nullptr;
    QNetworkReply* reply = nullptr;
    QTimer* timeoutTimer = nullptr;
    QStringList mirrorUrls;
    bool mirrorsLoaded = false;
    QString version;
};

#endif // CHANGELOGVIEWER_H

#ifndef URLRECORDER_H
#define URLRECORDER_H

#include <QList>
#include <QObject>
#include <QStringList>
#include <QUrl>

// Takes the place of the browser for the given URL schemes: every QDesktopServices::openUrl
// of such an address is recorded instead of handed to the desktop. The handlers are removed
// on destruction.
class UrlRecorder : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(UrlRecorder)

public:
    explicit UrlRecorder(const QStringList& schemes = {"http", "https", "file"},
                         QObject* parent = nullptr);
    ~UrlRecorder() override;

    // The addresses opened so far, in order.
    QList<QUrl> opened;

    Q_INVOKABLE void open(const QUrl& url);

private:
    QStringList schemes;
};

#endif // URLRECORDER_H

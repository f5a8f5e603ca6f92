#include "support/urlrecorder.h"

#include <QDesktopServices>

UrlRecorder::UrlRecorder(const QStringList& schemes, QObject* parent)
    : QObject(parent)
    , schemes(schemes)
{
    for (const QString& scheme : schemes)
        QDesktopServices::setUrlHandler(scheme, this, "open");
}

UrlRecorder::~UrlRecorder()
{
    for (const QString& scheme : qAsConst(schemes))
        QDesktopServices::unsetUrlHandler(scheme);
}

void UrlRecorder::open(const QUrl& url)
{
    opened.append(url);
}

#include "ui/urlclicklabel.h"

#include "net/mirrorurl.h"

#include <QDesktopServices>
#include <QUrl>

void openWebAddress(const QString& address)
{
    const QUrl url(address);
    if (isWebAddress(url))
        QDesktopServices::openUrl(url);
}

UrlClickLabel::UrlClickLabel(QWidget* parent)
    : QLabel(parent)
{
}

void UrlClickLabel::setUrl(const QString& url)
{
    this->url = url;
}

void UrlClickLabel::mousePressEvent(QMouseEvent* event)
{
    Q_UNUSED(event)
    openWebAddress(url);
}

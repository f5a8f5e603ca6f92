#include "ui/urlclicklabel.h"

#include <QDesktopServices>
#include <QUrl>

void openWebAddress(const QString& address)
{
    const QUrl url(address);
    if (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"))
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

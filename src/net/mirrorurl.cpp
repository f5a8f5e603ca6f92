#include "net/mirrorurl.h"

#include <QByteArray>
#include <QStringList>

QUrl mirrorFileUrl(const QString& base, const QString& path)
{
    const QStringList segments = path.split(QLatin1Char('/'));
    QByteArray encoded;
    for (int i = 0; i < segments.size(); ++i) {
        if (i > 0)
            encoded += '/';
        encoded += QUrl::toPercentEncoding(segments.at(i));
    }
    return QUrl(base + QString::fromLatin1(encoded));
}

bool isWebAddress(const QUrl& url)
{
    return url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https");
}

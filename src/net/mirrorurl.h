#ifndef MIRRORURL_H
#define MIRRORURL_H

#include <QString>
#include <QUrl>

// The address of path (a "/"-separated relative path, such as a section and a file name) below
// base (a mirror address ending in "/"). base is taken as the publisher wrote it; every segment
// of path is percent-encoded as UTF-8, so the mirror is asked for exactly that path even when a
// name holds "#", "?", "%", spaces or letters outside ASCII.
QUrl mirrorFileUrl(const QString& base, const QString& path);
// Whether url is an http or https address: addresses from the network are fetched or opened
// only then, since a "file:" one, or one without a scheme, names a local file (a device or a
// pipe could block the program or never end).
bool isWebAddress(const QUrl& url);

#endif // MIRRORURL_H

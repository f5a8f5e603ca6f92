#ifndef STAYSINSIDEFOLDER_H
#define STAYSINSIDEFOLDER_H

#include <QString>

// True when relativePath, a path from the product ini to be joined below the application or
// the temporary folder, names something strictly inside that folder. A signed ini is trusted
// with content, not with writing or deleting anywhere else, so refused are: an empty path, an
// absolute path, any ".." component, a "." component other than a leading one (a name the
// installation cannot take), a NUL (where the system would cut the path short) and a path that
// names the folder itself (".", "./").
bool staysInsideFolder(const QString& relativePath);

#endif // STAYSINSIDEFOLDER_H

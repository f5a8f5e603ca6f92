#ifndef FILEENTRY_H
#define FILEENTRY_H

#include <QString>

// Operations on one folder entry that never follow a symbolic link standing at the named path:
// such a link is an entry like any file, found, moved and removed as the link itself. Links in
// the folder part of a path are followed as usual.
class FileEntry
{
public:
    // Whether anything stands at path, a dangling link included.
    static bool exists(const QString& path);
    // Moves the entry at from to the name to, in the same file system. Fails, changing
    // nothing, when to exists (a dangling link included) or from does not.
    static bool rename(const QString& from, const QString& to);
};

#endif // FILEENTRY_H

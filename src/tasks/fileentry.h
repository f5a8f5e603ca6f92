#ifndef FILEENTRY_H
#define FILEENTRY_H

#include <QString>

#include <sys/types.h>

// Operations on one folder entry that never follow a symbolic link standing at the named path:
// such a link is an entry like any file, found, moved and removed as the link itself. Links in
// the folder part of a path are followed as usual.
class FileEntry
{
public:
    // What tells a file at a name from any other file of its file system and from its own
    // earlier states: its inode, and the time the inode last changed, which every write, new or
    // dropped name, rename and change of mode or owner moves on.
    struct Stamp
    {
        ino_t inode = 0;
        qint64 changed = 0; // nanoseconds
    };

    // Whether anything stands at path, a dangling link included.
    static bool exists(const QString& path);
    // Whether a folder stands at path; a link to one is not a folder.
    static bool isFolder(const QString& path);
    // Whether a regular file stands at path (a link to one does not count).
    static bool isRegularFile(const QString& path);
    // Opens the regular file at path for reading; -1 when anything else stands there. A link
    // is not followed, and a FIFO or a device is neither waited on nor read, so no entry can
    // stall the caller. The caller closes the descriptor.
    static int openRegularFile(const QString& path);
    // Whether both paths name the same entry (two names of one file).
    static bool isSameEntry(const QString& first, const QString& second);
    // Moves the entry at from to the name to, in the same file system. Fails, changing
    // nothing, when to exists (a dangling link included) or from does not.
    static bool rename(const QString& from, const QString& to);
    // Moves the entry at from to the name to in one step, over whatever stands at to, so that
    // to names the old entry or the new one at every instant.
    static bool replace(const QString& from, const QString& to);
    // The stamp of the entry at path; an empty one when nothing stands there.
    static Stamp stamp(const QString& path);
    // Whether path still holds the very entry stamped, unchanged since; never for an empty
    // stamp.
    static bool isUnchanged(const QString& path, const Stamp& stamp);
    // Removes the folder at path with everything in it. Nothing in it is reached by path and no
    // link in it is followed (a link is removed as the link), so nothing outside the folder is
    // touched. False when no folder stands at path or it could not be removed whole.
    static bool removeTree(const QString& path);
    // Empties the folder open at fd, every sub-folder through a handle of its own, opened
    // without following a link; links are left in place with keepLinks, else removed.
    static void emptyFolder(int fd, bool keepLinks);
    // The name under which a new file for path is written before it takes path's name: ".new."
    // before its file name, in its folder. It is fixed, so that a later run finds what a
    // killed one left there.
    static QString tempName(const QString& path);
    // Whether fileName is such a temporary name.
    static bool isTempName(const QString& fileName);
    // Gives the entry at from the second name to, from keeping its own. Fails, changing
    // nothing, when to exists or the file system cannot give the entry a second name (FAT,
    // another file system, too many links).
    static bool link(const QString& from, const QString& to);
    // Gives the regular file at path mode where it lacks an execute bit; anything else, and a
    // file executable by all, is left alone.
    static bool makeExecutable(const QString& path, unsigned mode);
};

#endif // FILEENTRY_H

#include "tasks/fileentry.h"

#include <QFile>
#include <QList>

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool FileEntry::exists(const QString& path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0;
}

bool FileEntry::isFolder(const QString& path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool FileEntry::isRegularFile(const QString& path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISREG(info.st_mode);
}

int FileEntry::openRegularFile(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat info;
    // Opening a device can have effects of its own, so only a regular file is opened at all;
    // the flags and the second look cover an entry swapped in between.
    if (::lstat(name.constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return -1;
    const int fd = ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    // O_NONBLOCK changes nothing for reading a regular file.
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode))
        return fd;
    ::close(fd);
    return -1;
}

bool FileEntry::isSameEntry(const QString& first, const QString& second)
{
    struct stat a;
    struct stat b;
    return ::lstat(QFile::encodeName(first).constData(), &a) == 0 &&
           ::lstat(QFile::encodeName(second).constData(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

bool FileEntry::rename(const QString& from, const QString& to)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) ==
        0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // A file system without the no-replace flag: the check and the move are two steps there.
    return !exists(to) && ::rename(source.constData(), target.constData()) == 0;
}

bool FileEntry::replace(const QString& from, const QString& to)
{
    return ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

FileEntry::Stamp FileEntry::stamp(const QString& path)
{
    struct stat info;
    Stamp result;
    if (::lstat(QFile::encodeName(path).constData(), &info) == 0) {
        result.inode = info.st_ino;
        result.changed = qint64(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
    }
    return result;
}

bool FileEntry::isUnchanged(const QString& path, const Stamp& stamp)
{
    const Stamp now = FileEntry::stamp(path);
    return stamp.inode != 0 && now.inode == stamp.inode && now.changed == stamp.changed;
}

bool FileEntry::removeTree(const QString& path)
{
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    const QByteArray folder =
        QFile::encodeName(slash < 0 ? QStringLiteral(".") : path.left(slash + 1));
    const QByteArray name = QFile::encodeName(path.mid(slash + 1));
    const int parent = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parent < 0)
        return false;
    const int fd =
        ::openat(parent, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        emptyFolder(fd, false);
        ::close(fd);
    }
    // Removes only an empty folder: whatever took the name meanwhile stays.
    const bool removed = fd >= 0 && ::unlinkat(parent, name.constData(), AT_REMOVEDIR) == 0;
    ::close(parent);
    return removed;
}

void FileEntry::emptyFolder(int fd, bool keepLinks)
{
    const int listingFd = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* listing = listingFd < 0 ? nullptr : ::fdopendir(listingFd);
    if (!listing) {
        if (listingFd >= 0)
            ::close(listingFd);
        return;
    }
    QList<QByteArray> files;
    QList<QByteArray> folders;
    while (const dirent* entry = ::readdir(listing)) {
        const QByteArray name(entry->d_name);
        struct stat info;
        if (name == "." || name == ".." ||
            ::fstatat(fd, name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            (keepLinks && S_ISLNK(info.st_mode)))
            continue;
        (S_ISDIR(info.st_mode) ? folders : files).append(name);
    }
    ::closedir(listing);
    for (const QByteArray& name : qAsConst(files))
        ::unlinkat(fd, name.constData(), 0);
    for (const QByteArray& name : qAsConst(folders)) {
        const int sub =
            ::openat(fd, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub < 0)
            continue;
        emptyFolder(sub, keepLinks);
        ::close(sub);
        ::unlinkat(fd, name.constData(), AT_REMOVEDIR);
    }
}

namespace {
const QLatin1String TempPrefix(".new.");
} // namespace

QString FileEntry::tempName(const QString& path)
{
    return QString(path).insert(path.lastIndexOf(QLatin1Char('/')) + 1, TempPrefix);
}

bool FileEntry::isTempName(const QString& fileName)
{
    return fileName.startsWith(TempPrefix);
}

bool FileEntry::link(const QString& from, const QString& to)
{
    // Without AT_SYMLINK_FOLLOW a link at from gets the second name itself.
    return ::linkat(AT_FDCWD, QFile::encodeName(from).constData(), AT_FDCWD,
                    QFile::encodeName(to).constData(), 0) == 0;
}

bool FileEntry::makeExecutable(const QString& path, unsigned mode)
{
    const int fd = openRegularFile(path);
    if (fd < 0)
        return false;
    struct stat info;
    const bool ok =
        ::fstat(fd, &info) == 0 && ((info.st_mode & 0111) == 0111 || ::fchmod(fd, mode) == 0);
    ::close(fd);
    return ok;
}

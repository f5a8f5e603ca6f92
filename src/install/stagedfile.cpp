#include "install/stagedfile.h"

#include "tasks/fileentry.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {
// Whether a look-up of an extended attribute found none; an error that says nothing counts as
// one found.
bool isMissing(ssize_t size)
{
    return size < 0 && (errno == ENODATA || errno == ENOTSUP);
}

// Whether the file open at fd has the group and ACL that a file created in folder gets: the
// folder's group where the folder is setgid, else this process's own, and no ACL where the
// folder has no default ACL. ACLs are not compared: where either has one, a copy is written.
bool isAsIfCreatedIn(int fd, const QString& folder)
{
    const QByteArray name = QFile::encodeName(folder);
    struct stat file;
    struct stat dir;
    if (::fstat(fd, &file) != 0 || ::stat(name.constData(), &dir) != 0)
        return false;
    const gid_t group = (dir.st_mode & S_ISGID) ? dir.st_gid : ::getegid();
    return file.st_gid == group &&
           isMissing(::getxattr(name.constData(), "system.posix_acl_default", nullptr, 0)) &&
           isMissing(::fgetxattr(fd, "system.posix_acl_access", nullptr, 0));
}
} // namespace

StagedFile::StagedFile(const QString& path, bool replace)
    : path(path)
    , replace(replace)
{
    // O_EXCL: an entry planted at the name meanwhile is never opened, a link never followed.
    stage([](const char* name) {
        return ::open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    });
}

StagedFile::StagedFile(const QString& path, bool replace, int source)
    : path(path)
    , replace(replace)
{
    // A second name keeps the group and ACL the file got where it was made, so it is only
    // given where a file written here would get the same.
    if (!isAsIfCreatedIn(source, QFileInfo(path).path()))
        return;
    // Linked through the descriptor, not the source's name: whatever took that name since it
    // was opened is never the file staged.
    const QByteArray opened = "/proc/self/fd/" + QByteArray::number(source);
    stage([source, &opened](const char* name) {
        if (::linkat(AT_FDCWD, opened.constData(), AT_FDCWD, name, AT_SYMLINK_FOLLOW) != 0)
            return -1;
        const int fd = ::fcntl(source, F_DUPFD_CLOEXEC, 0);
        if (fd < 0)
            ::unlink(name);
        return fd;
    });
}

template <typename Create>
void StagedFile::stage(Create create)
{
    if (!replace && FileEntry::exists(path))
        return;
    temp = FileEntry::tempName(path);
    const QByteArray name = QFile::encodeName(temp);
    for (int attempt = 0; attempt < 3 && fd < 0; ++attempt) {
        fd = create(name.constData());
        if (fd >= 0 || errno != EEXIST)
            break;
        // The name is the updater's own: a folder there would stop every later update.
        if (::unlink(name.constData()) != 0 && errno == EISDIR)
            FileEntry::removeTree(temp);
    }
    if (fd < 0)
        temp.clear();
}

StagedFile::~StagedFile()
{
    if (fd >= 0)
        ::close(fd);
    if (!placed && !temp.isEmpty())
        ::unlink(QFile::encodeName(temp).constData());
}

bool StagedFile::setMode(unsigned mode)
{
    return ::fchmod(fd, mode) == 0 || errno == ENOSYS || errno == EPERM || errno == EOPNOTSUPP;
}

bool StagedFile::write(const char* data, qint64 size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size_t(size));
        if (written > 0) {
            data += written;
            size -= written;
        } else if (written == 0 || errno != EINTR) {
            return false;
        }
    }
    return true;
}

bool StagedFile::place()
{
    if (fd < 0)
        return false;
    struct stat written;
    struct stat named;
    const bool same = ::fstat(fd, &written) == 0 &&
                      ::lstat(QFile::encodeName(temp).constData(), &named) == 0 &&
                      written.st_dev == named.st_dev && written.st_ino == named.st_ino;
    // A write that the kernel could only report at close fails the placement too.
    const bool closed = ::close(fd) == 0;
    fd = -1;
    placed = same && closed &&
             (replace ? FileEntry::replace(temp, path) : FileEntry::rename(temp, path));
    return placed;
}

#include "install/filecopyfunc.h"

#include "install/stagedfile.h"
#include "tasks/fileentry.h"

#include <QByteArray>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

FileCopyFunc::FileCopyFunc(const QString& src, const QString& dst, bool replaceDst, bool executable,
                           bool asIs)
    : SlowFileOpFunc(src, dst, replaceDst, executable)
    , asIs(asIs)
{
}

bool FileCopyFunc::link() const
{
    // Made at dst itself: a new name is whole at once and never takes the place of another.
    return asIs && !replaceDst && FileEntry::link(src, dst);
}

bool FileCopyFunc::run()
{
    if (link())
        return true;
    const int in = FileEntry::openRegularFile(src);
    if (in < 0)
        return false;
    const bool ok = put(in);
    ::close(in);
    return ok;
}

bool FileCopyFunc::put(int in) const
{
    struct stat info;
    if (::fstat(in, &info) != 0)
        return false;
    const unsigned mode = executable ? ExecutableMode : info.st_mode & 07777;
    if (!asIs) {
        // Within one file system src itself takes the name: its bytes are final, since a
        // download is always written to a new file, and it keeps its own name for a later run.
        StagedFile linked(dst, replaceDst, in);
        if (linked.isOpen())
            return linked.setMode(mode) && linked.place();
    }
    StagedFile copy(dst, replaceDst);
    return copy.isOpen() && copy.setMode(mode) && copyData(in, copy) && copy.place();
}

bool FileCopyFunc::copyData(int from, StagedFile& to)
{
    // In the kernel where it can: no pass through user memory, and reflinks where the file
    // system has them. Each call falls back to the next when the files do not suit it.
    constexpr size_t Chunk = size_t(1) << 30;
    for (;;) {
        const ssize_t n = ::copy_file_range(from, nullptr, to.handle(), nullptr, Chunk, 0);
        if (n == 0)
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
            return false;
        if (n < 0)
            break;
    }
    for (;;) {
        const ssize_t n = ::sendfile(to.handle(), from, nullptr, Chunk);
        if (n == 0)
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EINVAL && errno != ENOSYS)
            return false;
        if (n < 0)
            break;
    }
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    for (;;) {
        const ssize_t n = ::read(from, buffer.data(), size_t(buffer.size()));
        if (n == 0)
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || !to.write(buffer.constData(), n))
            return false;
    }
}

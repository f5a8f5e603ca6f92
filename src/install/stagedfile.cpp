#include "install/stagedfile.h"

#include "tasks/fileentry.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

StagedFile::StagedFile(const QString& path, bool replace)
    : path(path)
    , replace(replace)
{
    if (!replace && FileEntry::exists(path))
        return;
    const QString folder = QFileInfo(path).path();
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        temp = QStringLiteral("%1/.new.%2")
                   .arg(folder)
                   .arg(QRandomGenerator::global()->generate64(), 16, 16, QLatin1Char('0'));
        // O_EXCL: a link planted at the name is never followed.
        fd = ::open(QFile::encodeName(temp).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                    0666);
        if (fd < 0 && errno != EEXIST)
            break;
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

bool StagedFile::place()
{
    if (fd < 0)
        return false;
    // A write that the kernel could only report at close fails the placement too.
    const bool closed = ::close(fd) == 0;
    fd = -1;
    placed = closed && (replace ? FileEntry::replace(temp, path) : FileEntry::rename(temp, path));
    return placed;
}

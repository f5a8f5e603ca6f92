#include "crypto/checksigfunc.h"

#include "crypto/tomcryptutil.h"
#include "tasks/fileentry.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <limits>
#include <unistd.h>

namespace {

// Large enough to read efficiently, small enough that a multi-gigabyte file costs no memory.
constexpr qint64 Md5BlockSize = 1 << 20;

// QByteArray's header and terminator come out of the same 2 GiB as its content: a file just
// under 2 GiB cannot be held either, and asking for it would throw on the pool thread.
constexpr qint64 MaxWholeFileSize = std::numeric_limits<int>::max() - 4096;

QString openFailedText(const QString& path)
{
    return QStringLiteral("Could not open file %1 for reading").arg(path);
}

QString readFailedText(const QString& path)
{
    return QStringLiteral("could not read file %1 correctly").arg(path);
}

// Whatever stands at a checked name is read only when it is a regular file: a link there is
// not followed, and a FIFO or a device cannot hold the check up.
bool openRegularFile(QFile& file, const QString& path)
{
    const int fd = FileEntry::openRegularFile(path);
    if (fd < 0)
        return false;
    if (file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        return true;
    ::close(fd);
    return false;
}

} // namespace

CheckSigFunc::CheckSigFunc(QString fileName, QString md5)
    : fileName(std::move(fileName))
    , md5(std::move(md5))
{
}

bool CheckSigFunc::run()
{
    if (!md5.isEmpty())
        return checkMD5();
    return checkRSA();
}

bool CheckSigFunc::readFile(QString path, QByteArray& data)
{
    QFile file;
    if (!openRegularFile(file, path)) {
        emit message(openFailedText(path));
        return false;
    }
    const qint64 size = file.size();
    if (size > MaxWholeFileSize) {
        emit message(readFailedText(path));
        return false;
    }
    data.resize(int(size));
    const qint64 count = size > 0 ? file.read(data.data(), size) : 0;
    if (count != size) {
        emit message(readFailedText(path));
        return false;
    }
    file.close();
    return true;
}

bool CheckSigFunc::checkMD5()
{
    QFile file;
    if (!openRegularFile(file, fileName)) {
        emit message(openFailedText(fileName));
        return false;
    }
    const qint64 size = file.size();
    QCryptographicHash hash(QCryptographicHash::Md5);
    QByteArray block(int(qMin(size, Md5BlockSize)), Qt::Uninitialized);
    qint64 total = 0;
    while (total < size) {
        const qint64 count = file.read(block.data(), qMin(size - total, Md5BlockSize));
        if (count <= 0)
            break;
        hash.addData(block.constData(), int(count));
        total += count;
    }
    if (total != size) {
        emit message(readFailedText(fileName));
        return false;
    }
    file.close();
    const QString digest = QString::fromLatin1(hash.result().toHex());
    return md5.compare(digest, Qt::CaseInsensitive) == 0;
}

bool CheckSigFunc::checkRSA()
{
    if (QFileInfo(fileName).size() > MaxSignedFileSize ||
        QFileInfo(fileName + QStringLiteral(".sig")).size() > MaxSignatureSize) {
        return false;
    }
    QByteArray data;
    if (!readFile(fileName, data))
        return false;
    QByteArray signature;
    if (!readFile(fileName + QStringLiteral(".sig"), signature))
        return false;
    Rsa_key key;
    try {
        load_key(&key, PUBLIC_KEY, sizeof(PUBLIC_KEY));
    } catch (const crypt_exception&) {
        return false;
    }
    bool valid = false;
    try {
        valid = verify_msg(&key, reinterpret_cast<const unsigned char*>(data.constData()),
                           static_cast<unsigned long>(data.size()),
                           reinterpret_cast<unsigned char*>(signature.data()),
                           static_cast<unsigned long>(signature.size()));
    } catch (const crypt_exception&) {
        valid = false;
    }
    rsa_free(&key);
    return valid;
}

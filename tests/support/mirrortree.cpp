#include "support/mirrortree.h"

#include "crypto/tomcryptutil.h"
#include "support/treesnapshot.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include <zlib.h>

namespace {

void setError(QString* error, const QString& text)
{
    if (error)
        *error = text;
}

} // namespace

MirrorTree::MirrorTree(int version, const QString& clientType)
    : privateKeyPath(defaultPrivateKeyPath())
    , version(version)
    , clientType(clientType)
{
}

QString MirrorTree::defaultPrivateKeyPath()
{
    return QStringLiteral(TEST_SOURCE_DIR "/keys/test_private.key");
}

void MirrorTree::addFile(const QString& section, const QString& file, const QByteArray& data)
{
    Entry entry;
    entry.section = section;
    entry.file = file;
    entry.data = data;
    entry.listedMd5 = md5Hex(data);
    entries.append(entry);
}

void MirrorTree::addGzipFile(const QString& section, const QString& file, const QByteArray& content,
                             const QString& unzipName)
{
    addFile(section, file, gzip(content));
    entries.last().gzipped = true;
    entries.last().unzipped = content;
    entries.last().unzipName = unzipName;
}

bool MirrorTree::addFolder(const QString& sourceDir)
{
    const QDir source(sourceDir);
    const QStringList sections = source.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& section : sections) {
        const QDir sectionDir(source.filePath(section));
        QStringList files;
        QDirIterator it(sectionDir.path(), QDir::Files | QDir::Hidden,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            files << sectionDir.relativeFilePath(it.next());
        files.sort();
        for (const QString& file : qAsConst(files)) {
            QFile in(sectionDir.filePath(file));
            if (!in.open(QIODevice::ReadOnly))
                return false;
            const QByteArray data = in.readAll();
            if (!file.endsWith(QLatin1String(".gz"))) {
                addFile(section, file, data);
                continue;
            }
            bool ok = false;
            const QByteArray content = gunzip(data, &ok);
            if (!ok)
                return false;
            addFile(section, file, data);
            entries.last().gzipped = true;
            entries.last().unzipped = content;
            entries.last().unzipName = file.chopped(3);
        }
    }
    return true;
}

void MirrorTree::addDelete(const QString& path)
{
    deletes << path;
}

void MirrorTree::setListedMd5(const QString& section, const QString& file, const QString& md5)
{
    for (Entry& entry : entries) {
        if (entry.section == section && entry.file == file)
            entry.listedMd5 = md5;
    }
}

QString MirrorTree::listedValue(const Entry& entry)
{
    QString value = entry.listedMd5 + QLatin1String("::") + QString::number(entry.data.size());
    if (entry.gzipped) {
        value += QLatin1String("::") + md5Hex(entry.unzipped) + QLatin1String("::") +
                 QString::number(entry.unzipped.size()) + QLatin1String("::") + entry.unzipName;
    }
    return value;
}

QByteArray MirrorTree::settingsIniText() const
{
    QTemporaryDir dir;
    const QString path = dir.filePath(iniName());
    {
        QSettings settings(path, QSettings::IniFormat);
        for (const Entry& entry : entries)
            settings.setValue(entry.section + QLatin1Char('/') + entry.file, listedValue(entry));
        for (const QString& deleted : deletes)
            settings.setValue(QStringLiteral("delete/") + deleted, 1);
    }
    return readFile(path);
}

QByteArray MirrorTree::iniText() const
{
    if (iniWrittenBySettings)
        return settingsIniText();
    QStringList sections;
    for (const Entry& entry : entries) {
        if (!sections.contains(entry.section))
            sections << entry.section;
    }
    QByteArray text;
    for (const QString& section : qAsConst(sections)) {
        text += '[' + section.toUtf8() + "]\n";
        for (const Entry& entry : entries) {
            if (entry.section != section)
                continue;
            text += entry.file.toUtf8() + '=' + listedValue(entry).toUtf8() + '\n';
        }
        text += '\n';
    }
    if (!deletes.isEmpty()) {
        text += "[delete]\n";
        for (const QString& path : deletes)
            text += path.toUtf8() + "=1\n";
    }
    return text;
}

bool MirrorTree::build(const QString& root, QString* error) const
{
    const QString dir = versionDir(root);
    const QByteArray ini = iniText();
    const QByteArray signature = sign(ini, privateKeyPath, error);
    if (signature.isEmpty())
        return false;
    if (!writeFile(dir, iniName(), ini) ||
        !writeFile(dir, iniName() + QLatin1String(".sig"), signature)) {
        setError(error, QStringLiteral("cannot write the product ini into %1").arg(dir));
        return false;
    }
    for (const Entry& entry : entries) {
        const QString path = entry.section + QLatin1Char('/') + entry.file;
        if (!writeFile(dir, path, entry.data)) {
            setError(error, QStringLiteral("cannot write %1 into %2").arg(path, dir));
            return false;
        }
    }
    return true;
}

QString MirrorTree::versionDir(const QString& root) const
{
    return root + QLatin1Char('/') + QString::number(version);
}

QString MirrorTree::iniName() const
{
    return clientType + QLatin1String(".ini");
}

QList<FileDownloadSpecification> MirrorTree::downloads() const
{
    QList<FileDownloadSpecification> list;
    for (const Entry& entry : entries) {
        FileDownloadSpecification spec;
        spec.section = entry.section;
        spec.file = entry.file;
        spec.md5 = entry.listedMd5;
        spec.size = quint64(entry.data.size());
        list << spec;
    }
    return list;
}

QByteArray MirrorTree::sign(const QByteArray& data, const QString& keyPath, QString* error)
{
    try {
        crypt_init();
        Rsa_key key;
        load_key(&key, QFile::encodeName(keyPath).constData());
        unsigned char signature[512];
        unsigned long length = sizeof(signature);
        try {
            sign_msg(&key, reinterpret_cast<const unsigned char*>(data.constData()),
                     static_cast<unsigned long>(data.size()), signature, &length);
        } catch (...) {
            rsa_free(&key);
            throw;
        }
        rsa_free(&key);
        return QByteArray(reinterpret_cast<const char*>(signature), int(length));
    } catch (const crypt_exception& e) {
        setError(error, QStringLiteral("signing with %1 failed: %2")
                            .arg(keyPath, QString::fromLocal8Bit(e.what())));
        return QByteArray();
    }
}

QByteArray MirrorTree::gzip(const QByteArray& data)
{
    z_stream stream = {};
    // 16 on top of the window bits asks for a gzip header and trailer.
    if (deflateInit2(&stream, Z_BEST_SPEED, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return QByteArray();
    QByteArray out(int(deflateBound(&stream, uLong(data.size()))), Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    stream.avail_in = uInt(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = uInt(out.size());
    const int result = deflate(&stream, Z_FINISH);
    out.resize(int(stream.total_out));
    deflateEnd(&stream);
    return result == Z_STREAM_END ? out : QByteArray();
}

QByteArray MirrorTree::gunzip(const QByteArray& data, bool* ok)
{
    if (ok)
        *ok = false;
    z_stream stream = {};
    if (inflateInit2(&stream, 15 + 16) != Z_OK)
        return QByteArray();
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    stream.avail_in = uInt(data.size());
    QByteArray out;
    char buffer[16384];
    int result = Z_OK;
    while (result == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef*>(buffer);
        stream.avail_out = sizeof(buffer);
        result = inflate(&stream, Z_NO_FLUSH);
        out.append(buffer, int(sizeof(buffer) - stream.avail_out));
    }
    inflateEnd(&stream);
    if (result != Z_STREAM_END)
        return QByteArray();
    if (ok)
        *ok = true;
    return out;
}

QString MirrorTree::md5Hex(const QByteArray& data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

#ifndef MIRRORTREE_H
#define MIRRORTREE_H

#include "plan/filedownloadspecification.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// The content of one version on a mirror: <version>/<clientType>.ini listing every file with
// its MD5 sum and size (two fields; five for gzip-compressed files, with the sum, size and
// name of the unpacked content), <clientType>.ini.sig signed with the test key, and one folder
// per section holding that section's files. Several mirror roots can be built from one tree.
class MirrorTree
{
public:
    explicit MirrorTree(int version = 1,
                        const QString& clientType = QStringLiteral("client_linux_x86"));

    // A file stored as given; listed with two fields.
    void addFile(const QString& section, const QString& file, const QByteArray& data);
    // content stored gzip-compressed under file; listed with five fields, unpacking to
    // unzipName.
    void addGzipFile(const QString& section, const QString& file, const QByteArray& content,
                     const QString& unzipName);
    // Every file below sourceDir/<section>/, one section per sub-folder. A file whose name
    // ends in ".gz" must be gzip data and unpacks to its path without ".gz". False when a
    // file cannot be read or a ".gz" file does not unpack.
    bool addFolder(const QString& sourceDir);
    // A path listed in the "delete" section.
    void addDelete(const QString& path);
    // Lists md5 for the file instead of its real sum (a file that never passes its check).
    void setListedMd5(const QString& section, const QString& file, const QString& md5);

    // The product ini as written by build(): keys as given, without escapes, or, with
    // iniWrittenBySettings, as QSettings writes them (escaped, sorted).
    QByteArray iniText() const;
    // Writes root/<version>/<clientType>.ini, its signature and every section's files.
    // False, with the reason in *error when given, on a write or signing failure.
    bool build(const QString& root, QString* error = nullptr) const;

    // root/<version>
    QString versionDir(const QString& root) const;
    // "<clientType>.ini"
    QString iniName() const;
    // The records the compiled plan lists for a fresh installation, in the order added.
    QList<FileDownloadSpecification> downloads() const;

    // The key that signs the product ini; the test key pair under tests/keys by default.
    QString privateKeyPath;
    bool iniWrittenBySettings = false;

    static QString defaultPrivateKeyPath();
    // The signature of data made with the key file at keyPath by the crypto layer; empty, with
    // the reason in *error when given, on failure.
    static QByteArray sign(const QByteArray& data, const QString& keyPath,
                           QString* error = nullptr);
    static QByteArray gzip(const QByteArray& data);
    // Empty for data that is not a complete gzip stream.
    static QByteArray gunzip(const QByteArray& data, bool* ok = nullptr);
    static QString md5Hex(const QByteArray& data);

private:
    struct Entry
    {
        QString section;
        QString file;
        QByteArray data; // as stored on the mirror
        QString listedMd5;
        QByteArray unzipped;
        QString unzipName;
        bool gzipped = false;
    };

    static QString listedValue(const Entry& entry);
    QByteArray settingsIniText() const;

    int version = 1;
    QString clientType;
    QList<Entry> entries;
    QStringList deletes;
};

#endif // MIRRORTREE_H

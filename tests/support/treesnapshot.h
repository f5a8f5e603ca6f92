#ifndef TREESNAPSHOT_H
#define TREESNAPSHOT_H

#include <QByteArray>
#include <QMap>
#include <QString>

// The content of a folder tree: every file and folder below root, by relative path, with the
// file's bytes (folders map to a marker) and permission bits. Two snapshots compare equal only
// if the trees are byte-identical.
class TreeSnapshot
{
public:
    static TreeSnapshot take(const QString& root);

    bool operator==(const TreeSnapshot& other) const { return entries == other.entries; }
    bool operator!=(const TreeSnapshot& other) const { return !(*this == other); }
    // A readable list of the differences, for test failure messages.
    QString diff(const TreeSnapshot& other) const;

    QMap<QString, QByteArray> entries;
};

// Writes data to root/relPath, creating folders on the way; returns false on any failure.
bool writeFile(const QString& root, const QString& relPath, const QByteArray& data);
// Reads a whole file; a null array if it cannot be read.
QByteArray readFile(const QString& path);

#endif // TREESNAPSHOT_H

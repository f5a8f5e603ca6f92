#include "support/treesnapshot.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

TreeSnapshot TreeSnapshot::take(const QString& root)
{
    TreeSnapshot snapshot;
    const QDir base(root);
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        QByteArray value = QByteArray::number(int(info.permissions()), 16) + ':';
        if (info.isSymLink())
            value += "link:" + info.symLinkTarget().toUtf8();
        else if (info.isDir())
            value += "dir";
        else
            value += readFile(path);
        snapshot.entries.insert(base.relativeFilePath(path), value);
    }
    return snapshot;
}

QString TreeSnapshot::diff(const TreeSnapshot& other) const
{
    QStringList lines;
    for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
        if (!other.entries.contains(it.key()))
            lines << QStringLiteral("only before: %1").arg(it.key());
        else if (other.entries.value(it.key()) != it.value())
            lines << QStringLiteral("differs: %1").arg(it.key());
    }
    for (auto it = other.entries.cbegin(); it != other.entries.cend(); ++it) {
        if (!entries.contains(it.key()))
            lines << QStringLiteral("only after: %1").arg(it.key());
    }
    return lines.join(QLatin1Char('\n'));
}

bool writeFile(const QString& root, const QString& relPath, const QByteArray& data)
{
    const QString path = QDir(root).filePath(relPath);
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(data) == data.size() && file.flush();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

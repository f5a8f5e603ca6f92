#include "support/installsandbox.h"

#include "support/mirrortree.h"
#include "support/treesnapshot.h"

InstallSandbox::InstallSandbox()
{
    config.tempDir = downloads.path();
}

FileReplaceSpecification InstallSandbox::stageCopy(const QString& rel, const QByteArray& data)
{
    FileReplaceSpecification spec;
    spec.section = QStringLiteral("main");
    spec.file = app.relative(rel);
    writeFile(downloads.path(), spec.file, data);
    return spec;
}

FileReplaceSpecification InstallSandbox::stageGzip(const QString& key, const QString& rel,
                                                   const QByteArray& content, const QString& md5)
{
    FileReplaceSpecification spec;
    spec.section = QStringLiteral("main");
    spec.file = app.relative(key);
    spec.unzipName = app.relative(rel);
    spec.unzipMd5 = md5.isNull() ? MirrorTree::md5Hex(content) : md5;
    spec.unzipSize = quint64(content.size());
    writeFile(downloads.path(), spec.file, MirrorTree::gzip(content));
    return spec;
}

#include "support/updatefixture.h"

#include "support/treesnapshot.h"

namespace {
const QString Section = QStringLiteral("files");
}

UpdateFixture::UpdateFixture(int version)
    : tree(version)
    , run(version)
{
}

QString UpdateFixture::downloadFile(const QString& rel) const
{
    return run.config.tempDir + QLatin1Char('/') + key(rel);
}

QString UpdateFixture::requestPath(const QString& rel) const
{
    return QStringLiteral("/%1/%2/%3").arg(run.version).arg(Section, key(rel));
}

QString UpdateFixture::iniRequestPath() const
{
    return QStringLiteral("/%1/%2").arg(run.version).arg(tree.iniName());
}

void UpdateFixture::offer(const QString& rel, const QByteArray& data)
{
    tree.addFile(Section, key(rel), data);
}

void UpdateFixture::offerGzip(const QString& rel, const QByteArray& content)
{
    tree.addGzipFile(Section, key(rel) + QStringLiteral(".gz"), content, key(rel));
}

void UpdateFixture::offerDelete(const QString& rel)
{
    tree.addDelete(key(rel));
}

bool UpdateFixture::install(const QString& rel, const QByteArray& data)
{
    return writeFile(app.path(), rel, data);
}

bool UpdateFixture::offerThreeReplacements()
{
    offer(QStringLiteral("a"), "new a");
    offer(QStringLiteral("b"), "new b");
    offer(QStringLiteral("new/c"), "new c");
    return install(QStringLiteral("a"), "old a") && install(QStringLiteral("b"), "old b");
}

bool UpdateFixture::start(int mirrorCount, int retries, const QString& extra)
{
    return run.start(tree, mirrorCount, retries, extra);
}

bool UpdateFixture::replaceProductIni(const QByteArray& text)
{
    const QByteArray signature = MirrorTree::sign(text, tree.privateKeyPath, &run.errorText);
    if (signature.isEmpty())
        return false;
    for (int i = 0; i < run.nginx.mirrorCount(); ++i) {
        const QString dir = run.mirrorVersionDir(i);
        if (!writeFile(dir, tree.iniName(), text) ||
            !writeFile(dir, tree.iniName() + QStringLiteral(".sig"), signature)) {
            run.errorText = QStringLiteral("cannot write the product ini in %1").arg(dir);
            return false;
        }
    }
    return true;
}

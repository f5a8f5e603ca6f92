#include "plan/filespecifications.h"

#include <QtTest>

class tst_FileSpecifications : public QObject
{
    Q_OBJECT

private slots:
    void installedPaths_data();
    void installedPaths();
    void clearLeavesSharedCopyIntact();
};

void tst_FileSpecifications::installedPaths_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("unzipName");
    QTest::addColumn<QString>("pure");
    QTest::addColumn<QString>("old");

    QTest::newRow("plain key") << "update"
                               << ""
                               << "update"
                               << "_old_update";
    QTest::newRow("key in folders") << "a/b/c.txt"
                                    << ""
                                    << "a/b/c.txt"
                                    << "a/b/_old_c.txt";
    QTest::newRow("unzip name wins") << "plugins/libx.so.gz"
                                     << "plugins/libx.so"
                                     << "plugins/libx.so"
                                     << "plugins/_old_libx.so";
    QTest::newRow("leading dot folder") << "./libx.so"
                                        << ""
                                        << "./libx.so"
                                        << "_old_libx.so";
    QTest::newRow("dot file") << ".config"
                              << ""
                              << ".config"
                              << "_old_.config";
}

void tst_FileSpecifications::installedPaths()
{
    QFETCH(QString, file);
    QFETCH(QString, unzipName);
    QFETCH(QString, pure);
    QFETCH(QString, old);

    FileReplaceSpecification spec;
    spec.file = file;
    spec.unzipName = unzipName;
    QCOMPARE(spec.hasUnzip(), !unzipName.isEmpty());
    QCOMPARE(spec.pureDestFilePath(), pure);
    QCOMPARE(spec.destFileName(QString()), pure);
    QCOMPARE(spec.oldDestFileName(), old);
}

void tst_FileSpecifications::clearLeavesSharedCopyIntact()
{
    FileSpecifications specs;
    FileDownloadSpecification download;
    download.file = QStringLiteral("x");
    specs.downloads << download;
    specs.replaces << FileReplaceSpecification();
    specs.deletes << QStringLiteral("old.txt");

    const FileSpecifications copy = specs;
    specs.clear();
    QVERIFY(specs.downloads.isEmpty());
    QVERIFY(specs.replaces.isEmpty());
    QVERIFY(specs.deletes.isEmpty());
    QCOMPARE(copy.downloads.size(), 1);
    QCOMPARE(copy.replaces.size(), 1);
    QCOMPARE(copy.deletes, QStringList{QStringLiteral("old.txt")});

    FileReplaceSpecification twoFields;
    QVERIFY(!twoFields.hasUnzip());
    QVERIFY(twoFields.unzipMd5.isEmpty());
    QCOMPARE(twoFields.unzipSize, quint64(0));
}

QTEST_APPLESS_MAIN(tst_FileSpecifications)
#include "tst_filespecifications.moc"

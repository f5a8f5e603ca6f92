#include "plan/staysinsidefolder.h"

#include <QtTest>

class tst_StaysInsideFolder : public QObject
{
    Q_OBJECT

private slots:
    void pathsAgainstTheRule_data();
    void pathsAgainstTheRule();
};

void tst_StaysInsideFolder::pathsAgainstTheRule_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("inside");

    const QChar nul(QChar::Null);
    QTest::newRow("plain name") << "update" << true;
    QTest::newRow("nested folders") << "a/b/c.txt" << true;
    QTest::newRow("dot file in dot folder") << ".config/.hidden" << true;
    QTest::newRow("names starting with two dots") << "..name/...x" << true;
    QTest::newRow("leading dot folder") << "./libx.so" << true;
    QTest::newRow("trailing slash") << "a/" << true;

    QTest::newRow("empty") << "" << false;
    QTest::newRow("the folder itself") << "." << false;
    QTest::newRow("the folder itself with slashes") << ".//./" << false;
    QTest::newRow("dot folder inside") << "dot/./inner.dat" << false;
    QTest::newRow("dot at the end") << "trail/." << false;
    QTest::newRow("inner dot and double slash") << "a/.//b" << false;
    QTest::newRow("parent") << ".." << false;
    QTest::newRow("climbing out") << "a/../../x" << false;
    QTest::newRow("through a parent, staying inside") << "a/../b" << false;
    QTest::newRow("parent at the end") << "a/b/.." << false;
    QTest::newRow("absolute") << "/etc/passwd" << false;
    QTest::newRow("resource") << ":/x" << false;
    QTest::newRow("NUL inside a name") << QString("lib" + QString(nul) + "x.so") << false;
    QTest::newRow("NUL alone") << QString(nul) << false;
}

void tst_StaysInsideFolder::pathsAgainstTheRule()
{
    QFETCH(QString, path);
    QFETCH(bool, inside);
    QCOMPARE(staysInsideFolder(path), inside);
}

QTEST_APPLESS_MAIN(tst_StaysInsideFolder)
#include "tst_staysinsidefolder.moc"

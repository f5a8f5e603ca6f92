#include "config/configuration.h"
#include "support/faulthttpserver.h"
#include "support/nginxserver.h"
#include "support/treesnapshot.h"
#include "support/unsizedhttpserver.h"
#include "ui/changelogviewer.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFontMetrics>
#include <QPointer>
#include <QScreen>
#include <QTextEdit>
#include <QtTest>
#include <sys/stat.h>

namespace {
const QString Loading = QStringLiteral("Loading...");
const QString Failed = QStringLiteral("Failed to load changelog.");
const QString Path = QStringLiteral("/7/changelog_client.txt");

QString appFile(const QString& name)
{
    return QDir(Configuration::getAppRootPath()).absoluteFilePath(name);
}

// A "mirrors.ini" listing the given addresses as mirrors m0, m1, ...
bool writeMirrors(const QStringList& urls)
{
    QByteArray text = "[mirrors]\nsize=" + QByteArray::number(urls.size()) + "\n";
    for (int i = 0; i < urls.size(); ++i)
        text += QByteArray::number(i + 1) + "\\mirror=m" + QByteArray::number(i) + "\n";
    for (int i = 0; i < urls.size(); ++i)
        text += "[m" + QByteArray::number(i) + "]\nurl=" + urls.at(i).toUtf8() + "\n";
    return writeFile(Configuration::getAppRootPath(), QStringLiteral("mirrors.ini"), text);
}

QString shownText(ChangeLogViewer* dialog)
{
    return dialog->findChild<QTextEdit*>(QStringLiteral("changeLogTextEdit"))->toPlainText();
}
} // namespace

// The changelog dialog against HTTP servers on loopback.
class tst_ChangeLogViewer : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void loadsTheChangelogFromAMirror();
    void addressJoinsBaseVersionAndFileName_data();
    void addressJoinsBaseVersionAndFileName();
    void alphaAddressIsTheOnlyOneTried();
    void everyMirrorIsTriedOnceThenFailureIsShown();
    void movedDocumentIsNeverShown_data();
    void movedDocumentIsNeverShown();
    void oversizedChangelogIsAbandoned_data();
    void oversizedChangelogIsAbandoned();
    void stalledMirrorIsAbandonedAfterTwoSeconds();
    void mirrorWithoutUrlIsSkipped();
    void withoutSettingsFailureIsShownAtOnce();
    void emptyChangelogKeepsTheSize();
    void sizeFollowsTheLongestLine_data();
    void sizeFollowsTheLongestLine();
    void secondOpenOnlyRaisesAndAClosedDialogStartsAfresh();

private:
    FaultHttpServer* server = nullptr;
};

void tst_ChangeLogViewer::init()
{
    QFile::remove(appFile(QStringLiteral("update.ini")));
    QFile::remove(appFile(QStringLiteral("mirrors.ini")));
    server = new FaultHttpServer(this);
    QVERIFY(server->listen());
}

void tst_ChangeLogViewer::cleanup()
{
    delete ChangeLogViewer::m_instance;
    QCOMPARE(ChangeLogViewer::m_instance, nullptr);
    delete server;
    server = nullptr;
    QFile::remove(appFile(QStringLiteral("update.ini")));
    QFile::remove(appFile(QStringLiteral("mirrors.ini")));
}

void tst_ChangeLogViewer::loadsTheChangelogFromAMirror()
{
    QTemporaryDir root;
    QVERIFY(writeFile(root.path(), QStringLiteral("7/changelog_client.txt"),
                      "Version 7\n- fixed the thing\n"));
    NginxServer nginx;
    nginx.addMirror(root.path());
    QVERIFY2(nginx.start(), qPrintable(nginx.errorText()));
    QVERIFY(nginx.writeMirrorsIni(appFile(QStringLiteral("mirrors.ini"))));

    ChangeLogViewer::showRemoteChangeLogDialog(nullptr, QStringLiteral("7"));
    QPointer<ChangeLogViewer> dialog = ChangeLogViewer::m_instance;
    QVERIFY(dialog);
    QVERIFY(dialog->isVisible());
    QCOMPARE(shownText(dialog), Loading);
    QTRY_COMPARE(shownText(dialog), QStringLiteral("Version 7\n- fixed the thing\n"));
    QVERIFY(nginx.accessLog().contains("GET /7/changelog_client.txt"));

    // Closing destroys the dialog and forgets it.
    dialog->close();
    QTRY_VERIFY(dialog.isNull());
    QCOMPARE(ChangeLogViewer::m_instance, nullptr);
}

void tst_ChangeLogViewer::addressJoinsBaseVersionAndFileName_data()
{
    QTest::addColumn<QString>("basePath");
    QTest::addColumn<QString>("expectedPath");
    QTest::newRow("bare host") << QString() << Path;
    QTest::newRow("trailing slash") << "/" << Path;
    QTest::newRow("folder") << "/mirror/vendrel"
                            << "/mirror/vendrel" + Path;
    QTest::newRow("folder with slash") << "/mirror/"
                                       << "/mirror" + Path;
}

void tst_ChangeLogViewer::addressJoinsBaseVersionAndFileName()
{
    QFETCH(QString, basePath);
    QFETCH(QString, expectedPath);
    server->setResponse(expectedPath, FaultResponse::good("log"));
    QVERIFY(writeMirrors({server->url() + basePath}));

    ChangeLogViewer::showRemoteChangeLogDialog(nullptr, QStringLiteral("7"));
    QTRY_COMPARE(shownText(ChangeLogViewer::m_instance), QStringLiteral("log"));
    QCOMPARE(server->requestedPaths(), QStringList{expectedPath});
    QCOMPARE(server->requestHeader(0, "Accept-Encoding"), QByteArray("identity")); // unpacks none
}

void tst_ChangeLogViewer::alphaAddressIsTheOnlyOneTried()
{
    FaultHttpServer mirror;
    QVERIFY(mirror.listen());
    mirror.setResponse(Path, FaultResponse::good("from the mirror"));
    QVERIFY(writeMirrors({mirror.url()}));
    server->setResponse(QStringLiteral("/alpha") + Path, FaultResponse::status(404));
    QVERIFY(writeFile(Configuration::getAppRootPath(), QStringLiteral("update.ini"),
                      "[Channel]\nalpha=" + server->url().toUtf8() + "/alpha\n"));

    ChangeLogViewer::showRemoteChangeLogDialog(nullptr, QStringLiteral("7"));
    QTRY_COMPARE(shownText(ChangeLogViewer::m_instance), Failed);
    QCOMPARE(server->requestedPaths(), QStringList{QStringLiteral("/alpha") + Path});
    QCOMPARE(mirror.requestedPaths(), QStringList());
}

void tst_ChangeLogViewer::everyMirrorIsTriedOnceThenFailureIsShown()
{
    const QStringList bases = {QStringLiteral("/a"), QStringLiteral("/b"), QStringLiteral("/c")};
    QStringList urls;
    for (const QString& base : bases) {
        urls << server->url() + base;
        server->setResponse(base + Path, FaultResponse::status(500));
    }
    QVERIFY(writeMirrors(urls));

    ChangeLogViewer::showRemoteChangeLogDialog(nullptr, QStringLiteral("7"));
    QTRY_COMPARE(shownText(ChangeLogViewer::m_instance), Failed);
    QStringList asked = server->requestedPaths();
    asked.sort();
    QCOMPARE(asked, QStringList({"/a" + Path, "/b" + Path, "/c" + Path}));
}

void tst_ChangeLogViewer::movedDocumentIsNeverShown_data()
{
    QTest::addColumn<FaultResponse>("moved");
    QTest::newRow("body says so") << FaultResponse::good(
        "<p>The document has moved <a>here</a>.</p>");
    // Pointing at itself: followed, it would never end.
    QTest::newRow("redirect") << FaultResponse::redirect(QStringLiteral("/moved") + Path);
}

void tst_ChangeLogViewer::movedDocumentIsNeverShown()
{
    QFETCH(FaultResponse, moved);
    server->setResponse(QStringLiteral("/moved") + Path, moved);
    server->setResponse(QStringLiteral("/good") + Path, FaultResponse::good("the changes"));
    QVERIFY(writeMirrors({server->url() + "/moved", server->url() + "/good"}));

    ChangeLogViewer::showRemoteChangeLogDialog(nullptr, QStringLiteral("7"));
    ChangeLogViewer* dialog = ChangeLogViewer::m_instance;
    QTRY_COMPARE(shownText(dialog), QStringLiteral("the changes"));

    // A dialog whose only mirror answers with a moved document fails.
    delete dialog;
    QVERIFY(writeMirrors({server->url() + "/moved"}));
    ChangeLogViewer::showRemoteChangeLogDialog(nullptr, QStringLiteral("7"));
    QTRY_COMPARE(shownText(ChangeLogViewer::m_instance), Failed);
    QCOMPARE(server->requestCount(QStringLiteral("/moved") + Path), 1);
}

void tst_ChangeLogViewer::oversizedChangelogIsAbandoned_data()
{
    QTest::addColumn<bool>("announced");
    QTest::newRow("announced") << true;
    QTest::newRow("unannounced") << false;
}

void tst_ChangeLogViewer::oversizedChangelogIsAbandoned()
{
    QFETCH(bool, announced);
    // Small enough to arrive well within the time-out, so only the size limit stops it.
    const qint64 size = ChangeLogViewer::MaxChangeLogSize + 1;
    UnsizedHttpServer unsized(size);
    QVERIFY(unsized.listen());
    server->setResponse(Path, FaultResponse::good(QByteArray(int(size), 'u')));
    QVERIFY(writeMirrors({announced ? server->url() : unsized.url()}));

    ChangeLogViewer::showRemoteChangeLogDialog(nullptr, QStringLiteral("7"));
    QTRY_COMPARE(shownText(ChangeLogViewer::m_instance), Failed);
    QCOMPARE(server->requestCount(Path) + unsized.requestCount(), 1);
}

void tst_ChangeLogViewer::stalledMirrorIsAbandonedAfterTwoSeconds()
{
    server->setResponse(Path, FaultResponse::stallAfter("partial changelog", 3));
    QVERIFY(writeMirrors({server->url()}));
    QElapsedTimer clock;
    clock.start();
    ChangeLogViewer::showRemoteChangeLogDialog(nullptr, QStringLiteral("7"));
    ChangeLogViewer* dialog = ChangeLogViewer::m_instance;
    QTRY_COMPARE(server->stalledCount(), 1);
    QCOMPARE(shownText(dialog), Loading);
    QTRY_COMPARE_WITH_TIMEOUT(shownText(dialog), Failed, 5000);
    QVERIFY(clock.elapsed() >= 1900);
}

void tst_ChangeLogViewer::mirrorWithoutUrlIsSkipped()
{
    server->setResponse(QStringLiteral("/b") + Path, FaultResponse::status(404));
    QVERIFY(writeMirrors({QString(), server->url() + "/b", QString()}));
    ChangeLogViewer::showRemoteChangeLogDialog(nullptr, QStringLiteral("7"));
    QTRY_COMPARE(shownText(ChangeLogViewer::m_instance), Failed);
    QCOMPARE(server->requestedPaths(), QStringList{"/b" + Path});
}

void tst_ChangeLogViewer::withoutSettingsFailureIsShownAtOnce()
{
    // An "update.ini" without an alpha address does not count as an address.
    QVERIFY(writeFile(Configuration::getAppRootPath(), QStringLiteral("update.ini"),
                      "[Channel]\nbeta=true\n"));
    ChangeLogViewer::showRemoteChangeLogDialog(nullptr, QStringLiteral("7"));
    QCOMPARE(shownText(ChangeLogViewer::m_instance), Failed);
}

void tst_ChangeLogViewer::emptyChangelogKeepsTheSize()
{
    server->setResponse(Path, FaultResponse::good(QByteArray()));
    QVERIFY(writeMirrors({server->url()}));
    ChangeLogViewer::showRemoteChangeLogDialog(nullptr, QStringLiteral("7"));
    ChangeLogViewer* dialog = ChangeLogViewer::m_instance;
    QTRY_COMPARE(server->requestCount(Path), 1);
    QTRY_COMPARE(shownText(dialog), QString());
    QTest::qWait(50);
    QCOMPARE(shownText(dialog), QString());
    QCOMPARE(dialog->size(), QSize(617, 500));
}

void tst_ChangeLogViewer::sizeFollowsTheLongestLine_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("short lines") << QByteArray("v7\n- one\n- a somewhat longer line\n\n");
    QTest::newRow("one very long line") << QByteArray("v7\n" + QByteArray(600, 'x') + "\n");
    QTest::newRow("many lines") << QByteArray("- a change of this version\n").repeated(200);
    const QByteArray pipe = QFile::encodeName(QDir::temp().filePath(QStringLiteral("pipe")));
    QVERIFY(::mkfifo(pipe.constData(), 0600) == 0 || errno == EEXIST);
    QTest::newRow("device and pipe as pictures") << "<img src=/dev/zero><img src=" + pipe + ">\n";
}

void tst_ChangeLogViewer::sizeFollowsTheLongestLine()
{
    QFETCH(QByteArray, body);
    server->setResponse(Path, FaultResponse::good(body));
    QVERIFY(writeMirrors({server->url()}));
    ChangeLogViewer::showRemoteChangeLogDialog(nullptr, QStringLiteral("7"));
    ChangeLogViewer* dialog = ChangeLogViewer::m_instance;
    QTRY_COMPARE(shownText(dialog), QString::fromLatin1(body));

    const QFontMetrics metrics(dialog->findChild<QTextEdit*>()->font());
    int widest = 0;
    for (const QString& line : QString::fromLatin1(body).split(QLatin1Char('\n')))
        widest = qMax(widest, metrics.horizontalAdvance(line));
    const QRect available = dialog->screen()->availableGeometry();
    QVERIFY(available.isValid());
    const int expectedWidth = qMin(widest + 50, available.width());
    const int expectedHeight = qMin(available.height(), 500);
    QTRY_COMPARE(dialog->size(), QSize(expectedWidth, expectedHeight));
}

void tst_ChangeLogViewer::secondOpenOnlyRaisesAndAClosedDialogStartsAfresh()
{
    server->setResponse(QStringLiteral("/a") + Path, FaultResponse::status(404));
    server->setResponse(QStringLiteral("/b") + Path, FaultResponse::status(404));
    QVERIFY(writeMirrors({server->url() + "/a", server->url() + "/b"}));

    QWidget parent;
    ChangeLogViewer::showRemoteChangeLogDialog(&parent, QStringLiteral("7"));
    QPointer<ChangeLogViewer> first = ChangeLogViewer::m_instance;
    QCOMPARE(first->parentWidget(), &parent);
    QTRY_COMPARE(shownText(first), Failed);
    QCOMPARE(server->requestedPaths().size(), 2);

    ChangeLogViewer::showRemoteChangeLogDialog(&parent, QStringLiteral("8"));
    QCOMPARE(ChangeLogViewer::m_instance, first.data());
    QTest::qWait(100);
    QCOMPARE(server->requestedPaths().size(), 2);
    QCOMPARE(shownText(first), Failed);

    first->close();
    QTRY_VERIFY(first.isNull());
    ChangeLogViewer::showRemoteChangeLogDialog(&parent, QStringLiteral("7"));
    QVERIFY(ChangeLogViewer::m_instance);
    QTRY_COMPARE(shownText(ChangeLogViewer::m_instance), Failed);
    QCOMPARE(server->requestedPaths().size(), 4);
    QCOMPARE(server->requestCount("/a" + Path), 2);
}

QTEST_MAIN(tst_ChangeLogViewer)
#include "tst_changelogviewer.moc"

#include "net/downloadtaskspecification.h"
#include "net/mirrors.h"
#include "support/faulthttpserver.h"
#include "support/filesizelimit.h"
#include "support/mirrortree.h"
#include "support/randomdraw.h"
#include "support/timetick.h"
#include "support/treesnapshot.h"
#include "tasks/composedtaskspecification.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <memory>
#include <unistd.h>

namespace {

const int version = 7;

QByteArray sampleBody(int size, char salt = 'a')
{
    QByteArray data(size, Qt::Uninitialized);
    quint32 x = 2463534242u + quint32(salt);
    for (int i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        data[i] = char(x);
    }
    return data;
}

// Qt's own warnings (for example about an error reported twice on one reply), collected
// while an instance lives and passed on to the test log as well.
class QtWarnings
{
public:
    QtWarnings()
    {
        current = this;
        previous = qInstallMessageHandler(&QtWarnings::handle);
    }
    ~QtWarnings()
    {
        qInstallMessageHandler(previous);
        current = nullptr;
    }

    QStringList texts;

private:
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& text)
    {
        if (current && type == QtWarningMsg)
            current->texts << text;
        if (current && current->previous)
            current->previous(type, context, text);
    }

    static QtWarnings* current;
    QtMessageHandler previous = nullptr;
};
QtWarnings* QtWarnings::current = nullptr;

// The shared pieces of a run: one network access manager (no proxy: loopback only), one
// mirror list over fault servers, a temporary folder, and the log of every text emitted.
class Rig
{
public:
    Rig()
    {
        manager.setProxy(QNetworkProxy::NoProxy);
        QObject::connect(&mirrors, &Mirrors::message, [this](const QString& m) { log << m; });
    }

    FaultHttpServer* addServer()
    {
        servers.push_back(std::make_unique<FaultHttpServer>());
        if (!servers.back()->listen())
            return nullptr;
        return servers.back().get();
    }

    // A new server standing for a mirror named name; null if it cannot listen.
    FaultHttpServer* addMirrorServer(const QString& name, int slotCount = 1, int retries = 2)
    {
        FaultHttpServer* server = addServer();
        if (server)
            addMirror(name, server, slotCount, retries);
        return server;
    }

    // A mirror named name on server, with its files below "/base/7/".
    void addMirror(const QString& name, FaultHttpServer* server, int slotCount = 1, int retries = 2)
    {
        FTPSiteAccessData site;
        site.name = name;
        site.url = server->url() + QStringLiteral("/base/") + QString::number(version);
        site.maxConnections = slotCount;
        site.retries = retries;
        mirrors.mirrorList.append(site);
    }

    DownloadTaskSpecification* makeTask(const QString& remotePath, qint64 expectedSize = -1,
                                        QObject* parent = nullptr, double weight = 1.0)
    {
        auto* task =
            new DownloadTaskSpecification(&manager, &mirrors, remotePath, localPath(remotePath),
                                          expectedSize, parent ? parent : &owner, weight);
        QObject::connect(task, &TaskSpecification::message, [this](const QString& m) { log << m; });
        QObject::connect(task, &TaskSpecification::error,
                         [this](const QString& m) { errors << m; });
        return task;
    }

    QString localPath(const QString& remotePath) const
    {
        return dir.filePath(QString(remotePath).replace(QLatin1Char('/'), QLatin1Char('_')));
    }

    static QString serverPath(const QString& remotePath)
    {
        return QStringLiteral("/base/%1/%2").arg(version).arg(remotePath);
    }

    int inUse(const QString& name) const
    {
        const int index = mirrors.getMirrorIndex(name);
        return index < 0 ? -1 : mirrors.mirrorList.at(index).inUse;
    }

    QNetworkAccessManager manager;
    Mirrors mirrors{nullptr};
    QTemporaryDir dir;
    QObject owner;
    std::vector<std::unique_ptr<FaultHttpServer>> servers;
    QStringList log;
    QStringList errors;
};

// Runs the sub-tasks it is given, all at once.
class Siblings : public ComposedTaskSpecification
{
public:
    Siblings()
        : ComposedTaskSpecification(2, 1.0, nullptr)
    {
    }
    void execute() override { executeSubTasks(); }
};

} // namespace

class tst_DownloadTask : public QObject
{
    Q_OBJECT

private slots:
    void goodDownloadArrivesWhole();
    void listedPathIsRequestedExactly_data();
    void listedPathIsRequestedExactly();
    void bodyIsStoredAsSentWhateverItsLabel_data();
    void bodyIsStoredAsSentWhateverItsLabel();
    void progressAndTotalFollowTheExpectedSize_data();
    void progressAndTotalFollowTheExpectedSize();
    void badStatusRemovesMirrorAtOnce_data();
    void badStatusRemovesMirrorAtOnce();
    void droppedConnectionDeletesPartialFileAndRetries();
    void bodyLongerThanAnnouncedIsCutAtTheAnnouncedLength();
    void stallRetriesAfterSixteenTicksNotFifteen();
    void dataAfterFifteenTicksRestartsTheCount();
    void waitsForAFreeSlot();
    void lastMirrorGoneFailsEveryDownload();
    void unreachableMirrorIsDroppedAfterItsRetries_data();
    void unreachableMirrorIsDroppedAfterItsRetries();
    void unwritableFileFailsWithoutRequest();
    void failedWriteFailsWithoutBlamingTheMirror_data();
    void failedWriteFailsWithoutBlamingTheMirror();
    void userCancelDeletesPartialFileAndReleasesSlot();
    void userCancelWhileWaitingStopsWaiting();
    void siblingCancelAbortsTheDownload();
    void resetAfterFinishReleasesNothing();
};

void tst_DownloadTask::goodDownloadArrivesWhole()
{
    Rig rig;
    FaultHttpServer* server = rig.addMirrorServer(QStringLiteral("one"), 3);
    QVERIFY(server);
    // Several times the reply's buffer and the copy block, and no multiple of either.
    const QByteArray body = sampleBody(3 * 1024 * 1024 + 123);
    server->setResponse(Rig::serverPath(QStringLiteral("data/file.bin")),
                        FaultResponse::good(body));

    // A file at the name is replaced, never written into: its second name keeps its bytes.
    const QString local = rig.localPath(QStringLiteral("data/file.bin"));
    QVERIFY(writeFile(rig.dir.path(), QFileInfo(local).fileName(), "earlier"));
    QVERIFY(::link(QFile::encodeName(local).constData(),
                   QFile::encodeName(local + "2").constData()) == 0);

    DownloadTaskSpecification* task =
        rig.makeTask(QStringLiteral("data/file.bin"), -1, nullptr, 0.8);
    QSignalSpy progress(task, &TaskSpecification::updateProgress);
    QSignalSpy finished(task, &TaskSpecification::finished);
    QSignalSpy canceled(task, &TaskSpecification::canceled);
    task->execute();
    QCOMPARE(task->state, TaskRunning);
    QCOMPARE(rig.inUse(QStringLiteral("one")), 1);
    // Unread data is bounded, or a large file would pile up in the reply's buffer.
    QVERIFY(task->reply);
    QVERIFY(task->reply->readBufferSize() > 0);
    QTRY_COMPARE(finished.count(), 1);

    QCOMPARE(task->state, TaskFinished);
    QCOMPARE(canceled.count(), 0);
    QCOMPARE(readFile(local), body);
    QCOMPARE(readFile(local + "2"), QByteArray("earlier"));
    QCOMPARE(task->progress, 0.8);
    // Progress never goes back, and the end reaches the whole share.
    QVERIFY(!progress.isEmpty());
    for (int i = 1; i < progress.count(); ++i)
        QVERIFY(progress.at(i).first().toDouble() >= progress.at(i - 1).first().toDouble());
    QCOMPARE(progress.last().first().toDouble(), 0.8);
    QCOMPARE(task->mirror.name, QStringLiteral("one"));
    QCOMPARE(rig.inUse(QStringLiteral("one")), 0);
    QCOMPARE(server->requestedPaths(),
             QStringList{Rig::serverPath(QStringLiteral("data/file.bin"))});
    QCOMPARE(rig.log,
             QStringList({"Downloading data/file.bin", "Downloading data/file.bin finished"}));
    QVERIFY(rig.errors.isEmpty());

    const Tick first = tick(task);
    QCOMPARE(first.done, quint64(body.size()));
    QCOMPARE(first.total, quint64(body.size()));
    QCOMPARE(first.speed, quint64(body.size()));
    QVERIFY(!first.downloading);
    const Tick second = tick(task);
    QCOMPARE(second.done, quint64(body.size()));
    QCOMPARE(second.speed, quint64(0));
}

void tst_DownloadTask::listedPathIsRequestedExactly_data()
{
    QTest::addColumn<QString>("remotePath");
    QTest::addColumn<QString>("requested");

    QTest::newRow("hash") << QStringLiteral("sec/a#b.dat") << QStringLiteral("sec/a%23b.dat");
    QTest::newRow("question mark")
        << QStringLiteral("sec/q?x.dat") << QStringLiteral("sec/q%3Fx.dat");
    QTest::newRow("percent") << QStringLiteral("sec/%41.dat") << QStringLiteral("sec/%2541.dat");
    QTest::newRow("space, plus, semicolon")
        << QStringLiteral("my sec/a b+c;d.dat") << QStringLiteral("my%20sec/a%20b%2Bc%3Bd.dat");
    QTest::newRow("letters outside ASCII") << QString::fromUtf8("sec/Gr\xC3\xBC\xC3\x9F"
                                                                "e.dat")
                                           << QStringLiteral("sec/Gr%C3%BC%C3%9Fe.dat");
    QTest::newRow("plain, in a sub-folder")
        << QStringLiteral("sec/sub/name_1.0-x~.dat") << QStringLiteral("sec/sub/name_1.0-x~.dat");
}

void tst_DownloadTask::listedPathIsRequestedExactly()
{
    QFETCH(QString, remotePath);
    QFETCH(QString, requested);

    Rig rig;
    FaultHttpServer* server = rig.addMirrorServer(QStringLiteral("one"));
    QVERIFY(server);
    const QByteArray body = sampleBody(3000);
    server->setResponse(Rig::serverPath(requested), FaultResponse::good(body));

    DownloadTaskSpecification* task = rig.makeTask(remotePath);
    task->execute();
    QTRY_COMPARE(task->state, TaskFinished);
    QCOMPARE(server->requestedPaths(), QStringList{Rig::serverPath(requested)});
    QCOMPARE(readFile(rig.localPath(remotePath)), body);
    QCOMPARE(rig.mirrors.mirrorList.size(), 1);
}

void tst_DownloadTask::bodyIsStoredAsSentWhateverItsLabel_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("encoding");

    const QByteArray content = sampleBody(20000).toHex();
    QTest::newRow(".gz file labelled gzip") << MirrorTree::gzip(content) << QByteArray("gzip");
    QTest::newRow("zlib data labelled deflate")
        << qCompress(content).mid(4) << QByteArray("deflate");
}

void tst_DownloadTask::bodyIsStoredAsSentWhateverItsLabel()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, encoding);

    Rig rig;
    FaultHttpServer* server = rig.addMirrorServer(QStringLiteral("one"));
    QVERIFY(server);
    const QString remotePath = QStringLiteral("sec/file.gz");
    server->setResponse(Rig::serverPath(remotePath), FaultResponse::labelled(body, encoding));

    DownloadTaskSpecification* task = rig.makeTask(remotePath);
    task->execute();
    QTRY_COMPARE(task->state, TaskFinished);
    QCOMPARE(readFile(rig.localPath(remotePath)), body);
    QCOMPARE(server->requestHeader(0, "Accept-Encoding"), QByteArray("identity"));
    QCOMPARE(rig.mirrors.mirrorList.size(), 1);
}

void tst_DownloadTask::progressAndTotalFollowTheExpectedSize_data()
{
    QTest::addColumn<qint64>("expectedSize");
    QTest::addColumn<quint64>("reportedTotal");
    QTest::addColumn<bool>("progressBeforeEnd");

    const qint64 size = 64 * 1024;
    QTest::newRow("announced by the server") << qint64(-1) << quint64(size) << true;
    QTest::newRow("given exactly") << size << quint64(size) << true;
    QTest::newRow("zero") << qint64(0) << quint64(0) << false;
    QTest::newRow("other negative, not filled in") << qint64(-5) << quint64(0) << false;
    QTest::newRow("smaller than the file") << qint64(1000) << quint64(1000) << true;
}

void tst_DownloadTask::progressAndTotalFollowTheExpectedSize()
{
    QFETCH(qint64, expectedSize);
    QFETCH(quint64, reportedTotal);
    QFETCH(bool, progressBeforeEnd);

    Rig rig;
    FaultHttpServer* server = rig.addMirrorServer(QStringLiteral("one"));
    QVERIFY(server);
    const QByteArray body = sampleBody(64 * 1024);
    const QString path = Rig::serverPath(QStringLiteral("f"));
    // Stalls half-way, so the figures can be read while the download runs.
    server->setResponse(path, FaultResponse::stallAfter(body, body.size() / 2));

    DownloadTaskSpecification* task = rig.makeTask(QStringLiteral("f"), expectedSize);
    QCOMPARE(tick(task).total, expectedSize < 0 ? quint64(0) : quint64(expectedSize));
    QSignalSpy progress(task, &TaskSpecification::updateProgress);
    QSignalSpy finished(task, &TaskSpecification::finished);
    task->execute();
    QTRY_COMPARE(task->bytesReceived, qint64(body.size() / 2));
    // The reply announces its size at most every 100 ms, so more data follows after a pause.
    QTest::qWait(150);
    const int midwayBytes = body.size() / 2 + 1024;
    server->continueStalled(1024);
    QTRY_COMPARE(task->bytesReceived, qint64(midwayBytes));

    const Tick midway = tick(task);
    QCOMPARE(midway.total, reportedTotal);
    QCOMPARE(midway.done, quint64(midwayBytes));
    QVERIFY(midway.downloading);
    // Progress follows the bytes written, measured against the size known at that time.
    server->continueStalled(1024);
    QTRY_COMPARE(task->bytesReceived, qint64(midwayBytes + 1024));
    if (progressBeforeEnd) {
        QVERIFY(progress.count() > 0);
        QCOMPARE(task->progress, qMin(1.0, double(midwayBytes + 1024) / double(reportedTotal)));
    } else {
        QCOMPARE(progress.count(), 0);
        QCOMPARE(task->progress, 0.0);
    }

    server->finishStalled();
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(task->progress, 1.0);
    for (const QList<QVariant>& emitted : progress)
        QVERIFY(emitted.first().toDouble() <= 1.0);
    QCOMPARE(readFile(rig.localPath(QStringLiteral("f"))), body);
    QCOMPARE(tick(task).total, reportedTotal);
}

void tst_DownloadTask::badStatusRemovesMirrorAtOnce_data()
{
    QTest::addColumn<FaultResponse>("response");
    QTest::addColumn<QString>("logged");

    QTest::newRow("404") << FaultResponse::status(404) << QStringLiteral("404");
    QTest::newRow("500") << FaultResponse::status(500) << QStringLiteral("500");
    QTest::newRow("403") << FaultResponse::status(403) << QStringLiteral("403");
    QTest::newRow("206") << FaultResponse::status(206) << QStringLiteral("206");
    QTest::newRow("302 not followed")
        << FaultResponse::redirect(QStringLiteral("/elsewhere")) << QStringLiteral("302");
    QTest::newRow("401 with a challenge")
        << FaultResponse::authChallenge() << QStringLiteral("401");
}

void tst_DownloadTask::badStatusRemovesMirrorAtOnce()
{
    QFETCH(FaultResponse, response);
    QFETCH(QString, logged);

    Rig rig;
    FaultHttpServer* bad = rig.addServer();
    FaultHttpServer* good = rig.addServer();
    QVERIFY(bad && good);
    // Retries to spare: the status alone must remove the mirror.
    rig.addMirror(QStringLiteral("bad"), bad, 1, 100);
    rig.addMirror(QStringLiteral("good"), good, 1, 100);
    const QByteArray body = sampleBody(20000, 'b');
    const QString path = Rig::serverPath(QStringLiteral("sec/file"));
    bad->setResponse(path, response);
    bad->setResponse(QStringLiteral("/elsewhere"), FaultResponse::good(body));
    good->setResponse(path, FaultResponse::good(body));
    seedNextDraw(0, 2);

    DownloadTaskSpecification* task = rig.makeTask(QStringLiteral("sec/file"));
    QSignalSpy finished(task, &TaskSpecification::finished);
    QtWarnings warnings;
    task->execute();
    QTRY_COMPARE(finished.count(), 1);
    // The abandoned reply is left to end by itself: ending it from its own signal would make
    // it report a second error once its queued status error arrives.
    QTest::qWait(50);
    QCOMPARE(warnings.texts.filter(QStringLiteral("QNetworkReply")), QStringList());

    QCOMPARE(bad->requestedPaths(), QStringList{path});
    QCOMPARE(good->requestCount(path), 1);
    QCOMPARE(rig.mirrors.getMirrorIndex(QStringLiteral("bad")), -1);
    QCOMPARE(rig.mirrors.mirrorList.size(), 1);
    QCOMPARE(rig.mirrors.mirrorList.first().errorCount, 0);
    QCOMPARE(rig.inUse(QStringLiteral("good")), 0);
    QVERIFY2(rig.log.contains(bad->url() + path + QStringLiteral(" returned ") + logged),
             qPrintable(rig.log.join(QLatin1Char('\n'))));
    QCOMPARE(task->mirror.name, QStringLiteral("good"));
    QCOMPARE(readFile(rig.localPath(QStringLiteral("sec/file"))), body);
}

void tst_DownloadTask::droppedConnectionDeletesPartialFileAndRetries()
{
    Rig rig;
    FaultHttpServer* server = rig.addMirrorServer(QStringLiteral("one"), 1, 2);
    QVERIFY(server);
    const QByteArray body = sampleBody(100000, 'c');
    const QString path = Rig::serverPath(QStringLiteral("f"));
    server->setResponses(path, {FaultResponse::dropAfter(body, 30000),
                                FaultResponse::dropAfter(body, 50000), FaultResponse::good(body)});

    DownloadTaskSpecification* task = rig.makeTask(QStringLiteral("f"));
    const QString local = rig.localPath(QStringLiteral("f"));
    QList<bool> fileExistedAtRetry;
    qint64 receivedAtRetry = -1;
    connect(task, &TaskSpecification::message, this, [&](const QString& m) {
        if (!m.startsWith(QLatin1String("Downloading"))) {
            fileExistedAtRetry << QFile::exists(local);
            receivedAtRetry = task->bytesReceived;
        }
    });
    QSignalSpy finished(task, &TaskSpecification::finished);
    task->execute();
    QTRY_COMPARE(finished.count(), 1);

    QCOMPARE(server->requestCount(path), 3);
    QCOMPARE(fileExistedAtRetry, QList<bool>({false, false}));
    QCOMPARE(receivedAtRetry, qint64(0));
    QCOMPARE(rig.mirrors.mirrorList.size(), 1);
    QCOMPARE(rig.mirrors.mirrorList.first().errorCount, 2);
    QCOMPARE(rig.inUse(QStringLiteral("one")), 0);
    QCOMPARE(readFile(local), body);
}

void tst_DownloadTask::bodyLongerThanAnnouncedIsCutAtTheAnnouncedLength()
{
    Rig rig;
    FaultHttpServer* server = rig.addMirrorServer(QStringLiteral("one"));
    QVERIFY(server);
    const QByteArray body = sampleBody(8000, 'd');
    server->setResponse(Rig::serverPath(QStringLiteral("f")),
                        FaultResponse::longerThanAnnounced(body, 5000));

    DownloadTaskSpecification* task = rig.makeTask(QStringLiteral("f"));
    QSignalSpy finished(task, &TaskSpecification::finished);
    task->execute();
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(readFile(rig.localPath(QStringLiteral("f"))), body.left(5000));
    QCOMPARE(tick(task).total, quint64(5000));
}

void tst_DownloadTask::stallRetriesAfterSixteenTicksNotFifteen()
{
    Rig rig;
    FaultHttpServer* server = rig.addMirrorServer(QStringLiteral("slow"), 1, 2);
    QVERIFY(server);
    const QByteArray body = sampleBody(40000, 'e');
    const QString path = Rig::serverPath(QStringLiteral("f"));
    server->setResponses(path, {FaultResponse::stallAfter(body, 1000), FaultResponse::good(body)});

    DownloadTaskSpecification* task = rig.makeTask(QStringLiteral("f"));
    QSignalSpy finished(task, &TaskSpecification::finished);
    task->execute();
    QTRY_COMPARE(task->bytesReceived, qint64(1000));

    for (int i = 1; i <= 15; ++i) {
        const Tick t = tick(task);
        QVERIFY2(t.downloading, qPrintable(QString::number(i)));
        QCOMPARE(task->idleTicks, i);
    }
    QTest::qWait(50);
    QCOMPARE(server->requestCount(path), 1);
    QVERIFY(!rig.log.contains(QStringLiteral("file f timed out on mirror slow")));

    QList<bool> partialFileAtTimeout;
    connect(task, &TaskSpecification::message, this, [&](const QString& m) {
        if (m == QLatin1String("file f timed out on mirror slow"))
            partialFileAtTimeout << QFile::exists(rig.localPath(QStringLiteral("f")));
    });
    const Tick sixteenth = tick(task);
    QVERIFY(!sixteenth.downloading);
    QCOMPARE(partialFileAtTimeout, QList<bool>{false});
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(server->requestCount(path), 2);
    QCOMPARE(rig.mirrors.mirrorList.first().errorCount, 1);
    QCOMPARE(rig.inUse(QStringLiteral("slow")), 0);
    QCOMPARE(readFile(rig.localPath(QStringLiteral("f"))), body);
}

void tst_DownloadTask::dataAfterFifteenTicksRestartsTheCount()
{
    Rig rig;
    FaultHttpServer* server = rig.addMirrorServer(QStringLiteral("slow"));
    QVERIFY(server);
    const QByteArray body = sampleBody(40000, 'f');
    const QString path = Rig::serverPath(QStringLiteral("f"));
    server->setResponse(path, FaultResponse::stallAfter(body, 1000));

    DownloadTaskSpecification* task = rig.makeTask(QStringLiteral("f"));
    QSignalSpy finished(task, &TaskSpecification::finished);
    task->execute();
    QTRY_COMPARE(task->bytesReceived, qint64(1000));
    for (int i = 0; i < 15; ++i)
        tick(task);
    server->continueStalled(500);
    QTRY_COMPARE(task->bytesReceived, qint64(1500));
    QCOMPARE(task->idleTicks, 0);
    for (int i = 0; i < 15; ++i)
        QVERIFY(tick(task).downloading);

    server->finishStalled();
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(server->requestCount(path), 1);
    QCOMPARE(rig.mirrors.mirrorList.first().errorCount, 0);
    QCOMPARE(readFile(rig.localPath(QStringLiteral("f"))), body);
}

void tst_DownloadTask::waitsForAFreeSlot()
{
    Rig rig;
    FaultHttpServer* server = rig.addServer();
    QVERIFY(server);
    // The alpha channel's single mirror: one slot in all.
    const QString updateIni = rig.dir.filePath(QStringLiteral("update.ini"));
    {
        QSettings settings(updateIni, QSettings::IniFormat);
        settings.setValue(QStringLiteral("Channel/alpha"), server->url() + "/base");
    }
    QVERIFY(rig.mirrors.initAlpha(updateIni, version));
    const QByteArray first = sampleBody(20000, 'g');
    const QByteArray second = sampleBody(30000, 'h');
    server->setResponse(Rig::serverPath(QStringLiteral("first")),
                        FaultResponse::stallAfter(first, 100));
    server->setResponse(Rig::serverPath(QStringLiteral("second")), FaultResponse::good(second));

    DownloadTaskSpecification* holder = rig.makeTask(QStringLiteral("first"));
    DownloadTaskSpecification* waiter = rig.makeTask(QStringLiteral("second"));
    QSignalSpy holderFinished(holder, &TaskSpecification::finished);
    QSignalSpy waiterFinished(waiter, &TaskSpecification::finished);
    holder->execute();
    QTRY_COMPARE(holder->bytesReceived, qint64(100));
    waiter->execute();
    QCOMPARE(waiter->state, TaskRunning);
    QVERIFY(!waiter->reply);
    QVERIFY(waiter->mirror.name.isEmpty());
    for (int i = 0; i < 20; ++i) {
        const Tick t = tick(waiter);
        QVERIFY(!t.downloading);
        QCOMPARE(t.speed, quint64(0));
    }
    QCOMPARE(waiter->state, TaskRunning);
    QCOMPARE(rig.mirrors.mirrorList.first().inUse, 1);

    server->finishStalled();
    QTRY_COMPARE(waiterFinished.count(), 1);
    QCOMPARE(holderFinished.count(), 1);
    QCOMPARE(server->requestedPaths(), QStringList({Rig::serverPath(QStringLiteral("first")),
                                                    Rig::serverPath(QStringLiteral("second"))}));
    QCOMPARE(readFile(rig.localPath(QStringLiteral("second"))), second);
    QCOMPARE(rig.mirrors.mirrorList.first().inUse, 0);
}

void tst_DownloadTask::lastMirrorGoneFailsEveryDownload()
{
    Rig rig;
    FaultHttpServer* server = rig.addMirrorServer(QStringLiteral("only"), 3, 2);
    QVERIFY(server);
    const QString path = Rig::serverPath(QStringLiteral("f"));
    server->setResponse(path, FaultResponse::dropAfter(sampleBody(10000), 2000));

    DownloadTaskSpecification* task = rig.makeTask(QStringLiteral("f"));
    QSignalSpy canceled(task, &TaskSpecification::canceled);
    QSignalSpy finished(task, &TaskSpecification::finished);
    task->execute();
    QTRY_COMPARE(canceled.count(), 1);
    QCOMPARE(task->state, TaskErrorCanceled);
    QCOMPARE(finished.count(), 0);
    QCOMPARE(server->requestCount(path), 3);
    QVERIFY(rig.mirrors.mirrorList.isEmpty());
    QVERIFY(rig.log.contains(QStringLiteral("Mirror only failed too many times, removing")));
    QVERIFY(!QFile::exists(rig.localPath(QStringLiteral("f"))));
    QVERIFY(rig.errors.isEmpty());

    // A later download fails inside execute(), and the empty list is not reported again.
    DownloadTaskSpecification* later = rig.makeTask(QStringLiteral("g"));
    QSignalSpy laterCanceled(later, &TaskSpecification::canceled);
    later->execute();
    QCOMPARE(laterCanceled.count(), 1);
    QCOMPARE(later->state, TaskErrorCanceled);
    QCOMPARE(rig.log.count(QStringLiteral("There are no (more) known working mirrors available")),
             1);
    QCOMPARE(server->requestCount(Rig::serverPath(QStringLiteral("g"))), 0);
}

void tst_DownloadTask::unreachableMirrorIsDroppedAfterItsRetries_data()
{
    QTest::addColumn<QString>("url");

    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
    const quint16 freePort = closed.serverPort();
    closed.close();
    QTest::newRow("connection refused")
        << QStringLiteral("http://127.0.0.1:%1/base/7").arg(freePort);
    QTest::newRow("no address in mirrors.ini") << QStringLiteral("/7");
    QTest::newRow("unknown scheme") << QStringLiteral("gopher://127.0.0.1:1/7");
}

void tst_DownloadTask::unreachableMirrorIsDroppedAfterItsRetries()
{
    QFETCH(QString, url);

    Rig rig;
    FTPSiteAccessData site;
    site.name = QStringLiteral("nowhere");
    site.url = url;
    site.retries = 2;
    site.maxConnections = 3;
    rig.mirrors.mirrorList.append(site);

    DownloadTaskSpecification* task = rig.makeTask(QStringLiteral("f"));
    QSignalSpy canceled(task, &TaskSpecification::canceled);
    task->execute();
    QTRY_COMPARE(canceled.count(), 1);
    QCOMPARE(task->state, TaskErrorCanceled);
    QVERIFY(rig.mirrors.mirrorList.isEmpty());
    // Three attempts, each logging the reply's error text, then the removal and the empty list.
    QCOMPARE(rig.log.size(), 1 + 3 + 2);
    QCOMPARE(rig.log.first(), QStringLiteral("Downloading f"));
    QCOMPARE(rig.log.at(3), QStringLiteral("Mirror nowhere failed too many times, removing"));
    QCOMPARE(rig.log.last(), QStringLiteral("There are no (more) known working mirrors available"));
    QVERIFY(!QFile::exists(rig.localPath(QStringLiteral("f"))));
}

void tst_DownloadTask::unwritableFileFailsWithoutRequest()
{
    Rig rig;
    FaultHttpServer* server = rig.addMirrorServer(QStringLiteral("one"), 3);
    QVERIFY(server);
    const QString local = rig.dir.filePath(QStringLiteral("missing-folder/f"));
    auto* task = new DownloadTaskSpecification(&rig.manager, &rig.mirrors, QStringLiteral("f"),
                                               local, -1, &rig.owner, 1.0);
    QSignalSpy errors(task, &TaskSpecification::error);
    QSignalSpy canceled(task, &TaskSpecification::canceled);
    task->execute();
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(task->state, TaskErrorCanceled);
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.first().first().toString(),
             QStringLiteral("Unable to create file %1 for saving").arg(local));
    QCOMPARE(rig.inUse(QStringLiteral("one")), 0);
    QTest::qWait(50);
    QVERIFY(server->requestedPaths().isEmpty());
    task->reset();
    QCOMPARE(rig.inUse(QStringLiteral("one")), 0);
}

void tst_DownloadTask::failedWriteFailsWithoutBlamingTheMirror_data()
{
    QTest::addColumn<int>("limit");

    QTest::newRow("first byte refused") << 0;
    QTest::newRow("refused part-way through a block") << 10000;
}

void tst_DownloadTask::failedWriteFailsWithoutBlamingTheMirror()
{
    QFETCH(int, limit);

    Rig rig;
    FaultHttpServer* server = rig.addMirrorServer(QStringLiteral("one"), 3);
    QVERIFY(server);
    const QString remotePath = QStringLiteral("sec/big.dat");
    server->setResponse(Rig::serverPath(remotePath), FaultResponse::good(sampleBody(100000)));
    DownloadTaskSpecification* task = rig.makeTask(remotePath);
    QSignalSpy canceled(task, &TaskSpecification::canceled);
    {
        FileSizeLimit fileSizeLimit{rlim_t(limit)};
        QVERIFY(fileSizeLimit.isActive());
        task->execute();
        QTRY_COMPARE(canceled.count(), 1);
    }
    QCOMPARE(task->state, TaskErrorCanceled);
    QCOMPARE(rig.errors, QStringList{QStringLiteral("Error writing to file %1: %2")
                                         .arg(rig.localPath(remotePath),
                                              QString::fromLocal8Bit(strerror(EFBIG)))});
    QCOMPARE(server->requestCount(Rig::serverPath(remotePath)), 1);
    QCOMPARE(rig.mirrors.mirrorList.size(), 1);
    QCOMPARE(rig.mirrors.mirrorList.first().errorCount, 0);
    QCOMPARE(rig.inUse(QStringLiteral("one")), 0);
    QVERIFY(!QFile::exists(rig.localPath(remotePath)));
}

void tst_DownloadTask::userCancelDeletesPartialFileAndReleasesSlot()
{
    Rig rig;
    FaultHttpServer* server = rig.addMirrorServer(QStringLiteral("one"), 3);
    QVERIFY(server);
    const QString path = Rig::serverPath(QStringLiteral("f"));
    server->setResponse(path, FaultResponse::stallAfter(sampleBody(50000), 20000));

    DownloadTaskSpecification* task = rig.makeTask(QStringLiteral("f"));
    QSignalSpy canceled(task, &TaskSpecification::canceled);
    task->execute();
    QTRY_COMPARE(task->bytesReceived, qint64(20000));
    QVERIFY(QFile::exists(rig.localPath(QStringLiteral("f"))));

    task->userCanceled();
    QCOMPARE(task->state, TaskUserCanceled);
    QVERIFY(task->cancelRequested);
    QCOMPARE(canceled.count(), 1);
    QVERIFY(!task->reply);
    QVERIFY(!QFile::exists(rig.localPath(QStringLiteral("f"))));
    QCOMPARE(rig.inUse(QStringLiteral("one")), 0);
    QCOMPARE(rig.mirrors.mirrorList.first().errorCount, 0);
    server->finishStalled();
    QTest::qWait(50);
    QCOMPARE(server->requestCount(path), 1);
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(tick(task).done, quint64(0));
}

void tst_DownloadTask::userCancelWhileWaitingStopsWaiting()
{
    Rig rig;
    FaultHttpServer* server = rig.addMirrorServer(QStringLiteral("one"), 1);
    QVERIFY(server);
    server->setResponse(Rig::serverPath(QStringLiteral("first")),
                        FaultResponse::stallAfter(sampleBody(5000), 100));
    server->setResponse(Rig::serverPath(QStringLiteral("second")),
                        FaultResponse::good(sampleBody(5000)));

    DownloadTaskSpecification* holder = rig.makeTask(QStringLiteral("first"));
    DownloadTaskSpecification* waiter = rig.makeTask(QStringLiteral("second"));
    QSignalSpy holderFinished(holder, &TaskSpecification::finished);
    QSignalSpy waiterCanceled(waiter, &TaskSpecification::canceled);
    holder->execute();
    QTRY_COMPARE(holder->bytesReceived, qint64(100));
    waiter->execute();
    QVERIFY(!waiter->reply);
    waiter->userCanceled();
    QCOMPARE(waiter->state, TaskUserCanceled);
    QCOMPARE(waiterCanceled.count(), 1);

    server->finishStalled();
    QTRY_COMPARE(holderFinished.count(), 1);
    QTest::qWait(100);
    QCOMPARE(server->requestCount(Rig::serverPath(QStringLiteral("second"))), 0);
    QCOMPARE(waiter->state, TaskUserCanceled);
    QCOMPARE(rig.inUse(QStringLiteral("one")), 0);
}

void tst_DownloadTask::siblingCancelAbortsTheDownload()
{
    Rig rig;
    FaultHttpServer* server = rig.addMirrorServer(QStringLiteral("one"), 3);
    QVERIFY(server);
    const QString path = Rig::serverPath(QStringLiteral("running"));
    server->setResponse(path, FaultResponse::stallAfter(sampleBody(50000), 10000));

    Siblings parent;
    QStringList log;
    connect(&parent, &TaskSpecification::message, this, [&log](const QString& m) { log << m; });
    DownloadTaskSpecification* running = rig.makeTask(QStringLiteral("running"), -1, &parent, 0.5);
    parent.addSubTask(running);
    QSignalSpy parentCanceled(&parent, &TaskSpecification::canceled);
    parent.executeSubTasks();
    QTRY_COMPARE(running->bytesReceived, qint64(10000));

    // A sibling that cannot create its file fails and takes the running download with it.
    auto* failing = new DownloadTaskSpecification(
        &rig.manager, &rig.mirrors, QStringLiteral("failing"),
        rig.dir.filePath(QStringLiteral("no-such-folder/failing")), -1, &parent, 0.5);
    parent.addSubTask(failing);
    parent.executeSubTasks();
    QTRY_COMPARE(parentCanceled.count(), 1);

    QCOMPARE(failing->state, TaskErrorCanceled);
    QCOMPARE(running->state, TaskErrorCanceled);
    QCOMPARE(parent.state, TaskErrorCanceled);
    QVERIFY(log.contains(QStringLiteral("Abort downloading running")));
    QVERIFY(!QFile::exists(rig.localPath(QStringLiteral("running"))));
    QCOMPARE(rig.inUse(QStringLiteral("one")), 0);
    QCOMPARE(rig.mirrors.mirrorList.first().errorCount, 0);
}

void tst_DownloadTask::resetAfterFinishReleasesNothing()
{
    Rig rig;
    FaultHttpServer* server = rig.addMirrorServer(QStringLiteral("one"), 3);
    QVERIFY(server);
    const QByteArray body = sampleBody(4000);
    server->setResponse(Rig::serverPath(QStringLiteral("f")), FaultResponse::good(body));

    DownloadTaskSpecification* task = rig.makeTask(QStringLiteral("f"));
    QSignalSpy finished(task, &TaskSpecification::finished);
    task->execute();
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(rig.inUse(QStringLiteral("one")), 0);
    task->reset();
    task->reset();
    QCOMPARE(rig.inUse(QStringLiteral("one")), 0);
    QCOMPARE(task->state, TaskIdle);
    // The finished file is closed, so a reset keeps it.
    QCOMPARE(readFile(rig.localPath(QStringLiteral("f"))), body);

    task->execute();
    QTRY_COMPARE(finished.count(), 2);
    QCOMPARE(rig.inUse(QStringLiteral("one")), 0);
}

QTEST_GUILESS_MAIN(tst_DownloadTask)
#include "tst_downloadtask.moc"

#include "ui/singleinstancechecker.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QtTest>

#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {
// A non-blocking local stream socket, closed when it goes.
struct UnixSocket
{
    UnixSocket() = default;
    ~UnixSocket() { close(); }
    Q_DISABLE_COPY(UnixSocket)

    void close()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }

    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
};
} // namespace

// The single-instance channel within one process: the name rule, the sending and the
// receiving side.
class tst_SingleInstance : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void nameFollowsProgramPathAndHome_data();
    void nameFollowsProgramPathAndHome();
    void nameOfThisProgramUsesItsPathAndHome();
    void messageReachesTheRunningInstance();
    void withoutRunningInstanceTheCheckFails();
    void textIsCutAtTheFirstNul_data();
    void textIsCutAtTheFirstNul();
    void newerConnectionReplacesASilentOne();
    void eachConnectionIsReadOnce();
    void destroyedCheckerNoLongerAnswers();
    void socketFolderIsTheUsersOwn_data();
    void socketFolderIsTheUsersOwn();
    void socketFileIsTakenOverOnlyWithoutClaim_data();
    void socketFileIsTakenOverOnlyWithoutClaim();

private:
    QTemporaryDir home;
};

void tst_SingleInstance::initTestCase()
{
    // A home folder of this run gives a socket name of its own.
    QVERIFY(home.isValid());
    qputenv("HOME", QFile::encodeName(home.path()));
}

void tst_SingleInstance::init()
{
    // A check that found no instance left this process the claim: a checker takes it and ends.
    SingleInstanceChecker{nullptr};
}

void tst_SingleInstance::nameFollowsProgramPathAndHome_data()
{
    QTest::addColumn<QString>("programPath");
    QTest::addColumn<QString>("homePath");
    QTest::addColumn<QString>("name");

    QTest::newRow("example") << "/opt/Client/update"
                             << "/home/user"
                             << "QORClientUpdatecd8a";
    QTest::newRow("program path case ignored") << "/OPT/client/UPDATE"
                                               << "/home/user"
                                               << "QORClientUpdatecd8a";
    QTest::newRow("home case kept") << "/opt/Client/update"
                                    << "/home/User"
                                    << "QORClientUpdate42d9";
    QTest::newRow("colons removed") << "/opt/Cli:ent/update:"
                                    << "/home/us:er"
                                    << "QORClientUpdatecd8a";
    QTest::newRow("no leading zeros") << "/opt/Client/update"
                                      << "/home/u196"
                                      << "QORClientUpdate33";
}

void tst_SingleInstance::nameFollowsProgramPathAndHome()
{
    QFETCH(QString, programPath);
    QFETCH(QString, homePath);
    QFETCH(QString, name);
    QCOMPARE(SingleInstanceChecker::getLocalServerName(programPath, homePath), name);
}

void tst_SingleInstance::nameOfThisProgramUsesItsPathAndHome()
{
    const QByteArray home = qgetenv("HOME");
    const QString name = SingleInstanceChecker::getLocalServerName();
    QCOMPARE(name, SingleInstanceChecker::getLocalServerName(
                       QCoreApplication::applicationFilePath(), QDir::homePath()));
    qputenv("HOME", "/home/someone-else");
    const QString other = SingleInstanceChecker::getLocalServerName();
    qputenv("HOME", home);
    QVERIFY(other != name);
    QVERIFY(other.startsWith(QStringLiteral("QORClientUpdate")));
}

void tst_SingleInstance::messageReachesTheRunningInstance()
{
    SingleInstanceChecker checker(nullptr);
    QSignalSpy spy(&checker, &SingleInstanceChecker::otherInstanceActivate);
    QVERIFY(SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));
    QTRY_COMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toString(), QStringLiteral("#"));
    QTest::qWait(50);
    QCOMPARE(spy.count(), 1);
}

void tst_SingleInstance::withoutRunningInstanceTheCheckFails()
{
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));
    QVERIFY(clock.elapsed() < 2500);
}

void tst_SingleInstance::textIsCutAtTheFirstNul_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("hash") << QByteArray("#") << "#";
    QTest::newRow("nul inside") << QByteArray("ab\0cd", 5) << "ab";
    QTest::newRow("nul first") << QByteArray("\0#", 2) << QString();
    QTest::newRow("latin-1") << QByteArray("caf\xe9") << QString::fromLatin1("caf\xe9");
}

void tst_SingleInstance::textIsCutAtTheFirstNul()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    SingleInstanceChecker checker(nullptr);
    QSignalSpy spy(&checker, &SingleInstanceChecker::otherInstanceActivate);
    QLocalSocket socket;
    socket.connectToServer(SingleInstanceChecker::getLocalServerPath());
    QVERIFY(socket.waitForConnected(1000));
    QCOMPARE(socket.write(bytes), qint64(bytes.size()));
    QVERIFY(socket.waitForBytesWritten(1000));
    QTRY_COMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toString(), text);
}

void tst_SingleInstance::newerConnectionReplacesASilentOne()
{
    SingleInstanceChecker checker(nullptr);
    QSignalSpy spy(&checker, &SingleInstanceChecker::otherInstanceActivate);
    QLocalSocket silent;
    silent.connectToServer(SingleInstanceChecker::getLocalServerPath());
    QVERIFY(silent.waitForConnected(1000));
    QTest::qWait(50);

    QVERIFY(SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));
    QTRY_COMPARE(spy.count(), 1);
    // The earlier connection was released unread: what it sends now is never looked at.
    QTRY_COMPARE(silent.state(), QLocalSocket::UnconnectedState);
    silent.write("late");
    QTest::qWait(50);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toString(), QStringLiteral("#"));
}

void tst_SingleInstance::eachConnectionIsReadOnce()
{
    SingleInstanceChecker checker(nullptr);
    QSignalSpy spy(&checker, &SingleInstanceChecker::otherInstanceActivate);
    QLocalSocket socket;
    socket.connectToServer(SingleInstanceChecker::getLocalServerPath());
    QVERIFY(socket.waitForConnected(1000));
    socket.write("#");
    QVERIFY(socket.waitForBytesWritten(1000));
    QTRY_COMPARE(spy.count(), 1);
    QTRY_COMPARE(socket.state(), QLocalSocket::UnconnectedState);
    socket.write("#");
    QTest::qWait(50);
    QCOMPARE(spy.count(), 1);

    // A new connection is served again.
    QVERIFY(SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));
    QTRY_COMPARE(spy.count(), 2);
}

void tst_SingleInstance::destroyedCheckerNoLongerAnswers()
{
    {
        SingleInstanceChecker checker(nullptr);
        QLocalSocket held;
        held.connectToServer(SingleInstanceChecker::getLocalServerPath());
        QVERIFY(held.waitForConnected(1000));
        QTest::qWait(50);
    }
    QVERIFY(!SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));
}

void tst_SingleInstance::socketFolderIsTheUsersOwn_data()
{
    // $XDG_RUNTIME_DIR: another user's folder or this user's, its mode, or a link to it.
    QTest::addColumn<bool>("foreign");
    QTest::addColumn<uint>("mode");
    QTest::addColumn<bool>("link");
    // 0: that folder is taken, 1: the one in the temporary folder, -1: none, as another user
    // made that one first.
    QTest::addColumn<int>("taken");
    QTest::newRow("runtime folder") << false << 0700u << false << 0;
    QTest::newRow("another user's") << true << 0700u << false << 1;
    QTest::newRow("open to others") << false << 0770u << false << 1;
    QTest::newRow("a link") << false << 0700u << true << 1;
    QTest::newRow("another user's everywhere") << true << 0700u << false << -1;
}

void tst_SingleInstance::socketFolderIsTheUsersOwn()
{
    QFETCH(bool, foreign);
    QFETCH(uint, mode);
    QFETCH(bool, link);
    QFETCH(int, taken);
    if (::geteuid() != 0)
        QSKIP("only root can hand a folder to another user");
    const QTemporaryDir temporary;
    const QString folders[] = {temporary.path() + QStringLiteral("/runtime"),
                               temporary.path() + QStringLiteral("/QORClientUpdate-0")};
    // A link leads to a folder of this user's, closed to everyone else.
    QVERIFY(link ? QFile::link(temporary.path(), folders[0]) : QDir().mkdir(folders[0]));
    QVERIFY(::chmod(qPrintable(folders[0]), mode) == 0 &&
            ::chown(qPrintable(folders[0]), foreign ? 65534 : 0, 0) == 0);
    QVERIFY(taken >= 0 ||
            (QDir().mkdir(folders[1]) && ::chown(qPrintable(folders[1]), 65534, 0) == 0));

    // Without a folder for the socket only the hand-over is lost: a held claim still ends a start.
    const SingleInstanceChecker holder(nullptr);
    const QByteArray tmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(temporary.path()));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(folders[0]));
    const QString folder = SingleInstanceChecker::getLocalServerFolder();
    const bool ended = taken >= 0 || SingleInstanceChecker::checkExistingInstance("#");
    qputenv("TMPDIR", tmp);
    qunsetenv("XDG_RUNTIME_DIR");
    QCOMPARE(folder, taken < 0 ? QString() : folders[taken]);
    QVERIFY(ended);
}

void tst_SingleInstance::socketFileIsTakenOverOnlyWithoutClaim_data()
{
    // The queue length of the first instance's socket; -1: bound but never served, as a
    // killed instance leaves it, so connecting is refused.
    QTest::addColumn<int>("backlog");
    // Whether the first instance holds its claim still; no later start may then run.
    QTest::addColumn<bool>("held");
    // Whether the socket's path holds a link to the first instance's socket instead.
    QTest::addColumn<bool>("linked");
    QTest::newRow("crashed instance") << -1 << false << false;
    QTest::newRow("claimed, not listening yet") << -1 << true << false;
    // Listening but not accepting yet, as an instance still in its version query.
    QTest::newRow("busy instance") << 8 << true << false;
    QTest::newRow("busy instance with a full queue") << 0 << true << false;
    QTest::newRow("busy instance behind a link") << 8 << true << true;
}

void tst_SingleInstance::socketFileIsTakenOverOnlyWithoutClaim()
{
    QFETCH(int, backlog);
    QFETCH(bool, held);
    QFETCH(bool, linked);
    const QScopedPointer<QObject> holder(held ? new SingleInstanceChecker(nullptr) : nullptr);
    const QString channel = SingleInstanceChecker::getLocalServerPath();
    const QString target = linked ? channel + QStringLiteral(".first") : channel;
    const QByteArray path = QFile::encodeName(target);
    // The files of an earlier row's sockets.
    QFile::remove(channel);
    QFile::remove(target);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    QVERIFY(size_t(path.size()) < sizeof(address.sun_path));
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    const auto sockAddress = reinterpret_cast<sockaddr*>(&address);
    UnixSocket first;
    QCOMPARE(::bind(first.fd, sockAddress, sizeof(address)), 0);
    const UnixSocket filler;
    if (backlog < 0) {
        first.close();
    } else {
        QCOMPARE(::listen(first.fd, backlog), 0);
        if (backlog == 0)
            QCOMPARE(::connect(filler.fd, sockAddress, sizeof(address)), 0);
    }
    QVERIFY(!linked || QFile::link(target, channel));
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")), held);
    QVERIFY(clock.elapsed() < 2500);

    SingleInstanceChecker checker(nullptr);
    QSignalSpy spy(&checker, &SingleInstanceChecker::otherInstanceActivate);
    if (!held) {
        QVERIFY(SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));
        QTRY_COMPARE(spy.count(), 1);
    }
    if (!held || linked || backlog < 0) {
        // A link at the path is never followed.
        QCOMPARE(::accept(first.fd, nullptr, nullptr), -1);
        return;
    }
    // The busy instance gets to its event loop and serves what waits; a later start then
    // reaches it, not the checker that started meanwhile.
    for (int waiting; (waiting = ::accept(first.fd, nullptr, nullptr)) >= 0;)
        ::close(waiting);
    QVERIFY(SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));
    const int connection = ::accept(first.fd, nullptr, nullptr);
    QVERIFY(connection >= 0);
    char received[8] = {};
    const ssize_t size = ::recv(connection, received, sizeof(received), MSG_DONTWAIT);
    ::close(connection);
    QCOMPARE(QByteArray(received, int(qMax<ssize_t>(size, 0))), QByteArray("#"));
    QCoreApplication::processEvents();
    QCOMPARE(spy.count(), 0);
}

QTEST_MAIN(tst_SingleInstance)
#include "tst_singleinstance.moc"

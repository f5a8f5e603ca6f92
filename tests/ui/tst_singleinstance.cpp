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
#include <sys/un.h>
#include <unistd.h>

// The single-instance channel within one process: the name rule, the sending and the
// receiving side.
class tst_SingleInstance : public QObject
{
    Q_OBJECT

private slots:
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
    void socketFileOfACrashedInstanceIsTakenOver();
};

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
    socket.connectToServer(SingleInstanceChecker::getLocalServerName());
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
    silent.connectToServer(SingleInstanceChecker::getLocalServerName());
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
    socket.connectToServer(SingleInstanceChecker::getLocalServerName());
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
        held.connectToServer(SingleInstanceChecker::getLocalServerName());
        QVERIFY(held.waitForConnected(1000));
        QTest::qWait(50);
    }
    QVERIFY(!SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));
}

void tst_SingleInstance::socketFileOfACrashedInstanceIsTakenOver()
{
    // A socket bound but never served, as a killed instance leaves it.
    const QByteArray path =
        QFile::encodeName(QDir::tempPath() + '/' + SingleInstanceChecker::getLocalServerName());
    QLocalServer::removeServer(SingleInstanceChecker::getLocalServerName());
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    QVERIFY(size_t(path.size()) < sizeof(address.sun_path));
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    QVERIFY(fd >= 0);
    QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ::close(fd);
    QVERIFY(QFile::exists(QFile::decodeName(path)));
    QVERIFY(!SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));

    SingleInstanceChecker checker(nullptr);
    QSignalSpy spy(&checker, &SingleInstanceChecker::otherInstanceActivate);
    QVERIFY(SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));
    QTRY_COMPARE(spy.count(), 1);
}

QTEST_MAIN(tst_SingleInstance)
#include "tst_singleinstance.moc"

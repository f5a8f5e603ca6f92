#include "support/updateserverprocess.h"

#include <QNetworkDatagram>
#include <QProcess>
#include <QUdpSocket>
#include <QtTest>

class tst_UpdateServer : public QObject
{
    Q_OBJECT

private slots:
    void answersEachRequestOnLoopback_data();
    void answersEachRequestOnLoopback();
    void refusesUnusableOptions_data();
    void refusesUnusableOptions();
};

void tst_UpdateServer::answersEachRequestOnLoopback_data()
{
    QTest::addColumn<quint16>("port");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("versions") << quint16(17384) << QByteArray("3", 2)
                              << QByteArray("500#Five,600#Six,700");
    QTest::newRow("news") << quint16(17384) << QByteArray("*", 2) << QByteArray("Hello there");
    QTest::newRow("banner") << quint16(2009) << QByteArray("\x01\x01", 2)
                            << QByteArray("http://127.0.0.1/b.png,http://127.0.0.1/");
    QTest::newRow("unknown request") << quint16(17384) << QByteArray("?", 2) << QByteArray();
    QTest::newRow("banner request on the version port")
        << quint16(17384) << QByteArray("\x01\x01", 2) << QByteArray();
}

void tst_UpdateServer::answersEachRequestOnLoopback()
{
    QFETCH(quint16, port);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);
    UpdateServerProcess server;
    QVERIFY2(server.start(QStringLiteral("500#Five,600#Six,700"), QStringLiteral("Hello there"),
                          QStringLiteral("http://127.0.0.1/b.png,http://127.0.0.1/")),
             qPrintable(server.errorText()));
    QUdpSocket client;
    QVERIFY(client.bind(QHostAddress(QHostAddress::LocalHost), 0));

    QCOMPARE(client.writeDatagram(request, QHostAddress::LocalHost, port), qint64(request.size()));

    // An unanswered request gets the same wait, so silence is a result and not a race.
    const bool answered = client.waitForReadyRead(reply.isNull() ? 500 : 5000);
    QCOMPARE(answered, !reply.isNull());
    if (answered)
        QCOMPARE(client.receiveDatagram().data(), reply);
}

void tst_UpdateServer::refusesUnusableOptions_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("complaint");
    QTest::newRow("bad address") << QStringList{"--bind", "nowhere"} << "invalid address or port";
    QTest::newRow("bad port") << QStringList{"--version-port", "70000"}
                              << "invalid address or port";
    QTest::newRow("same port twice")
        << QStringList{"--version-port", "17385", "--banner-port", "17385"}
        << "cannot listen on 127.0.0.1";
}

void tst_UpdateServer::refusesUnusableOptions()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, complaint);
    QProcess tool;
    tool.start(UpdateServerProcess::programPath(), arguments);
    QVERIFY(tool.waitForFinished(10000));
    QCOMPARE(tool.exitCode(), 1);
    QVERIFY2(QString::fromLocal8Bit(tool.readAllStandardError()).contains(complaint),
             qPrintable(complaint));
}

QTEST_MAIN(tst_UpdateServer)
#include "tst_updateserver.moc"

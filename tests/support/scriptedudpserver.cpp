#include "support/scriptedudpserver.h"

#include <QHostAddress>
#include <QUdpSocket>

ScriptedUdpServer::ScriptedUdpServer(const QList<QByteArray>& script, QObject* parent)
    : QThread(parent)
    , script(script)
{
}

ScriptedUdpServer::~ScriptedUdpServer()
{
    stopRequested = 1;
    wait();
}

bool ScriptedUdpServer::listen(quint16 listenPort)
{
    port = listenPort;
    start();
    // run() reports the outcome of its bind before it serves anything.
    while (isRunning()) {
        {
            QMutexLocker lock(&mutex);
            if (bound)
                return true;
        }
        QThread::msleep(5);
    }
    QMutexLocker lock(&mutex);
    return bound;
}

QList<ScriptedUdpServer::Request> ScriptedUdpServer::requests() const
{
    QMutexLocker lock(&mutex);
    return received;
}

void ScriptedUdpServer::run()
{
    QUdpSocket socket;
    if (!socket.bind(QHostAddress::LocalHost, port))
        return;
    {
        QMutexLocker lock(&mutex);
        bound = true;
    }
    int next = 0;
    while (!stopRequested) {
        if (!socket.waitForReadyRead(20))
            continue;
        while (socket.hasPendingDatagrams()) {
            QByteArray data(int(socket.pendingDatagramSize()), '\0');
            QHostAddress sender;
            quint16 senderPort = 0;
            data.resize(int(socket.readDatagram(data.data(), data.size(), &sender, &senderPort)));
            {
                QMutexLocker lock(&mutex);
                received.append(Request{data, senderPort});
            }
            const QByteArray reply = next < script.size() ? script.at(next) : QByteArray();
            ++next;
            if (!reply.isNull())
                socket.writeDatagram(reply, sender, senderPort);
        }
    }
}

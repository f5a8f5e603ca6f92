#include "support/scriptedudpserver.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QSet>
#include <QUdpSocket>

#include <unistd.h>

namespace {

// The inodes of the UDP sockets (IPv4 and IPv6) bound to port in this network namespace.
QSet<QByteArray> udpSocketInodes(quint16 port)
{
    const QByteArray suffix = ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    QSet<QByteArray> inodes;
    for (const char* path : {"/proc/net/udp", "/proc/net/udp6"}) {
        QFile table(QString::fromLatin1(path));
        if (!table.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> lines = table.readAll().split('\n');
        // Fields: sl local_address rem_address st queues timer retransmits uid timeout inode.
        for (int i = 1; i < lines.size(); ++i) {
            const QList<QByteArray> fields = lines.at(i).simplified().split(' ');
            if (fields.size() > 9 && fields.at(1).endsWith(suffix))
                inodes.insert(fields.at(9));
        }
    }
    return inodes;
}

// This process and, transitively, the processes it started.
QList<QByteArray> processTree()
{
    QList<QByteArray> pids{QByteArray::number(QCoreApplication::applicationPid())};
    for (int i = 0; i < pids.size(); ++i) {
        const QString tasks = QStringLiteral("/proc/%1/task").arg(QString::fromLatin1(pids.at(i)));
        for (const QString& task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile children(tasks + QLatin1Char('/') + task + QStringLiteral("/children"));
            if (children.open(QIODevice::ReadOnly))
                pids += children.readAll().simplified().split(' ');
        }
        pids.removeAll(QByteArray());
    }
    return pids;
}

// Whether the datagram from senderPort came from a socket this process tree holds.
bool sentByProgramUnderTest(quint16 senderPort)
{
    const QSet<QByteArray> inodes = udpSocketInodes(senderPort);
    if (inodes.isEmpty())
        return false;
    for (const QByteArray& pid : processTree()) {
        const QByteArray fds = "/proc/" + pid + "/fd/";
        const QDir dir(QString::fromLatin1(fds));
        for (const QString& fd : dir.entryList(QDir::Files | QDir::System)) {
            char target[64];
            const ssize_t size =
                ::readlink((fds + fd.toLatin1()).constData(), target, sizeof target);
            const QByteArray link(target, size > 0 ? int(size) : 0);
            if (link.startsWith("socket:[") && inodes.contains(link.mid(8, link.size() - 9)))
                return true;
        }
    }
    return false;
}

} // namespace

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
    QUdpSocket intruder;
    int next = 0;
    while (!stopRequested) {
        if (!socket.waitForReadyRead(20))
            continue;
        while (socket.hasPendingDatagrams()) {
            QByteArray data(int(socket.pendingDatagramSize()), '\0');
            QHostAddress sender;
            quint16 senderPort = 0;
            data.resize(int(socket.readDatagram(data.data(), data.size(), &sender, &senderPort)));
            if (!sentByProgramUnderTest(senderPort))
                continue;
            {
                QMutexLocker lock(&mutex);
                received.append(Request{data, senderPort});
            }
            const QByteArray reply = next < script.size() ? script.at(next) : QByteArray();
            ++next;
            if (!forged.isNull())
                intruder.writeDatagram(forged, sender, senderPort);
            if (!reply.isNull())
                socket.writeDatagram(reply, sender, senderPort);
        }
    }
}

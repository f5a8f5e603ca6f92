#ifndef SCRIPTEDUDPSERVER_H
#define SCRIPTEDUDPSERVER_H

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QThread>

// A UDP server on 127.0.0.1 that answers each datagram it receives with the next entry of a
// script, for tests that must send malformed, oversized or missing replies. A null entry (or
// an exhausted script) means silence. It runs on a thread of its own, so that a client that
// blocks the test's thread still gets its replies. Only datagrams sent from a socket of this
// test process or of a process it started are answered and recorded: another suite on the same
// machine may send to the same fixed port.
class ScriptedUdpServer : public QThread
{
    Q_OBJECT
    Q_DISABLE_COPY(ScriptedUdpServer)

public:
    struct Request
    {
        QByteArray data;
        quint16 senderPort = 0;
    };

    // Replies, in the order of the datagrams they answer.
    explicit ScriptedUdpServer(const QList<QByteArray>& script, QObject* parent = nullptr);
    ~ScriptedUdpServer() override;

    // Binds 127.0.0.1:port and starts serving; false when the port cannot be bound.
    bool listen(quint16 port);
    // Every datagram received so far from the program under test, in order.
    QList<Request> requests() const;
    // When not null, sent to the program before each reply from a socket of another port.
    QByteArray forged;

protected:
    void run() override;

private:
    const QList<QByteArray> script;
    quint16 port = 0;
    mutable QMutex mutex;
    QList<Request> received;
    bool bound = false;
    QAtomicInt stopRequested = 0;
};

#endif // SCRIPTEDUDPSERVER_H

#ifndef TRANSPORTPOOL_H
#define TRANSPORTPOOL_H

#include <QList>
#include <QObject>

class QNetworkAccessManager;

// The network managers that carry the downloads of a file list, each reading its responses on a
// thread of its own: a single manager reads all of them on one thread, every header a byte per
// system call, which then bounds a list of many small files. A download holds one for as long as
// its request runs, and no other download uses it meanwhile. They are made when first needed,
// never more than the bound: each keeps a thread and its connections open, so one per stream
// setting would run out of descriptors where the mirrors let only a few downloads run at once.
// Each uses the proxy of the shared manager and repeats its finished signal, so that a download
// waiting for a mirror slot hears of every end.
class TransportPool : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(TransportPool)

public:
    // A child of shared; bound is the most downloads that can run at once. Release it only
    // after the downloads: the managers, its children, take their replies with them.
    TransportPool(QNetworkAccessManager* shared, int bound);

    // A manager that no download holds; the shared one once the bound is reached.
    QNetworkAccessManager* take();
    // Makes transport, taken from this pool, free for the next download.
    void giveBack(QNetworkAccessManager* transport);

private:
    int bound = 0;
    QNetworkAccessManager* shared = nullptr;
    int made = 0;
    // Made and held by no download; the others are children too.
    QList<QNetworkAccessManager*> idle;
};

#endif // TRANSPORTPOOL_H

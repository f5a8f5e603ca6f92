#ifndef MIRRORS_H
#define MIRRORS_H

#include "net/ftpsiteaccessdata.h"

#include <QObject>
#include <QString>
#include <QVector>

class QSettings;

// The download mirrors of one update run. Hands out a mirror at random, weighted by its free
// connection slots, takes slots back, counts errors and drops mirrors that failed too often
// or that a download declares unusable. The list is loaded once and afterwards only shrinks.
// GUI thread only; every operation completes before it returns.
class Mirrors : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Mirrors)

public:
    // Results of getRandomMirror().
    enum RandomMirrorResult
    {
        MirrorReserved = 0,
        NoMirrorLeft = 1,
        AllSlotsInUse = 2
    };

    // An empty list.
    explicit Mirrors(QObject* parent);
    ~Mirrors() override;

    // Loads the list from the "mirrors.ini" at path, completing every address with the
    // client version. A missing file or an empty array leaves the list empty; always true.
    bool initDefault(const QString& path, int clientVersion);
    // Builds the single alpha mirror from key "alpha" of group "Channel" of the "update.ini"
    // at path. Emits fatalError and returns false, leaving the list empty, when it is missing.
    bool initAlpha(const QString& path, int clientVersion);
    // Completes every loaded mirror from its own group of settings: address, slots, retries.
    void setDefaults(QSettings& settings, int clientVersion);

    // Index of the first mirror of exactly that name, or -1 (always -1 for an empty name).
    int getMirrorIndex(const QString& name) const;
    // Drops that mirror with its slots and error count; an unknown name changes nothing.
    void removeMirror(const QString& name);
    // Gives back one connection slot of that mirror; an unknown name changes nothing.
    void releaseMirror(const QString& name);
    // Total connection slots (capacity) and slots in use (used) over the whole list.
    void calcUseStats(int& capacity, int& used) const;
    // Reserves a free slot drawn at random (qrand) and copies its mirror, already counting the
    // reservation, into mirror: MirrorReserved. NoMirrorLeft when the list is empty (the
    // empty-list message is emitted once per object); AllSlotsInUse, changing nothing, when
    // every slot is taken.
    int getRandomMirror(FTPSiteAccessData& mirror);
    // Counts an error against that mirror and drops it, with a message, once its errors exceed
    // its retries.
    void addMirrorError(const QString& name);

    QVector<FTPSiteAccessData> mirrorList;
    bool noMirrorsReported = false;

signals:
    // A line for the details log.
    void message(QString message);
    // The list cannot be built; the update must not start.
    void fatalError(QString errorMessage);
};

#endif // MIRRORS_H

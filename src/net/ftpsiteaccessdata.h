#ifndef FTPSITEACCESSDATA_H
#define FTPSITEACCESSDATA_H

#include <QString>

// One download mirror: its name and versioned base address, how many errors it tolerates,
// how many silent ticks a download on it may wait, and its connection slots. A plain value,
// copied freely; a copy does not follow later changes of the list it came from.
struct FTPSiteAccessData
{
    // Name in "mirrors.ini" (or "Alpha Channel"); every operation by name uses it as the key.
    QString name;
    // Base address, completed at load time to end in "/" and the client version number.
    QString url;
    // Errors tolerated: the error that makes errorCount exceed it removes the mirror.
    int retries = 0;
    // Ticks without data after which a download on this mirror gives up.
    int timeoutTicks = 15;
    int errorCount = 0;
    // Downloads that currently hold a connection slot here.
    int inUse = 0;
    int maxConnections = 1;
};

#endif // FTPSITEACCESSDATA_H

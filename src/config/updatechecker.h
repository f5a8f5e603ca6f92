#ifndef UPDATECHECKER_H
#define UPDATECHECKER_H

#include "config/configuration.h"

#include <QList>
#include <QPair>
#include <QString>

// One blocking version and news exchange with the update server over UDP (port 17384):
// request "3" gives the version list, request "*" the news text. Each exchange uses a socket
// of its own, connected to the server, so datagrams from any other sender are never taken as
// a reply; waits at most 5000 ms per reply.
class UpdateChecker
{
public:
    // Performs both exchanges. True when all succeeded; versions then holds one (version text,
    // label) pair per entry of the first reply and news the second reply.
    bool readFromServer();
    // Runs readFromServer() and returns its result.
    bool checkUpdate();
    // The (version text, label) of channel, or two empty texts when the reply had no entry.
    QPair<QString, QString> getClientVersionByChannel(UpdateChannel channel) const;

    QList<QPair<QString, QString>> versions;
    QString news;
};

#endif // UPDATECHECKER_H

#include "net/transportpool.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>

TransportPool::TransportPool(QNetworkAccessManager* shared, int bound)
    : QObject(shared)
    , bound(bound)
    , shared(shared)
{
}

QNetworkAccessManager* TransportPool::take()
{
    if (!idle.isEmpty())
        return idle.takeLast();
    if (made >= bound)
        return shared;
    auto* transport = new QNetworkAccessManager(this);
    transport->setProxy(shared->proxy());
    connect(transport, &QNetworkAccessManager::finished, shared, &QNetworkAccessManager::finished);
    ++made;
    return transport;
}

void TransportPool::giveBack(QNetworkAccessManager* transport)
{
    if (transport != shared)
        idle.append(transport);
}

#include "net/mirrors.h"

#include <QSettings>
#include <QtGlobal>

namespace {

// Address + "/" (unless it already ends with one) + the version number.
QString versionedUrl(const QString& url, int clientVersion)
{
    QString result = url;
    if (!result.endsWith(QLatin1Char('/')))
        result += QLatin1Char('/');
    return result + QString::number(clientVersion);
}

bool isHttpUrl(const QString& url)
{
    return url.left(7).toUpper() == QLatin1String("HTTP://") ||
           url.left(8).toUpper() == QLatin1String("HTTPS://");
}

} // namespace

Mirrors::Mirrors(QObject* parent)
    : QObject(parent)
{
}

Mirrors::~Mirrors() = default;

bool Mirrors::initDefault(const QString& path, int clientVersion)
{
    QSettings settings(path, QSettings::IniFormat);
    const int count = settings.beginReadArray(QStringLiteral("mirrors"));
    for (int i = 0; i < count; ++i) {
        settings.setArrayIndex(i);
        FTPSiteAccessData site;
        site.name = settings.value(QStringLiteral("mirror")).toString();
        // A nameless or repeated entry could never be released or removed by name, and its
        // slots would be booked against the first record of that name.
        if (site.name.isEmpty() || getMirrorIndex(site.name) >= 0)
            continue;
        mirrorList.append(site);
    }
    settings.endArray();
    setDefaults(settings, clientVersion);
    return true;
}

bool Mirrors::initAlpha(const QString& path, int clientVersion)
{
    QSettings settings(path, QSettings::IniFormat);
    const QString url = settings.value(QStringLiteral("Channel/alpha")).toString();
    if (url.isEmpty()) {
        emit fatalError(
            QStringLiteral("Alpha parameter in channel section in update ini file not found"));
        return false;
    }
    FTPSiteAccessData site;
    site.name = QStringLiteral("Alpha Channel");
    site.url = versionedUrl(url, clientVersion);
    site.retries = 4;
    mirrorList.append(site);
    return true;
}

void Mirrors::setDefaults(QSettings& settings, int clientVersion)
{
    for (FTPSiteAccessData& site : mirrorList) {
        settings.beginGroup(site.name);
        const QString url = settings.value(QStringLiteral("url")).toString();
        if (isHttpUrl(url))
            site.maxConnections = 3;
        site.url = versionedUrl(url, clientVersion);
        site.retries = static_cast<int>(settings.value(QStringLiteral("retries"), 2).toUInt());
        if (site.retries < 1)
            site.retries = 2;
        settings.endGroup();
    }
}

int Mirrors::getMirrorIndex(const QString& name) const
{
    if (name.isEmpty())
        return -1;
    for (int i = 0; i < mirrorList.size(); ++i) {
        if (mirrorList.at(i).name == name)
            return i;
    }
    return -1;
}

void Mirrors::removeMirror(const QString& name)
{
    const int index = getMirrorIndex(name);
    if (index >= 0)
        mirrorList.remove(index);
}

void Mirrors::releaseMirror(const QString& name)
{
    const int index = getMirrorIndex(name);
    if (index >= 0)
        --mirrorList[index].inUse;
}

void Mirrors::calcUseStats(int& capacity, int& used) const
{
    capacity = 0;
    used = 0;
    for (const FTPSiteAccessData& site : mirrorList) {
        capacity += site.maxConnections;
        used += site.inUse;
    }
}

int Mirrors::getRandomMirror(FTPSiteAccessData& mirror)
{
    if (mirrorList.isEmpty()) {
        if (!noMirrorsReported) {
            emit message(tr("There are no (more) known working mirrors available"));
            noMirrorsReported = true;
        }
        return NoMirrorLeft;
    }
    int capacity = 0;
    int used = 0;
    calcUseStats(capacity, used);
    if (used >= capacity)
        return AllSlotsInUse;

    // qrand, which the engine seeds once per update, so a seeded run draws the same mirrors.
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    int r = qrand() % (capacity - used);
    QT_WARNING_POP
    for (FTPSiteAccessData& site : mirrorList) {
        r -= site.maxConnections - site.inUse;
        if (r < 0) {
            ++site.inUse;
            mirror = site;
            return MirrorReserved;
        }
    }
    return NoMirrorLeft;
}

void Mirrors::addMirrorError(const QString& name)
{
    const int index = getMirrorIndex(name);
    if (index < 0)
        return;
    FTPSiteAccessData& site = mirrorList[index];
    ++site.errorCount;
    if (site.errorCount > site.retries) {
        emit message(tr("Mirror %1 failed too many times, removing").arg(site.name));
        mirrorList.remove(index);
    }
}

#include "ui/changelogviewer.h"

#include "config/configuration.h"
#include "net/mirrorurl.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFont>
#include <QFontMetrics>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QScreen>
#include <QSettings>
#include <QTextEdit>
#include <QTextStream>
#include <QTimer>
#include <QVBoxLayout>

ChangeLogViewer* ChangeLogViewer::m_instance = nullptr;

namespace {
const int DefaultWidth = 617;
const int DefaultHeight = 500;
const int RequestTimeout = 2000;
} // namespace

void ChangeLogViewer::showRemoteChangeLogDialog(QWidget* parent, const QString& version)
{
    if (!m_instance) {
        m_instance = new ChangeLogViewer(parent);
        m_instance->requestRemote(version);
    }
    m_instance->show();
    m_instance->raise();
    m_instance->activateWindow();
}

ChangeLogViewer::ChangeLogViewer(QWidget* parent)
    : QDialog(parent, Qt::WindowSystemMenuHint)
{
    setObjectName(QStringLiteral("ChangeLogViewer"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(tr("Changelog"));

    changeLogTextEdit = new QTextEdit;
    changeLogTextEdit->setObjectName(QStringLiteral("changeLogTextEdit"));
    changeLogTextEdit->setReadOnly(true);
    changeLogTextEdit->setLineWrapMode(QTextEdit::NoWrap);
    QFont fixedPitch;
    fixedPitch.setStyleHint(QFont::TypeWriter, QFont::PreferDefault);
    QFont font = changeLogTextEdit->font();
    font.setFamily(fixedPitch.defaultFamily());
    changeLogTextEdit->setFont(font);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, Qt::Horizontal);
    connect(buttons, &QDialogButtonBox::rejected, this, &ChangeLogViewer::close);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(changeLogTextEdit);
    layout->addWidget(buttons);
    resize(DefaultWidth, DefaultHeight);
}

ChangeLogViewer::~ChangeLogViewer()
{
    if (m_instance == this)
        m_instance = nullptr;
}

void ChangeLogViewer::requestRemote(QString version)
{
    if (reply)
        return;
    changeLogTextEdit->setText(tr("Loading..."));
    if (!version.isEmpty())
        this->version = version;

    const QString base = getRemoteUrl();
    if (base.isEmpty()) {
        changeLogTextEdit->setText(tr("Failed to load changelog."));
        return;
    }
    QString address = base;
    if (!address.endsWith(QLatin1Char('/')))
        address += QLatin1Char('/');

    if (!manager)
        manager = new QNetworkAccessManager(this);
    QNetworkRequest request(
        mirrorFileUrl(address, this->version + QStringLiteral("/changelog_client.txt")));
    // Without this Qt offers gzip and deflate itself and unpacks the body before a byte of it
    // is counted: a few hundred kilobytes could unpack to gigabytes.
    request.setRawHeader("Accept-Encoding", "identity");
    reply = manager->get(request);
    // Qt reads no further ahead than this, so no more than the limit is ever held.
    reply->setReadBufferSize(MaxChangeLogSize + 1);
    connect(reply, &QNetworkReply::finished, this, &ChangeLogViewer::onRequestFinished);
    // A changelog is a few kilobytes; a mirror that sends more must neither fill the memory
    // nor stall the window while the text is laid out.
    QNetworkReply* pending = reply;
    connect(reply, &QNetworkReply::downloadProgress, this,
            [pending](qint64 received, qint64 total) {
                if (received > MaxChangeLogSize || total > MaxChangeLogSize)
                    pending->abort();
            });

    if (!timeoutTimer) {
        timeoutTimer = new QTimer(this);
        timeoutTimer->setSingleShot(true);
        timeoutTimer->setInterval(RequestTimeout);
        connect(timeoutTimer, &QTimer::timeout, this, &ChangeLogViewer::onRequestTimeout);
    }
    timeoutTimer->start();
}

QString ChangeLogViewer::getRemoteUrl()
{
    if (mirrorsLoaded)
        return mirrorUrls.isEmpty() ? QString() : getRandomMirror();
    mirrorsLoaded = true;

    const QDir root(Configuration::getAppRootPath());
    const QString updateIni = root.absoluteFilePath(QStringLiteral("update.ini"));
    if (QFile::exists(updateIni)) {
        QSettings settings(updateIni, QSettings::IniFormat);
        settings.beginGroup(QStringLiteral("Channel"));
        const QString alpha = settings.value(QStringLiteral("alpha")).toString();
        if (!alpha.isEmpty())
            return alpha;
    }

    const QString mirrorsIni = root.absoluteFilePath(QStringLiteral("mirrors.ini"));
    if (!QFile::exists(mirrorsIni))
        return QString();
    QSettings settings(mirrorsIni, QSettings::IniFormat);
    QStringList names;
    const int count = settings.beginReadArray(QStringLiteral("mirrors"));
    for (int i = 0; i < count; ++i) {
        settings.setArrayIndex(i);
        names.append(settings.value(QStringLiteral("mirror")).toString());
    }
    settings.endArray();
    for (const QString& name : qAsConst(names)) {
        settings.beginGroup(name);
        const QString url = settings.value(QStringLiteral("url")).toString();
        settings.endGroup();
        if (!url.isEmpty())
            mirrorUrls.append(url);
    }
    return getRandomMirror();
}

QString ChangeLogViewer::getRandomMirror()
{
    if (mirrorUrls.isEmpty())
        return QString();
    // The engine seeds qrand per update; Qt 5.15 marks it deprecated but keeps it.
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    const int index = qrand() % mirrorUrls.size();
    QT_WARNING_POP
    return mirrorUrls.takeAt(index);
}

void ChangeLogViewer::load(const QString& text)
{
    // Rich text would make Qt read every file the text names as a picture.
    changeLogTextEdit->setPlainText(text);
    if (text.isEmpty())
        return;

    const QFontMetrics metrics(changeLogTextEdit->font());
    int widest = 0;
    for (const QString& line : text.split(QLatin1Char('\n')))
        widest = qMax(widest, metrics.horizontalAdvance(line));
    int width = widest == 0 ? DefaultWidth : widest + 50;
    int height = DefaultHeight;

    const QRect available = screen() ? screen()->availableGeometry() : QRect();
    if (available.isValid()) {
        width = qMin(width, available.width());
        height = qMin(available.height(), DefaultHeight);
    }
    resize(width, height);
}

void ChangeLogViewer::onRequestTimeout()
{
    if (reply)
        reply->abort();
}

void ChangeLogViewer::onRequestFinished()
{
    if (!reply)
        return;
    QNetworkReply* done = reply;
    reply = nullptr;
    done->deleteLater();

    // Redirects are not followed: an answer that points elsewhere is a moved document,
    // whatever its body says.
    const int status = done->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const bool redirected = status >= 300 && status < 400;
    // The transfer may have ended before its size was looked at.
    const QByteArray body = done->read(MaxChangeLogSize + 1);
    if (done->error() == QNetworkReply::NoError && !redirected && body.size() <= MaxChangeLogSize) {
        QTextStream stream(body);
        const QString text = stream.readAll();
        if (!text.contains(QLatin1String("document has moved"))) {
            load(text);
            return;
        }
    }
    requestRemote(QString());
}

#include "ui/newsbanner.h"

#include "ui/urlclicklabel.h"

#include <QAbstractTextDocumentLayout>
#include <QCursor>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QRegExp>
#include <QTextDocument>
#include <QTimerEvent>

namespace {
const int ScrollInterval = 10;
const int PauseInterval = 3000;

// The news comes from the network, so nothing it names may be read: a path could be a device
// that never ends or a pipe that blocks the window for good. Every picture is a blank one
// (given none, Qt opens the named file itself), every style sheet empty.
class NewsDocument : public QTextDocument
{
public:
    using QTextDocument::QTextDocument;

protected:
    QVariant loadResource(int type, const QUrl& name) override
    {
        Q_UNUSED(name)
        if (type != ImageResource)
            return QVariant();
        QPixmap blank(1, 1);
        blank.fill(Qt::transparent);
        return blank;
    }
};
} // namespace

NewsBanner::NewsBanner(QWidget* parent)
    : QWidget(parent)
{
    setMinimumHeight(16);
    setMaximumHeight(16);
    setObjectName(QStringLiteral("NewsBanner"));
    document = new NewsDocument(this);
}

NewsBanner::~NewsBanner()
{
    if (timer.isActive())
        timer.stop();
}

void NewsBanner::setNews(const QString& html)
{
    defaultUrl.clear();
    // QRegExp, not QRegularExpression: its "." also matches line breaks, so a comment may
    // span lines; greedy, it runs from the first "<!--" to the last "-->".
    QRegExp comment(QStringLiteral("<!--(.+)-->"));
    if (comment.indexIn(html) != -1) {
        const QString captured = comment.cap(1);
        const int equals = captured.indexOf(QLatin1Char('='));
        if (equals != -1 && captured.left(equals) == QLatin1String("URL"))
            defaultUrl = captured.mid(equals + 1);
    }

    document->setHtml(html);
    document->setDocumentMargin(0);
    scrollX = width() - 10;
    paused = false;
    textWidth = int(document->size().width());
    textHeight = int(document->size().height());
    setMinimumHeight(textHeight);
    setMaximumHeight(textHeight);
    timer.start(ScrollInterval, this);
}

QString NewsBanner::anchorAt(const QPoint& pos) const
{
    const QPointF point(int(pos.x() - scrollX), pos.y());
    return document->documentLayout()->anchorAt(point);
}

void NewsBanner::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != timer.timerId()) {
        QWidget::timerEvent(event);
        return;
    }
    if (paused) {
        paused = false;
        timer.start(ScrollInterval, this);
    }
    scrollX -= 0.5f;
    update();
}

void NewsBanner::mousePressEvent(QMouseEvent* event)
{
    const QString anchor = anchorAt(event->pos());
    openWebAddress(anchor.isEmpty() ? defaultUrl : anchor);
    event->accept();
}

void NewsBanner::paintEvent(QPaintEvent* event)
{
    Q_UNUSED(event)
    if (paused)
        return;
    // The widget may have become narrower than the starting point.
    if (int(scrollX) > width())
        scrollX = width() - 10;

    QPainter painter(this);
    painter.translate(scrollX, (height() - textHeight) * 0.5);
    document->drawContents(&painter);

    if (int(scrollX) + textWidth < -10) {
        scrollX = width() - 10;
        paused = true;
        timer.start(PauseInterval, this);
    }

    const QString anchor = anchorAt(mapFromGlobal(QCursor::pos()));
    setCursor(anchor.isEmpty() ? Qt::ArrowCursor : Qt::PointingHandCursor);
}

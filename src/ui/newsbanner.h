#ifndef NEWSBANNER_H
#define NEWSBANNER_H

#include <QBasicTimer>
#include <QString>
#include <QWidget>

class QTextDocument;

// A one-line news ticker: the news text (HTML) scrolls from right to left at 50 pixels a
// second, with a pause of 3000 ms between two passes. A click opens the link under the
// pointer in the browser, or else the default address that the text may name in a comment
// "<!--URL=address-->", if it is a web address. Pictures of the text are left blank.
class NewsBanner : public QWidget
{
public:
    // Idle and 16 pixels high until setNews() is called.
    explicit NewsBanner(QWidget* parent = nullptr);
    ~NewsBanner() override;

    // Replaces the text, takes its default address (or none), makes the widget exactly as
    // high as the text and starts a new pass 10 pixels inside the right edge, ending a
    // running pause at once.
    void setNews(const QString& html);
    // The link target of the text under pos (widget coordinates); empty when there is none.
    QString anchorAt(const QPoint& pos) const;

    // The address opened by a click that hits no link; empty when the text names none.
    QString getDefaultUrl() const { return defaultUrl; }
    // Where the left edge of the text is drawn, in widget coordinates.
    float getScrollX() const { return scrollX; }
    int getTextWidth() const { return textWidth; }
    int getTextHeight() const { return textHeight; }
    bool isPaused() const { return paused; }

protected:
    void timerEvent(QTimerEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QBasicTimer timer;
    QTextDocument* document = nullptr;
    float scrollX = 0;
    int textWidth = 0;
    int textHeight = 0;
    bool paused = false;
    QString defaultUrl;
};

#endif // NEWSBANNER_H

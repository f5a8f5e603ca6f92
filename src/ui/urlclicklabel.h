#ifndef URLCLICKLABEL_H
#define URLCLICKLABEL_H

#include <QLabel>
#include <QString>

class QMouseEvent;

// Hands an http or https address to the browser and ignores any other (see isWebAddress):
// the addresses come from the network.
void openWebAddress(const QString& address);

// A label (picture or text) that opens a fixed address in the user's browser when clicked.
class UrlClickLabel : public QLabel
{
public:
    // No address yet; a click before setUrl() opens nothing.
    explicit UrlClickLabel(QWidget* parent = nullptr);

    // Stores the address opened by a click; changes nothing else (no tool tip, no cursor).
    void setUrl(const QString& url);
    QString getUrl() const { return url; }

protected:
    // Every press, with any button, opens the address (a web address only, see
    // openWebAddress); the label's own handling is skipped.
    void mousePressEvent(QMouseEvent* event) override;

private:
    QString url;
};

#endif // URLCLICKLABEL_H

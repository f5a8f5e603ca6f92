#ifndef MESSAGEBOXANSWERER_H
#define MESSAGEBOXANSWERER_H

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QStringList>
#include <QTimer>

// Answers modal message boxes from a timer while code under test blocks in their exec():
// each box that appears is recorded (title and text) and gets the next button of the list.
// Boxes beyond the list are closed as a user closes a window, which gives the box's escape
// answer (Abort for a Retry/Abort box), so a test never hangs on one.
class MessageBoxAnswerer : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(MessageBoxAnswerer)

public:
    explicit MessageBoxAnswerer(const QList<QMessageBox::StandardButton>& answers,
                                QObject* parent = nullptr);

    struct Seen
    {
        QString title;
        QString text;
        QMessageBox::StandardButtons buttons;
        bool hadParent = false;
    };
    // The boxes answered so far, in order.
    QList<Seen> seen;

private:
    void onPoll();

    QList<QMessageBox::StandardButton> answers;
    QTimer poll;
};

#endif // MESSAGEBOXANSWERER_H

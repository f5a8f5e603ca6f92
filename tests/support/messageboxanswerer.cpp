#include "support/messageboxanswerer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QPushButton>

MessageBoxAnswerer::MessageBoxAnswerer(const QList<QMessageBox::StandardButton>& answers,
                                       QObject* parent)
    : QObject(parent)
    , answers(answers)
{
    connect(&poll, &QTimer::timeout, this, &MessageBoxAnswerer::onPoll);
    poll.start(20);
}

void MessageBoxAnswerer::onPoll()
{
    QMessageBox* box = nullptr;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* candidate = qobject_cast<QMessageBox*>(widget);
        if (candidate && candidate->isVisible() && !candidate->property("answered").toBool())
            box = candidate;
    }
    if (!box)
        return;
    box->setProperty("answered", true);

    Seen record;
    record.title = box->windowTitle();
    record.text = box->text();
    record.buttons = box->standardButtons();
    record.hadParent = box->parentWidget() != nullptr;
    seen.append(record);

    QAbstractButton* button = answers.isEmpty() ? nullptr : box->button(answers.takeFirst());
    if (button) {
        button->click();
        return;
    }
    // A plain reject() makes the static boxes answer NoButton, which a Retry/Abort loop
    // takes for Retry; closing gives the escape button's answer.
    box->close();
    if (box->isVisible())
        box->reject();
}

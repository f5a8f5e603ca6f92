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

    if (answers.isEmpty()) {
        box->reject();
        return;
    }
    QAbstractButton* button = box->button(answers.takeFirst());
    if (button)
        button->click();
    else
        box->reject();
}

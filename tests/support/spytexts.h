#ifndef SPYTEXTS_H
#define SPYTEXTS_H

#include <QSignalSpy>
#include <QStringList>

// The first argument of every emission a spy recorded, as text, in the order emitted: the
// lines a task sent through message or error.
QStringList spyTexts(const QSignalSpy& spy);

#endif // SPYTEXTS_H

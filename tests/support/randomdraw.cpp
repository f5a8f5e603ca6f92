#include "support/randomdraw.h"

#include <QtGlobal>

QT_WARNING_PUSH
QT_WARNING_DISABLE_DEPRECATED

void seedRandomDraw(unsigned int seed)
{
    qsrand(seed);
}

void seedNextDraw(int value, int modulo)
{
    for (unsigned int seed = 1;; ++seed) {
        qsrand(seed);
        if (qrand() % modulo == value) {
            qsrand(seed);
            return;
        }
    }
}

QT_WARNING_POP

#include "support/spytexts.h"

QStringList spyTexts(const QSignalSpy& spy)
{
    QStringList result;
    for (const QList<QVariant>& args : spy)
        result << args.at(0).toString();
    return result;
}

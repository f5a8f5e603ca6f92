#include "config/processtools.h"

#include "config/configuration.h"

#include <QCoreApplication>
#include <QProcess>

void ProcessTools::startQorClient()
{
    const QString command = QCoreApplication::applicationDirPath() + QLatin1Char('/') +
                            Configuration::getClientBinaryName();
    // The path is the program itself, not a command line to split: an application folder
    // with a space in its name must still start the client.
    QProcess::startDetached(command, QStringList());
}

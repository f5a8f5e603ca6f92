#ifndef PROBEAPPFOLDER_H
#define PROBEAPPFOLDER_H

#include <QMap>
#include <QStringList>
#include <QTemporaryDir>

// An application folder of its own for one test: a fresh temporary folder holding a copy of
// the configprobe program, so that "update.ini", the client start script and the command line
// are those of a real start of a program in that folder. The probe performs one operation of
// the configuration code, named by run(), and reports what it saw as key=value lines.
class ProbeAppFolder
{
public:
    struct Result
    {
        int exitCode = -1;
        QMap<QString, QString> values;
        QString output;
        QString errorOutput;
        QString value(const QString& key) const { return values.value(key); }
    };

    // folderName is the application folder's name inside the temporary folder. program, when
    // given, is copied in instead of the configprobe, under its own file name.
    explicit ProbeAppFolder(const QString& folderName = QStringLiteral("app"),
                            const QString& program = QString());
    Q_DISABLE_COPY(ProbeAppFolder)

    // False, with a reason in errorText(), when the probe cannot be copied in.
    bool isValid() const { return failure.isEmpty(); }
    QString errorText() const { return failure; }
    QString path() const { return folder; }
    QString updateIniPath() const { return folder + QStringLiteral("/update.ini"); }
    // The path of the copied program.
    QString programPath() const { return folder + QLatin1Char('/') + programName; }

    // Runs the probe with the operation (environment CONFIGPROBE_OP) and the command-line
    // arguments; extra environment entries go along. Waits at most 60 s.
    Result run(const QString& operation, const QStringList& arguments = QStringList(),
               const QMap<QString, QString>& environment = QMap<QString, QString>()) const;

private:
    QTemporaryDir temporary;
    QString folder;
    QString programName;
    QString failure;
};

#endif // PROBEAPPFOLDER_H

// A stand-in for the updater's program file in the configuration tests: it runs one operation
// of the configuration code as a program started from its own application folder would, and
// prints what it saw as key=value lines (values percent-encoded). Exit status 0 or 1 follows
// the operation's result.

#include "config/configuration.h"
#include "config/processtools.h"
#include "config/updateinidata.h"
#include "support/messageboxanswerer.h"

#include <QApplication>
#include <QTextStream>

namespace {

QTextStream& out()
{
    static QTextStream stream(stdout);
    return stream;
}

void print(const char* key, const QString& value)
{
    out() << key << '=' << QString::fromLatin1(value.toUtf8().toPercentEncoding()) << '\n';
}

void print(const char* key, int value)
{
    print(key, QString::number(value));
}

int parse()
{
    Configuration config;
    QStringList fatalErrors;
    QObject::connect(&config, &Configuration::fatalError,
                     [&fatalErrors](const QString& text) { fatalErrors.append(text); });
    // A box is recorded and closed, which gives up the query.
    MessageBoxAnswerer answerer({});

    config.getProxyAndDownloadConcurrency();
    const bool ok = config.parseCommandLineOptions();

    print("result", ok ? 1 : 0);
    print("noUserMode", config.noUserMode ? 1 : 0);
    print("updateChannel", int(config.updateChannel));
    print("clientType", config.clientType);
    print("clientVersion", config.clientVersion);
    print("clientVersionLabel", config.clientVersionLabel);
    print("news", config.news);
    print("proxy", config.proxy);
    print("downloadConcurrency", config.downloadConcurrency);
    print("fatalErrors", fatalErrors.size());
    print("fatalError", fatalErrors.join(QLatin1Char('|')));
    print("boxes", answerer.seen.size());
    if (!answerer.seen.isEmpty())
        print("boxText", answerer.seen.first().text);
    return ok ? 0 : 1;
}

int sessionGet()
{
    const QString nulls = QString::fromLocal8Bit(qgetenv("CONFIGPROBE_NULLS"));
    int version = -7;
    QString type = QStringLiteral("unset");
    QString dir = QStringLiteral("unset");
    const bool ok =
        UpdateIniData::get(nulls.contains(QLatin1String("version")) ? nullptr : &version,
                           nulls.contains(QLatin1String("type")) ? nullptr : &type,
                           nulls.contains(QLatin1String("dir")) ? nullptr : &dir);
    print("result", ok ? 1 : 0);
    print("version", version);
    print("type", type);
    print("dir", dir);
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const QByteArray operation = qgetenv("CONFIGPROBE_OP");
    const QStringList args = QCoreApplication::arguments();
    int status = 1;
    if (operation == "parse") {
        status = parse();
    } else if (operation == "session-get") {
        status = sessionGet();
    } else if (operation == "session-modify" && args.size() == 4) {
        UpdateIniData::modify(args.at(1).toInt(), args.at(2), args.at(3));
        status = 0;
    } else if (operation == "session-cleanup") {
        UpdateIniData::cleanup();
        status = 0;
    } else if (operation == "start-client") {
        ProcessTools::startQorClient();
        print("started", 1);
        status = 0;
    } else if (operation == "filename") {
        print("filename", UpdateIniData::filename());
        status = 0;
    } else {
        print("error", QStringLiteral("unknown operation"));
    }
    out().flush();
    return status;
}

#include "updateserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("update-server"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Answers the updater's version, news and banner queries over UDP."));
    parser.addHelpOption();
    const QCommandLineOption bindOption(QStringLiteral("bind"),
                                        QStringLiteral("Address to listen on (127.0.0.1)."),
                                        QStringLiteral("address"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption versionsOption(
        QStringLiteral("versions"),
        QStringLiteral("Reply to the version request: version#label entries for stable, beta and "
                       "alpha, separated by commas."),
        QStringLiteral("text"));
    const QCommandLineOption newsOption(QStringLiteral("news"),
                                        QStringLiteral("Reply to the news request."),
                                        QStringLiteral("text"));
    const QCommandLineOption bannerOption(
        QStringLiteral("banner"), QStringLiteral("Reply to the banner query: imageurl,clickurl."),
        QStringLiteral("text"));
    const QCommandLineOption versionPortOption(QStringLiteral("version-port"),
                                               QStringLiteral("Version and news port (17384)."),
                                               QStringLiteral("port"), QStringLiteral("17384"));
    const QCommandLineOption bannerPortOption(QStringLiteral("banner-port"),
                                              QStringLiteral("Banner port (2009)."),
                                              QStringLiteral("port"), QStringLiteral("2009"));
    parser.addOptions({bindOption, versionsOption, newsOption, bannerOption, versionPortOption,
                       bannerPortOption});
    parser.process(app);

    QTextStream err(stderr);
    const QHostAddress address(parser.value(bindOption));
    bool versionPortOk = false;
    bool bannerPortOk = false;
    const uint versionPort = parser.value(versionPortOption).toUInt(&versionPortOk);
    const uint bannerPort = parser.value(bannerPortOption).toUInt(&bannerPortOk);
    if (address.isNull() || !versionPortOk || !bannerPortOk || versionPort > 65535 ||
        bannerPort > 65535) {
        err << "update-server: invalid address or port\n";
        return 1;
    }

    UpdateServer server;
    server.versionReply = parser.value(versionsOption).toLatin1();
    server.newsReply = parser.value(newsOption).toLatin1();
    server.bannerReply = parser.value(bannerOption).toLatin1();
    if (!server.listen(address, quint16(versionPort), quint16(bannerPort))) {
        err << "update-server: cannot listen on " << address.toString() << ", "
            << server.errorString() << "\n";
        return 1;
    }
    // A line on stdout tells a waiting test that both ports are bound.
    QTextStream(stdout) << "listening on " << address.toString() << " ports " << versionPort
                        << " and " << bannerPort << Qt::endl;
    return app.exec();
}

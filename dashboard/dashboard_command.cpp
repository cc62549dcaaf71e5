// The dashboard command: options, the token, and the server's event loop.
#include "dashboard/dashboard_command.h"

#include "dashboard/dashboard_server.h"

#include <QCoreApplication>
#include <QFile>
#include <QHostAddress>

#include <cstdio>

namespace brimwell::dashboard {
namespace {

const char* usage() {
    return "usage: brimwell dashboard [--records URL] [--listen ADDRESS:PORT] [--token-file FILE]\n"
           "  --records URL      the record store to show: sqlite:PATH or postgresql://USER@HOST/DB;\n"
           "                     default $BRIMWELL_RECORDS, else $XDG_DATA_HOME/brimwell/records.sqlite\n"
           "  --listen ADDRESS:PORT   where the page is served (default 127.0.0.1:8080; port 0: any free)\n"
           "  --token-file FILE  a file holding the token a browser must give (on its login form, or as\n"
           "                     \"Authorization: Bearer TOKEN\"); default $BRIMWELL_DASHBOARD_TOKEN.\n"
           "                     Needed on any address but loopback\n"
           "Read-only: the page shows each station's ports, the yield of today and the last failures,\n"
           "and updates itself every 2 s.\n";
}

int usageError(const QString& text) {
    std::fprintf(stderr, "brimwell dashboard: %s\n%s", qPrintable(text), usage());
    return 2;
}

} // namespace

int dashboardMain(int argc, char** argv) {
    int qtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    QCoreApplication app(qtArgc, qtArgv);

    QString url, listen = "127.0.0.1:8080", tokenFile;
    for (int i = 2; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (arg == "-h" || arg == "--help") {
            std::fputs(usage(), stdout);
            return 0;
        }
        if (arg != "--records" && arg != "--listen" && arg != "--token-file")
            return usageError("unknown option " + arg);
        if (i + 1 >= argc) return usageError(arg + " needs a value");
        (arg == "--records"  ? url
         : arg == "--listen" ? listen
                             : tokenFile) = QString::fromLocal8Bit(argv[++i]);
    }
    url = records::requestedStoreUrl(url);
    if (url.isEmpty()) url = "sqlite:" + records::defaultStorePath();
    QString error;
    const std::optional<records::StoreLocation> where = records::parseStoreLocation(url, error);
    if (!where) return usageError(error);

    const qsizetype colon = listen.lastIndexOf(':');
    bool portOk = false;
    const int port = listen.mid(colon + 1).toInt(&portOk);
    QString host = listen.left(std::max<qsizetype>(colon, 0));
    if (host.startsWith('[') && host.endsWith(']')) host = host.mid(1, host.size() - 2);
    const QHostAddress address(host);
    if (colon <= 0 || !portOk || port < 0 || port > 65535 || address.isNull())
        return usageError("--listen takes ADDRESS:PORT, such as 127.0.0.1:8080 or [::1]:8080");

    QByteArray token = qgetenv("BRIMWELL_DASHBOARD_TOKEN").trimmed();
    if (!tokenFile.isEmpty()) {
        QFile f(tokenFile);
        if (!f.open(QIODevice::ReadOnly))
            return usageError("cannot read the token file " + tokenFile + ": " + f.errorString());
        token = f.readAll().trimmed();
        if (token.isEmpty()) return usageError("the token file " + tokenFile + " is empty");
    }
    if (token.isEmpty() && !address.isLoopback())
        return usageError("on " + host +
                          " anyone who reaches the machine would see the line: give a token with "
                          "--token-file FILE or BRIMWELL_DASHBOARD_TOKEN, or listen on 127.0.0.1");

    DashboardServer server(*where, token);
    const quint16 bound = server.listen(address.toString(), static_cast<quint16>(port), error);
    if (bound == 0) {
        std::fprintf(stderr, "brimwell dashboard: %s\n", qPrintable(error));
        return 1;
    }
    const QString shown = address.protocol() == QAbstractSocket::IPv6Protocol ? "[" + host + "]" : host;
    std::printf("brimwell dashboard: %s on http://%s:%u/%s\n", qPrintable(where->url), qPrintable(shown),
                bound, token.isEmpty() ? "" : " (a token is needed)");
    std::fflush(stdout);
    return QCoreApplication::exec();
}

} // namespace brimwell::dashboard

#include "RedisBus.h"
#include "Registry.h"
#include "RendezvousServer.h"
#include "ServerLog.h"
#include "posix/SignalPipe.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QNetworkInterface>
#include <QStandardPaths>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

QString defaultDbPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/velmo-rendezvous/registry.sqlite3");
}

// The addresses other computers can reach a wildcard listener on (loopback left out).
QStringList reachableUrls(const QHostAddress &listen, quint16 port) {
    QStringList urls;
    const bool any4 = listen == QHostAddress::AnyIPv4 || listen == QHostAddress::Any;
    const bool any6 = listen == QHostAddress::AnyIPv6 || listen == QHostAddress::Any;
    for (const QHostAddress &a : QNetworkInterface::allAddresses()) {
        if (a.isLoopback() || a.isLinkLocal())
            continue;
        if (a.protocol() == QAbstractSocket::IPv4Protocol && any4)
            urls << QStringLiteral("%1:%2").arg(a.toString()).arg(port);
        else if (a.protocol() == QAbstractSocket::IPv6Protocol && any6)
            urls << QStringLiteral("[%1]:%2").arg(a.toString()).arg(port);
    }
    return urls;
}

void fail(const QString &text) {
    std::fprintf(stderr, "velmo-rendezvous: %s\n", qPrintable(text));
    std::exit(2);
}

double number(const QCommandLineParser &parser, const QCommandLineOption &option, double min, double max) {
    bool ok = false;
    const double v = parser.value(option).toDouble(&ok);
    if (!ok || !(v >= min && v <= max))
        fail(QStringLiteral("--%1 wants a number from %2 to %3").arg(option.names().constFirst()).arg(min).arg(max));
    return v;
}

// "90d", "12h", "30m", "45s" or plain seconds; 0 means never. -1 when malformed.
qint64 durationSecs(QString text) {
    text = text.trimmed().toLower();
    qint64 unit = 1;
    if (text.endsWith(u'd'))
        unit = 86400;
    else if (text.endsWith(u'h'))
        unit = 3600;
    else if (text.endsWith(u'm'))
        unit = 60;
    if (!text.isEmpty() && !text.back().isDigit())
        text.chop(1);
    bool ok = false;
    const qint64 v = text.toLongLong(&ok);
    return ok && v >= 0 && v <= 100LL * 365 * 86400 / unit ? v * unit : -1;
}

// Every option of the command line, added to the parser on construction.
struct CommandLine {
    explicit CommandLine(QCommandLineParser &parser) : parser(parser) {
        parser.setApplicationDescription(
            QStringLiteral("Rendezvous server of Velmo Remote: device registry, REST and WebSocket signaling."));
        parser.addHelpOption();
        parser.addVersionOption();
        parser.addOptions({listen,
                           admin,
                           db,
                           stun,
                           turn,
                           turnSecret,
                           turnTtl,
                           ping,
                           requestTimeout,
                           maxConnections,
                           maxPerAddress,
                           lookupRate,
                           socketLookupRate,
                           signalRate,
                           registerRate,
                           routesPerAddress,
                           expireAfter,
                           thumbBudget,
                           tlsCert,
                           tlsKey,
                           bus});
    }

    QCommandLineParser &parser;
    const QCommandLineOption listen{QStringLiteral("listen"), QStringLiteral("Address and port (port 0: any free)."),
                                    QStringLiteral("addr:port"), QStringLiteral("127.0.0.1:8787")};
    const QCommandLineOption admin{QStringLiteral("admin-token"),
                                   QStringLiteral("Token for listing and deleting devices (or VELMO_ADMIN_TOKEN)."),
                                   QStringLiteral("token")};
    const QCommandLineOption db{
        QStringLiteral("db"),
        QStringLiteral("SQLite registry file (:memory: keeps nothing), or postgresql://… shared by several instances."),
        QStringLiteral("path|url"), defaultDbPath()};
    const QCommandLineOption bus{
        QStringLiteral("bus"), QStringLiteral("Redis shared by several instances: redis://HOST:PORT or unix:///PATH."),
        QStringLiteral("url")};
    const QCommandLineOption stun{QStringLiteral("stun"), QStringLiteral("STUN URL handed out (repeatable)."),
                                  QStringLiteral("url")};
    const QCommandLineOption turn{QStringLiteral("turn"), QStringLiteral("TURN URL handed out (repeatable)."),
                                  QStringLiteral("url")};
    const QCommandLineOption turnSecret{QStringLiteral("turn-secret"),
                                        QStringLiteral("TURN shared secret (or VELMO_TURN_SECRET)."),
                                        QStringLiteral("secret")};
    const QCommandLineOption turnTtl{QStringLiteral("turn-ttl"), QStringLiteral("TURN credential lifetime."),
                                     QStringLiteral("seconds"), QStringLiteral("86400")};
    const QCommandLineOption ping{QStringLiteral("ping-interval"),
                                  QStringLiteral("Seconds between pings; three silent intervals close a socket."),
                                  QStringLiteral("seconds"), QStringLiteral("20")};
    const QCommandLineOption tlsCert{QStringLiteral("tls-cert"),
                                     QStringLiteral("PEM certificate (chain) to serve HTTPS and WSS with."),
                                     QStringLiteral("file")};
    const QCommandLineOption tlsKey{QStringLiteral("tls-key"), QStringLiteral("PEM private key of --tls-cert."),
                                    QStringLiteral("file")};
    const QCommandLineOption requestTimeout{
        QStringLiteral("request-timeout"),
        QStringLiteral("Seconds a client has to send a whole HTTP request (header and body)."),
        QStringLiteral("seconds"), QStringLiteral("10")};
    const QCommandLineOption maxConnections{
        QStringLiteral("max-connections"),
        QStringLiteral("Open connections in all (0: the descriptor limit less a reserve)."), QStringLiteral("n"),
        QStringLiteral("0")};
    const QCommandLineOption maxPerAddress{QStringLiteral("max-connections-per-address"),
                                           QStringLiteral("Open connections from one client address (0: no cap)."),
                                           QStringLiteral("n"), QStringLiteral("256")};
    const QCommandLineOption lookupRate{
        QStringLiteral("lookup-rate"),
        QStringLiteral("Device look-ups per second from one address (REST and new connect targets)."),
        QStringLiteral("n"), QStringLiteral("20")};
    const QCommandLineOption socketLookupRate{QStringLiteral("socket-lookup-rate"),
                                              QStringLiteral("New connect targets per second on one viewer socket."),
                                              QStringLiteral("n"), QStringLiteral("2")};
    const QCommandLineOption signalRate{QStringLiteral("signal-rate"),
                                        QStringLiteral("Messages per second on one viewer socket."),
                                        QStringLiteral("n"), QStringLiteral("50")};
    const QCommandLineOption registerRate{QStringLiteral("register-rate"),
                                          QStringLiteral("Device registrations per minute from one address."),
                                          QStringLiteral("n"), QStringLiteral("60")};
    const QCommandLineOption routesPerAddress{QStringLiteral("max-routes-per-address"),
                                              QStringLiteral("Open sessions of all viewers at one address."),
                                              QStringLiteral("n"), QStringLiteral("1024")};
    const QCommandLineOption expireAfter{
        QStringLiteral("expire-after"),
        QStringLiteral("Delete devices not seen for this long (e.g. 90d, 12h, 30m, 45s; 0: never)."),
        QStringLiteral("duration"), QStringLiteral("90d")};
    const QCommandLineOption thumbBudget{QStringLiteral("thumb-budget"),
                                         QStringLiteral("MiB for all thumbnails together (0: no budget)."),
                                         QStringLiteral("mib"), QStringLiteral("64")};
};

// --listen: the address and port into `options`; the host as given, for the "listening" line.
QString listenAddress(const CommandLine &cl, RendezvousServer::Options &options) {
    const QString listenValue = cl.parser.value(cl.listen);
    const qsizetype colon = listenValue.lastIndexOf(u':');
    bool portOk = false;
    const uint port = listenValue.mid(colon + 1).toUInt(&portOk);
    QString host = listenValue.left(colon);
    if (host.startsWith(u'[') && host.endsWith(u']'))
        host = host.mid(1, host.size() - 2);
    if (host == u"localhost")
        host = QStringLiteral("127.0.0.1");
    if (colon < 0 || !portOk || port > 65535 || !options.address.setAddress(host))
        fail(QStringLiteral("--listen wants ADDRESS:PORT, e.g. 127.0.0.1:8787"));
    options.port = quint16(port);
    return host;
}

// The administrator token and what the server hands out for ICE.
void credentials(const CommandLine &cl, RendezvousServer::Options &options) {
    const QCommandLineParser &parser = cl.parser;
    options.adminToken = parser.isSet(cl.admin) ? parser.value(cl.admin) : qEnvironmentVariable("VELMO_ADMIN_TOKEN");
    options.adminToken = options.adminToken.trimmed();
    options.stunUrls = parser.values(cl.stun);
    options.turnUrls = parser.values(cl.turn);
    options.turnSecret =
        parser.isSet(cl.turnSecret) ? parser.value(cl.turnSecret) : qEnvironmentVariable("VELMO_TURN_SECRET");
    bool ttlOk = false;
    options.turnTtlSeconds = parser.value(cl.turnTtl).toLongLong(&ttlOk);
    if (!ttlOk || options.turnTtlSeconds <= 0 || options.turnTtlSeconds > 10LL * 365 * 86400)
        fail(QStringLiteral("--turn-ttl wants a positive number of seconds"));
}

// --tls-cert and --tls-key, both or neither.
void tls(const CommandLine &cl, RendezvousServer::Options &options) {
    if (cl.parser.isSet(cl.tlsCert) != cl.parser.isSet(cl.tlsKey))
        fail(QStringLiteral("--tls-cert and --tls-key go together"));
    if (!cl.parser.isSet(cl.tlsCert))
        return;
    Result<QSslConfiguration> loaded = TlsTcpServer::loadPem(cl.parser.value(cl.tlsCert), cl.parser.value(cl.tlsKey));
    if (!loaded.ok())
        fail(loaded.error.message);
    options.tls = std::move(*loaded.value);
}

// Pings, time-outs, connection caps, rates, expiry and the thumbnail budget.
void limits(const CommandLine &cl, RendezvousServer::Options &options) {
    const QCommandLineParser &parser = cl.parser;
    bool pingOk = false;
    const int pingSeconds = parser.value(cl.ping).toInt(&pingOk);
    if (!pingOk || pingSeconds < 1 || pingSeconds > 3600)
        fail(QStringLiteral("--ping-interval wants 1 to 3600 seconds"));
    options.pingIntervalMs = pingSeconds * 1000;
    options.http.requestTimeoutMs = int(number(parser, cl.requestTimeout, 1, 3600) * 1000);
    options.http.maxConnections = int(number(parser, cl.maxConnections, 0, 1 << 20));
    options.http.maxConnectionsPerAddress = int(number(parser, cl.maxPerAddress, 0, 1 << 20));
    options.lookupRate = number(parser, cl.lookupRate, 0.01, 1e6);
    options.lookupBurst = options.lookupRate * 6;
    options.socketLookupRate = number(parser, cl.socketLookupRate, 0.01, 1e6);
    options.socketLookupBurst = options.socketLookupRate * 10;
    options.signalRate = number(parser, cl.signalRate, 0.01, 1e6);
    options.signalBurst = options.signalRate * 4;
    options.addressSignalRate = options.signalRate * 4;
    options.addressSignalBurst = options.signalRate * 20;
    options.registerBurst = number(parser, cl.registerRate, 0.01, 1e6);
    options.registerRate = options.registerBurst / 60.0;
    options.maxRoutesPerAddress = int(number(parser, cl.routesPerAddress, 1, 1 << 24));
    options.expireAfterSecs = durationSecs(parser.value(cl.expireAfter));
    if (options.expireAfterSecs < 0)
        fail(QStringLiteral("--expire-after wants a duration such as 90d, 12h, 30m or 45s (0: never)"));
    options.thumbBudgetBytes = qint64(number(parser, cl.thumbBudget, 0, 1 << 20) * 1024 * 1024);
}

// --db: an SQLite file (its folder made when missing) or a PostgreSQL URL.
std::unique_ptr<Registry> openRegistry(const CommandLine &cl) {
    const QString dbPath = cl.parser.value(cl.db);
    const bool sqlite = !dbPath.startsWith(u"postgresql://") && !dbPath.startsWith(u"postgres://");
    if (sqlite && dbPath != u":memory:")
        QDir().mkpath(QFileInfo(dbPath).absolutePath());
    Result<std::unique_ptr<Registry>> registry = Registry::open(dbPath);
    if (!registry.ok())
        fail(QStringLiteral("cannot open %1: %2")
                 .arg(sqlite ? dbPath : QStringLiteral("the PostgreSQL registry"), registry.error.message));
    return std::move(*registry.value);
}

// --bus: the Redis that instances share, or none.
std::unique_ptr<MessageBus> openBus(const CommandLine &cl) {
    if (!cl.parser.isSet(cl.bus))
        return nullptr;
    const Result<RedisConnection::Address> address = RedisConnection::parseUrl(cl.parser.value(cl.bus));
    if (!address.ok())
        fail(QStringLiteral("--bus %1").arg(address.error.message));
    // Connects in the background; until it is up, devices on other instances look offline.
    auto redis = std::make_unique<RedisBus>(*address.value);
    redis->start();
    return redis;
}

// The "listening" line (read by whoever started the server) and, on a wildcard
// address, the URLs to give other computers.
void announce(const RendezvousServer &server, const RendezvousServer::Options &options, const QString &host) {
    const QString shownHost =
        options.address.protocol() == QAbstractSocket::IPv6Protocol ? u'[' + host + u']' : options.address.toString();
    std::printf("velmo-rendezvous listening on %s:%u\n", qPrintable(shownHost), unsigned(server.port()));
    const bool wildcard = options.address == QHostAddress::AnyIPv4 || options.address == QHostAddress::AnyIPv6 ||
                          options.address == QHostAddress::Any;
    if (wildcard) {
        const QString scheme = server.tls() ? QStringLiteral("https://") : QStringLiteral("http://");
        const QStringList urls = reachableUrls(options.address, server.port());
        if (urls.isEmpty())
            std::printf("velmo-rendezvous: no network address found; other computers cannot reach this server\n");
        for (const QString &u : urls)
            std::printf("velmo-rendezvous: server URL for other computers: %s%s\n", qPrintable(scheme), qPrintable(u));
    }
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    ServerLog::install();
    QCoreApplication::setApplicationName(QStringLiteral("velmo-rendezvous"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELMO_VERSION));
    std::signal(SIGPIPE, SIG_IGN);

    QCommandLineParser parser;
    const CommandLine cl(parser);
    parser.process(app);
    // Installed before anything can print the "listening" line: a SIGTERM sent the
    // moment that line is read must end the server cleanly.
    SignalPipe signalPipe({SIGINT, SIGTERM});
    QObject::connect(&signalPipe, &SignalPipe::received, &app, &QCoreApplication::quit);

    RendezvousServer::Options options;
    const QString host = listenAddress(cl, options);
    credentials(cl, options);
    tls(cl, options);
    limits(cl, options);
    // Connections are capped below the descriptor limit; let that limit be as high as allowed.
    HttpServer::raiseDescriptorLimit();

    RendezvousServer server(openRegistry(cl), options, openBus(cl));
    if (!server.listen())
        fail(QStringLiteral("cannot listen on %1").arg(parser.value(cl.listen)));
    announce(server, options, host);
    return app.exec();
}

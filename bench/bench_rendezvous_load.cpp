// velmo-rendezvous under hostile load, bounded and on 127.0.0.1 only. Prints:
//  - memory per idle registered device socket, and the sockets one instance may hold;
//  - relay round trip p50/p99 of one viewer, alone and while another viewer floods;
//  - for each attack, how the server fares during it and how long it takes to serve
//    normally again once it stops;
//  - with PostgreSQL and Redis at hand (run through scripts/with-test-env.sh with
//    VELMO_TEST_POSTGRES=1 VELMO_TEST_REDIS=1), N devices and N viewers against one and two
//    instances: sockets per instance, memory per socket, relay p50/p99 idle and loaded,
//    round trips per second and server CPU per round trip, and the ratios against one
//    instance measured in the same run.
// Usage: bench_rendezvous_load [--cluster-only] [path to velmo-rendezvous] [idle devices] [cluster pairs]
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QWebSocket>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

namespace {

bool spin(const std::function<bool()> &cond, int ms = 10000) {
    QElapsedTimer t;
    t.start();
    while (!cond() && t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return cond();
}

double percentile(QList<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? 0 : v[qMin(v.size() - 1, qsizetype(p * double(v.size())))];
}

QByteArray compact(const QJsonObject &o) {
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

// A client-to-server text frame, masked with a zero key.
QByteArray frame(const QByteArray &text) {
    QByteArray f("\x81", 1);
    if (text.size() < 126) {
        f.append(char(0x80 | text.size()));
    } else if (text.size() < 65536) {
        f.append(char(0x80 | 126));
        f.append(char((text.size() >> 8) & 0xff));
        f.append(char(text.size() & 0xff));
    } else {
        f.append(char(0x80 | 127));
        for (int i = 7; i >= 0; --i)
            f.append(char((quint64(text.size()) >> (8 * i)) & 0xff));
    }
    f.append(QByteArray(4, '\0'));
    return f + text;
}

const QByteArray upgradeHead =
    "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
    "Sec-WebSocket-Version: 13\r\nHost: 127.0.0.1\r\n\r\n";

// User and system CPU time of a process so far, in milliseconds.
double cpuMsOf(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray stat = f.readAll();
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 12 ? (fields[11].toDouble() + fields[12].toDouble()) * 1000.0 / double(sysconf(_SC_CLK_TCK))
                              : 0;
}

class Server {
public:
    Server(const QString &binary, const QStringList &args) {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        const QStringList db = args.contains("--db") ? QStringList() : QStringList{"--db", m_dir.path() + "/r.sqlite3"};
        m_process.start(binary, QStringList{"--listen", "127.0.0.1:0"} + db + args);
        if (!m_process.waitForStarted(5000) || !m_process.waitForReadyRead(5000))
            return;
        const auto m = QRegularExpression("listening on 127\\.0\\.0\\.1:(\\d+)").match(m_process.readLine());
        port = quint16(m.captured(1).toUInt());
    }
    ~Server() {
        m_process.terminate();
        m_process.waitForFinished(5000);
    }
    qint64 rssKiB() const {
        QFile f(QStringLiteral("/proc/%1/status").arg(m_process.processId()));
        f.open(QIODevice::ReadOnly);
        const auto m = QRegularExpression("VmRSS:\\s+(\\d+)").match(QString::fromLatin1(f.readAll()));
        return m.captured(1).toLongLong();
    }
    // User and system CPU time so far.
    double cpuMs() const { return cpuMsOf(m_process.processId()); }
    qint64 openFilesLimit() const {
        QFile f(QStringLiteral("/proc/%1/limits").arg(m_process.processId()));
        f.open(QIODevice::ReadOnly);
        const auto m = QRegularExpression("Max open files\\s+(\\d+)").match(QString::fromLatin1(f.readAll()));
        return m.captured(1).toLongLong();
    }
    QString ws(const char *path) const { return QStringLiteral("ws://127.0.0.1:%1%2").arg(port).arg(path); }
    quint16 port = 0;

private:
    QTemporaryDir m_dir;
    QProcess m_process;
};

// One HTTP GET on a fresh connection: the status, 0 when none came within `ms`.
int restGet(quint16 port, const QByteArray &path, int ms = 5000) {
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(ms))
        return 0;
    s.write("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QByteArray in;
    spin([&] { return (in += s.readAll()).contains("\r\n") || s.state() != QAbstractSocket::ConnectedState; }, ms);
    in += s.readAll();
    return in.startsWith("HTTP/1.1 ") ? in.mid(9, 3).toInt() : 0;
}

// The WebSockets an instance holds, as its /healthz counts them (devices online and viewers).
int socketsHeld(quint16 port) {
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(5000))
        return -1;
    s.write("GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QByteArray in;
    spin([&] { return (in += s.readAll()).contains("}") || s.state() != QAbstractSocket::ConnectedState; }, 5000);
    const QJsonObject o = QJsonDocument::fromJson(in.mid(in.indexOf("\r\n\r\n") + 4)).object();
    return o.value("devicesOnline").toInt() + o.value("viewers").toInt();
}

// A raw device socket: upgrade, register, then only reads when asked to.
std::unique_ptr<QTcpSocket> rawDevice(quint16 port, const QString &secret, QString *id) {
    auto s = std::make_unique<QTcpSocket>();
    s->connectToHost(QHostAddress::LocalHost, port);
    if (!s->waitForConnected(5000))
        return nullptr;
    s->write("GET /ws/device HTTP/1.1\r\n" + upgradeHead);
    QByteArray in;
    if (!spin([&] { return (in += s->readAll()).contains("\r\n\r\n"); }, 5000))
        return nullptr;
    s->write(frame(compact({{"type", "register"}, {"secret", secret}, {"name", "Bench"}})));
    spin([&] { return (in += s->readAll()).contains("registered") || in.contains("\"error\""); }, 5000);
    if (!in.contains("registered"))
        return nullptr;
    if (id)
        *id = QRegularExpression("\"id\":\"(\\d{9})\"").match(QString::fromLatin1(in)).captured(1);
    return s;
}

// A measuring viewer and an echoing device on one server.
struct RelayPair {
    QWebSocket device, viewer;
    QString deviceId;
    int got = 0;
    bool ok = false;

    explicit RelayPair(const Server &server) {
        QObject::connect(&device, &QWebSocket::textMessageReceived, &device, [this](const QString &t) {
            const QJsonObject o = QJsonDocument::fromJson(t.toUtf8()).object();
            if (o["type"] == "registered")
                deviceId = o["id"].toString();
            else if (o["type"] == "ice" || o["type"] == "connect")
                device.sendTextMessage(QString::fromUtf8(compact(
                    {{"type", o["type"] == "ice" ? "ice" : "answer"}, {"sid", o["sid"]}, {"payload", o["payload"]}})));
        });
        QObject::connect(&device, &QWebSocket::connected, &device, [this] {
            device.sendTextMessage(R"({"type":"register","secret":"bench-measured-device-01","name":"Bench"})");
        });
        QObject::connect(&viewer, &QWebSocket::textMessageReceived, &viewer, [this](const QString &) { ++got; });
        device.open(QUrl(server.ws("/ws/device")));
        viewer.open(QUrl(server.ws("/ws/viewer")));
        ok = spin([&] { return !deviceId.isEmpty() && got >= 1; }); // registered, hello
        if (ok) {
            viewer.sendTextMessage(QString::fromUtf8(compact(
                {{"type", "connect"}, {"to", deviceId}, {"sid", "m1"}, {"payload", QJsonObject{{"sdp", "x"}}}})));
            ok = spin([&] { return got >= 2; });
        }
    }
    // Round trips of "ice" in microseconds, one every `gapMs`.
    QList<double> measure(int rounds, int gapMs) {
        QList<double> out;
        const QString ice = QString::fromUtf8(
            compact({{"type", "ice"}, {"to", deviceId}, {"sid", "m1"}, {"payload", QJsonObject{{"candidate", "c"}}}}));
        for (int i = 0; i < rounds; ++i) {
            QElapsedTimer t;
            t.start();
            const int before = got;
            viewer.sendTextMessage(ice);
            if (!spin([&] { return got > before; }, 5000)) {
                std::printf("  (the measuring viewer got no answer within 5 s)\n");
                break;
            }
            out.append(double(t.nsecsElapsed()) / 1000.0);
            if (gapMs > 0)
                spin([] { return false; }, gapMs);
        }
        return out;
    }
};

// A fresh database on the test environment's PostgreSQL; empty when there is none.
QString createDatabase() {
    const QString url = qEnvironmentVariable("VELMO_TEST_PG_URL");
    if (url.isEmpty())
        return {};
    static int count = 0;
    const QString name = QStringLiteral("bench%1_%2").arg(QCoreApplication::applicationPid()).arg(++count);
    QProcess createdb;
    createdb.start(qEnvironmentVariable("VELMO_TEST_PG_BIN") + "/createdb",
                   {"-h", qEnvironmentVariable("VELMO_TEST_PG_HOST"), "-U", "velmo", name});
    if (!createdb.waitForFinished(30000) || createdb.exitCode() != 0)
        return {};
    return QString(url).replace(":///velmo?", ":///" + name + "?");
}

// N devices that answer every offer and echo every candidate, and N viewers with one
// session each, spread over the instances given.
struct Fleet {
    struct Pair {
        std::unique_ptr<QWebSocket> device, viewer;
        QString deviceId;
        QString ice;
        bool greeted = false;
        bool answered = false;
        std::deque<qint64> sent; // send times of the candidates in flight, in order
    };
    std::vector<Pair> pairs;
    QList<double> rtts; // microseconds
    qint64 roundTrips = 0;
    int window = 0; // candidates kept in flight per session under load; 0: one at a time on demand

    Fleet(const std::vector<std::unique_ptr<Server>> &servers, int n, bool crossInstances, const QString &tag) {
        pairs.resize(size_t(n));
        const size_t k = servers.size();
        for (size_t i = 0; i < pairs.size(); ++i) {
            Pair &p = pairs[i];
            p.device = std::make_unique<QWebSocket>();
            p.viewer = std::make_unique<QWebSocket>();
            QWebSocket *device = p.device.get();
            QObject::connect(device, &QWebSocket::textMessageReceived, device, [&p, device](const QString &t) {
                const QJsonObject o = QJsonDocument::fromJson(t.toUtf8()).object();
                if (o["type"] == "registered")
                    p.deviceId = o["id"].toString();
                else if (o["type"] == "ice" || o["type"] == "connect")
                    device->sendTextMessage(QString::fromUtf8(compact({{"type", o["type"] == "ice" ? "ice" : "answer"},
                                                                       {"sid", o["sid"]},
                                                                       {"payload", o["payload"]}})));
            });
            const QString secret = QStringLiteral("bench-%1-device-%2-xxxxxxxx").arg(tag).arg(i);
            QObject::connect(device, &QWebSocket::connected, device, [device, secret] {
                device->sendTextMessage(
                    QString::fromUtf8(compact({{"type", "register"}, {"secret", secret}, {"name", "Bench"}})));
            });
            QObject::connect(p.viewer.get(), &QWebSocket::textMessageReceived, p.viewer.get(),
                             [this, &p](const QString &t) {
                                 if (t.contains("\"hello\"")) {
                                     p.greeted = true;
                                 } else if (t.contains("\"answer\"")) {
                                     p.answered = true;
                                 } else if (t.contains("\"ice\"")) {
                                     if (!p.sent.empty()) {
                                         rtts.append(double(clock().nsecsElapsed() - p.sent.front()) / 1000.0);
                                         p.sent.pop_front();
                                     }
                                     ++roundTrips;
                                     if (window > 0)
                                         send(p);
                                 }
                             });
            device->open(QUrl(servers[i % k]->ws("/ws/device")));
            p.viewer->open(QUrl(servers[(i + (crossInstances ? 1 : 0)) % k]->ws("/ws/viewer")));
        }
    }
    bool ready() {
        if (!spin(
                [&] {
                    return std::all_of(pairs.begin(), pairs.end(),
                                       [](const Pair &p) { return !p.deviceId.isEmpty() && p.greeted; });
                },
                60000))
            return false;
        for (size_t i = 0; i < pairs.size(); ++i) {
            Pair &p = pairs[i];
            p.ice = QString::fromUtf8(compact(
                {{"type", "ice"}, {"to", p.deviceId}, {"sid", "b1"}, {"payload", QJsonObject{{"candidate", "c"}}}}));
            p.viewer->sendTextMessage(QString::fromUtf8(compact(
                {{"type", "connect"}, {"to", p.deviceId}, {"sid", "b1"}, {"payload", QJsonObject{{"sdp", "x"}}}})));
        }
        return spin([&] { return std::all_of(pairs.begin(), pairs.end(), [](const Pair &p) { return p.answered; }); },
                    60000);
    }
    static QElapsedTimer &clock() {
        static QElapsedTimer c = [] {
            QElapsedTimer t;
            t.start();
            return t;
        }();
        return c;
    }
    static void send(Pair &p) {
        p.sent.push_back(clock().nsecsElapsed());
        p.viewer->sendTextMessage(p.ice);
    }
};

QString serverBinary(const QStringList &args) {
    if (args.size() > 1)
        return args[1];
    return QFileInfo(QCoreApplication::applicationDirPath() + "/../../server/velmo-rendezvous").absoluteFilePath();
}

// Milliseconds until `ok` holds, polled every 10 ms (at most `ms`); -1 when never.
qint64 until(const std::function<bool()> &ok, int ms = 30000) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        if (ok())
            return t.elapsed();
        spin([] { return false; }, 10);
    }
    return -1;
}

} // namespace

void benchInstances(const QString &binary, int pairs);

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QStringList args = app.arguments();
    const bool clusterOnly = args.removeAll("--cluster-only") > 0;
    const QString binary = serverBinary(args);
    const int idleDevices = args.size() > 2 ? args[2].toInt() : 1000;
    const int clusterPairs = args.size() > 3 ? args[3].toInt() : 200;
    // This process holds one end of every connection.
    rlimit rl{};
    getrlimit(RLIMIT_NOFILE, &rl);
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);

    if (clusterOnly) {
        benchInstances(binary, clusterPairs);
        return 0;
    }
    // 1. Memory per idle device socket.
    {
        Server server(binary, {"--max-connections-per-address", "0", "--register-rate", "1000000"});
        if (!server.port) {
            std::fprintf(stderr, "cannot start %s\n", qPrintable(binary));
            return 1;
        }
        spin([] { return false; }, 300);
        const qint64 before = server.rssKiB();
        std::vector<std::unique_ptr<QTcpSocket>> devices;
        for (int i = 0; i < idleDevices; ++i) {
            auto d = rawDevice(server.port, QStringLiteral("bench-idle-device-%1-xxxxxxxx").arg(i), nullptr);
            if (!d)
                break;
            devices.push_back(std::move(d));
        }
        spin([] { return false; }, 500);
        const qint64 after = server.rssKiB();
        const double perSocket = devices.empty() ? 0 : double(after - before) * 1024.0 / double(devices.size());
        const qint64 limit = server.openFilesLimit();
        std::printf("idle registered device sockets: %zu held; server RSS %lld -> %lld KiB; %.1f KiB per socket\n",
                    devices.size(), before, after, perSocket / 1024.0);
        std::printf("  descriptor limit %lld; WebSocket cap 4096; 4096 sockets at this rate need ~%.0f MiB\n", limit,
                    perSocket * 4096 / 1048576.0);
    }

    // 2. Relay round trips, alone and during a flood from another viewer.
    auto relayUnderFlood = [&](const QStringList &serverArgs, const char *label, QList<double> *alone) {
        Server server(binary, serverArgs);
        RelayPair pair(server);
        if (!pair.ok)
            return;
        // Paced like a real viewer (about 40 messages a second), within its own limit.
        if (alone) {
            *alone = pair.measure(200, 25);
            std::printf("  %-34s p50 %8.1f us  p99 %8.1f us\n", "alone (baseline)", percentile(*alone, 0.5),
                        percentile(*alone, 0.99));
        }
        QWebSocket flood;
        int floodAnswers = 0;
        QObject::connect(&flood, &QWebSocket::textMessageReceived, &flood, [&](const QString &) { ++floodAnswers; });
        flood.open(QUrl(server.ws("/ws/viewer")));
        spin([&] { return floodAnswers >= 1; });
        flood.sendTextMessage(QString::fromUtf8(compact(
            {{"type", "connect"}, {"to", pair.deviceId}, {"sid", "f1"}, {"payload", QJsonObject{{"sdp", "x"}}}})));
        const QString ice = QString::fromUtf8(compact({{"type", "ice"},
                                                       {"to", pair.deviceId},
                                                       {"sid", "f1"},
                                                       {"payload", QJsonObject{{"candidate", QString(512, u'c')}}}}));
        // Bounded: 20,000 messages at most, sent in bursts between the measured round trips.
        int sent = 0;
        QList<double> during;
        while (sent < 20000 && during.size() < 400) {
            for (int i = 0; i < 200 && flood.state() == QAbstractSocket::ConnectedState; ++i, ++sent)
                flood.sendTextMessage(ice);
            if (flood.state() != QAbstractSocket::ConnectedState)
                sent += 200;
            during += pair.measure(1, 25);
        }
        std::printf("  %-34s p50 %8.1f us  p99 %8.1f us  (flood socket %s)\n", label, percentile(during, 0.5),
                    percentile(during, 0.99), flood.state() == QAbstractSocket::ConnectedState ? "open" : "closed");
        if (alone)
            std::printf("  ratio flood/alone (p50) %.2f\n",
                        percentile(during, 0.5) / qMax(1.0, percentile(*alone, 0.5)));
    };
    std::printf("relay round trip of one viewer while another floods \"ice\" (20,000 x 0.5 KiB at most):\n");
    QList<double> alone;
    relayUnderFlood({}, "with the default limits", &alone);
    relayUnderFlood({"--signal-rate", "1000000"}, "rate limits off", nullptr);

    // 3. Attacks and recovery.
    std::printf("attacks (bounded, one client address) and time to serve normally after each:\n");
    {
        Server server(binary, {});
        std::vector<std::unique_ptr<QTcpSocket>> idle;
        for (int i = 0; i < 2000; ++i) {
            auto s = std::make_unique<QTcpSocket>();
            s->connectToHost(QHostAddress::LocalHost, server.port);
            if (s->waitForConnected(1000))
                idle.push_back(std::move(s));
        }
        // Refused ones are closed by the server at once; let the closes arrive.
        int held = 0;
        spin(
            [&] {
                held = 0;
                for (auto &s : idle) {
                    s->readAll();
                    held += s->state() == QAbstractSocket::ConnectedState ? 1 : 0;
                }
                return held <= 256;
            },
            3000);
        QElapsedTimer t;
        t.start();
        const int during = restGet(server.port, "/api/v1/devices/123456789", 3000);
        std::printf("  2,000 idle connections: %d kept open by the server; a look-up from the same address "
                    "during: %d in %lld ms\n",
                    held, during, t.elapsed());
        idle.clear();
        std::printf("    after: served again in %lld ms\n",
                    until([&] { return restGet(server.port, "/api/v1/devices/123456789", 1000) == 404; }));
    }
    {
        Server server(binary, {"--request-timeout", "2"});
        std::vector<std::unique_ptr<QTcpSocket>> slow;
        for (int i = 0; i < 200; ++i) {
            auto s = std::make_unique<QTcpSocket>();
            s->connectToHost(QHostAddress::LocalHost, server.port);
            if (s->waitForConnected(1000)) {
                s->write("GET /api/v1/devices/123456789 HTTP/1.1\r\nX-Slow: ");
                slow.push_back(std::move(s));
            }
        }
        const qint64 cut = until(
            [&] {
                return std::all_of(slow.begin(), slow.end(),
                                   [](const auto &s) { return s->state() == QAbstractSocket::UnconnectedState; });
            },
            20000);
        std::printf("  200 slowloris headers (--request-timeout 2): all cut after %lld ms\n", cut);
    }
    {
        // The route table: refused "connect"s cost the same with 1,024 routes as with none.
        Server server(binary, {"--signal-rate", "1000000", "--socket-lookup-rate", "1000000", "--lookup-rate",
                               "1000000", "--max-routes-per-address", "1024", "--max-connections-per-address", "0"});
        RelayPair pair(server);
        auto refusedConnects = [&](int count) {
            QWebSocket v;
            int answers = 0;
            QObject::connect(&v, &QWebSocket::textMessageReceived, &v, [&](const QString &) { ++answers; });
            v.open(QUrl(server.ws("/ws/viewer")));
            spin([&] { return answers >= 1; });
            for (int i = 0; i < 32; ++i)
                v.sendTextMessage(QString::fromUtf8(compact({{"type", "connect"},
                                                             {"to", pair.deviceId},
                                                             {"sid", QStringLiteral("own%1").arg(i)},
                                                             {"payload", QJsonObject{{"sdp", "x"}}}})));
            spin([&] { return answers >= 1 + 32; });
            QElapsedTimer t;
            t.start();
            for (int i = 0; i < count; ++i)
                v.sendTextMessage(QString::fromUtf8(compact({{"type", "connect"},
                                                             {"to", pair.deviceId},
                                                             {"sid", QStringLiteral("r%1").arg(i)},
                                                             {"payload", QJsonObject{{"sdp", "x"}}}})));
            spin([&] { return answers >= 1 + 32 + count; }, 60000);
            return double(t.nsecsElapsed()) / 1e6;
        };
        const double few = refusedConnects(20000);
        std::vector<std::unique_ptr<QWebSocket>> holders;
        for (int s = 0; s < 31; ++s) {
            auto v = std::make_unique<QWebSocket>();
            v->open(QUrl(server.ws("/ws/viewer")));
            spin([&] { return v->state() == QAbstractSocket::ConnectedState; });
            for (int i = 0; i < 32; ++i)
                v->sendTextMessage(QString::fromUtf8(compact({{"type", "connect"},
                                                              {"to", pair.deviceId},
                                                              {"sid", QStringLiteral("h%1-%2").arg(s).arg(i)},
                                                              {"payload", QJsonObject{{"sdp", "x"}}}})));
            holders.push_back(std::move(v));
        }
        spin([] { return false; }, 500);
        const double many = refusedConnects(20000);
        QElapsedTimer t;
        t.start();
        const auto rt = pair.measure(1, 0);
        std::printf("  20,000 refused connects: %.0f ms with ~64 routes, %.0f ms with ~1,024 (ratio %.2f); "
                    "relay right after: %.1f ms\n",
                    few, many, many / qMax(1.0, few), rt.isEmpty() ? -1.0 : rt.first() / 1000.0);
    }
    {
        Server server(binary, {});
        int refusedAt = 0;
        QElapsedTimer t;
        t.start();
        for (int i = 0; i < 5000 && !refusedAt; ++i)
            if (restGet(server.port, QByteArray("/api/v1/devices/") + QByteArray::number(100000000 + i)) == 429)
                refusedAt = i + 1;
        std::printf("  look-up flood: 429 from look-up %d (after %lld ms); served again after %lld ms\n", refusedAt,
                    t.elapsed(), until([&] { return restGet(server.port, "/api/v1/devices/123456789") == 404; }));
    }
    {
        Server server(binary, {});
        int refusedAt = 0;
        std::vector<std::unique_ptr<QTcpSocket>> devices;
        for (int i = 0; i < 2000 && !refusedAt; ++i) {
            auto d = rawDevice(server.port, QStringLiteral("bench-throwaway-%1-xxxxxxxxxx").arg(i), nullptr);
            if (!d)
                refusedAt = i + 1;
            else
                devices.push_back(std::move(d));
        }
        devices.clear();
        std::printf("  registration flood: refused from registration %d; registering again after %lld ms\n", refusedAt,
                    until([&] { return rawDevice(server.port, "bench-after-flood-device-xx", nullptr) != nullptr; }));
    }
    {
        Server server(binary, {"--signal-rate", "1000000"});
        QString id;
        auto stalled = rawDevice(server.port, "bench-stalled-device-xxxxxx", &id);
        stalled->setReadBufferSize(1);
        QWebSocket flood;
        int errors = 0;
        QObject::connect(&flood, &QWebSocket::textMessageReceived, &flood,
                         [&](const QString &t) { errors += t.contains("\"error\"") ? 1 : 0; });
        flood.open(QUrl(server.ws("/ws/viewer")));
        spin([&] { return flood.state() == QAbstractSocket::ConnectedState; });
        flood.sendTextMessage(QString::fromUtf8(
            compact({{"type", "connect"}, {"to", id}, {"sid", "q1"}, {"payload", QJsonObject{{"sdp", "x"}}}})));
        const QString big = QString::fromUtf8(compact({{"type", "ice"},
                                                       {"to", id},
                                                       {"sid", "q1"},
                                                       {"payload", QJsonObject{{"candidate", QString(60000, u'c')}}}}));
        for (int i = 0; i < 400 && errors == 0; ++i) {
            flood.sendTextMessage(big);
            spin([] { return false; }, 2);
        }
        spin([&] { return errors > 0; }, 5000);
        const bool deviceKept = stalled->state() == QAbstractSocket::ConnectedState;
        stalled->setReadBufferSize(0);
        QByteArray drained;
        QWebSocket later;
        later.open(QUrl(server.ws("/ws/viewer")));
        spin([&] { return later.state() == QAbstractSocket::ConnectedState; });
        // An offer every 200 ms until one reaches the device (refused ones while its backlog drains).
        int tries = 0;
        QElapsedTimer lastTry;
        const qint64 back = until([&] {
            if (!lastTry.isValid() || lastTry.elapsed() >= 200) {
                lastTry.start();
                later.sendTextMessage(QString::fromUtf8(compact({{"type", "connect"},
                                                                 {"to", id},
                                                                 {"sid", QStringLiteral("late%1").arg(++tries)},
                                                                 {"payload", QJsonObject{{"sdp", "x"}}}})));
            }
            drained += stalled->readAll();
            if (drained.contains("\"late"))
                return true;
            drained = drained.right(64);
            return false;
        });
        std::printf("  device send-queue flood: viewer refused (%d errors), device %s; a new viewer's offer "
                    "reached it %lld ms after it read again\n",
                    errors, deviceKept ? "kept" : "DROPPED", back);
    }
    benchInstances(binary, clusterPairs);
    return 0;
}

// 4. One instance against two on a shared PostgreSQL and Redis.
void benchInstances(const QString &binary, int pairs) {
    if (!qEnvironmentVariableIsSet("VELMO_TEST_PG_URL") || !qEnvironmentVariableIsSet("VELMO_TEST_REDIS_URL")) {
        std::printf("several instances: skipped (run through scripts/with-test-env.sh with VELMO_TEST_POSTGRES=1 "
                    "VELMO_TEST_REDIS=1)\n");
        return;
    }
    const QStringList open{"--max-connections-per-address",
                           "0",
                           "--register-rate",
                           "1000000",
                           "--signal-rate",
                           "1000000",
                           "--lookup-rate",
                           "1000000",
                           "--socket-lookup-rate",
                           "1000000"};
    struct Row {
        const char *label;
        int instances;
        bool shared;
        bool cross;
        double throughput = 0;
    };
    std::vector<Row> rows{{"1 instance, SQLite (the default)", 1, false, false},
                          {"1 instance, PostgreSQL + Redis", 1, true, false},
                          {"2 instances, viewer beside its device", 2, true, false},
                          {"2 instances, every session crosses Redis", 2, true, true}};
    std::printf("%d devices and %d viewers (one session each), rate limits off; load: 4 candidates in flight per "
                "session for 3 s\n",
                pairs, pairs);
    std::printf("  %-42s %9s %8s %19s %10s %19s %9s %9s\n", "", "sockets/", "KiB/", "idle relay us", "round",
                "loaded us", "servers", "redis");
    std::printf("  %-42s %9s %8s %9s %9s %10s %9s %9s %9s %9s\n", "", "instance", "socket", "p50", "p99", "trips/s",
                "p50", "p99", "us/trip", "us/trip");
    int run = 0;
    for (Row &row : rows) {
        const QString db = row.shared ? createDatabase() : QString();
        if (row.shared && db.isEmpty()) {
            std::printf("  %-42s cannot create a database\n", row.label);
            continue;
        }
        std::vector<std::unique_ptr<Server>> servers;
        for (int i = 0; i < row.instances; ++i) {
            const QStringList shared =
                row.shared ? QStringList{"--db", db, "--bus", qEnvironmentVariable("VELMO_TEST_REDIS_URL")}
                           : QStringList();
            servers.push_back(std::make_unique<Server>(binary, open + shared));
            if (!servers.back()->port) {
                std::printf("  %-42s the server did not start\n", row.label);
                return;
            }
        }
        spin([] { return false; }, 500);
        std::vector<qint64> rssBefore;
        for (const auto &s : servers)
            rssBefore.push_back(s->rssKiB());
        Fleet fleet(servers, pairs, row.cross,
                    QStringLiteral("%1-%2").arg(QCoreApplication::applicationPid()).arg(++run));
        if (!fleet.ready()) {
            std::printf("  %-42s the fleet did not connect\n", row.label);
            continue;
        }
        spin([] { return false; }, 500);
        QStringList held;
        for (const auto &s : servers)
            held.append(QString::number(socketsHeld(s->port)));
        qint64 grown = 0;
        for (size_t i = 0; i < servers.size(); ++i)
            grown += servers[i]->rssKiB() - rssBefore[i];
        const double kibPerSocket = double(grown) / double(2 * pairs);

        // Idle: one candidate at a time, round the sessions, paced.
        fleet.rtts.clear();
        for (int i = 0; i < 300; ++i) {
            Fleet::Pair &p = fleet.pairs[size_t(i) % fleet.pairs.size()];
            const qint64 before = fleet.roundTrips;
            Fleet::send(p);
            spin([&] { return fleet.roundTrips > before; }, 5000);
            spin([] { return false; }, 2);
        }
        const QList<double> idle = fleet.rtts;

        // Loaded: every session keeps 4 candidates in flight for 3 s.
        fleet.rtts.clear();
        const qint64 redisPid = qEnvironmentVariableIntValue("VELMO_TEST_REDIS_PID");
        const double redisBefore = cpuMsOf(redisPid);
        double cpuBefore = 0;
        for (const auto &s : servers)
            cpuBefore += s->cpuMs();
        const qint64 tripsBefore = fleet.roundTrips;
        fleet.window = 4;
        for (Fleet::Pair &p : fleet.pairs) {
            for (int w = 0; w < fleet.window; ++w)
                Fleet::send(p);
        }
        QElapsedTimer t;
        t.start();
        spin([] { return false; }, 3000);
        const qint64 trips = fleet.roundTrips - tripsBefore;
        const double seconds = double(t.elapsed()) / 1000.0;
        fleet.window = 0;
        double cpu = -cpuBefore;
        for (const auto &s : servers)
            cpu += s->cpuMs();
        const double redisCpu = cpuMsOf(redisPid) - redisBefore;
        spin([] { return false; }, 500); // the last ones in flight arrive
        row.throughput = double(trips) / seconds;
        const double perTrip = 1000.0 / double(qMax<qint64>(1, trips));
        std::printf("  %-42s %9s %8.1f %9.0f %9.0f %10.0f %9.0f %9.0f %9.1f %9.1f\n", row.label,
                    qPrintable(held.join(u'+')), kibPerSocket, percentile(idle, 0.5), percentile(idle, 0.99),
                    row.throughput, percentile(fleet.rtts, 0.5), percentile(fleet.rtts, 0.99), cpu * perTrip,
                    row.shared ? redisCpu * perTrip : 0.0);
    }
    if (rows[0].throughput > 0)
        std::printf("  throughput against 1 instance with SQLite: %.2f (1 shared), %.2f (2 beside), %.2f (2 crossing); "
                    "2 against 1 on the shared parts: %.2f beside, %.2f crossing\n",
                    rows[1].throughput / rows[0].throughput, rows[2].throughput / rows[0].throughput,
                    rows[3].throughput / rows[0].throughput, rows[2].throughput / qMax(1.0, rows[1].throughput),
                    rows[3].throughput / qMax(1.0, rows[1].throughput));
    std::printf(
        "  (the load comes from this one process on this machine's %ld cores: with few cores the client and the "
        "servers share them, so the server CPU per round trip says more than the round trips per second)\n",
        sysconf(_SC_NPROCESSORS_ONLN));
}

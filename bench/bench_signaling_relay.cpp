// Signaling relay round trip: Signaling::send → velmo-rendezvous → device socket → back
// to the session handler, against a direct WebSocket echo on the same machine (baseline).
// Usage: bench_signaling_relay [path to velmo-rendezvous] [round trips]
#include "config/AppConfig.h"
#include "config/Paths.h"
#include "rendezvous/Signaling.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QWebSocket>
#include <QWebSocketServer>

#include <algorithm>
#include <cstdio>

namespace {

double median(QList<double> v) {
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? 0 : v[v.size() / 2];
}

double percentile(QList<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? 0 : v[qMin(v.size() - 1, qsizetype(p * double(v.size())))];
}

// Runs the event loop until `cond` holds or `ms` passed.
bool spin(const std::function<bool()> &cond, int ms = 10000) {
    QElapsedTimer t;
    t.start();
    while (!cond() && t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return cond();
}

QString serverBinary(const QStringList &args) {
    if (args.size() > 1)
        return args[1];
    const QString beside = QCoreApplication::applicationDirPath() + "/../../server/velmo-rendezvous";
    return QFileInfo(beside).absoluteFilePath();
}

} // namespace

int main(int argc, char **argv) {
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + "/.config").toUtf8());
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int rounds = args.size() > 2 ? args[2].toInt() : 2000;
    const QJsonObject payload{
        {"candidate", "candidate:1 1 UDP 2122252543 127.0.0.1 40000 typ host"}, {"sdpMid", "0"}, {"sdpMLineIndex", 0}};

    // Baseline: one WebSocket hop and back, no server logic.
    QList<double> direct;
    {
        QWebSocketServer echo(QStringLiteral("echo"), QWebSocketServer::NonSecureMode);
        echo.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&echo, &QWebSocketServer::newConnection, &echo, [&echo] {
            QWebSocket *s = echo.nextPendingConnection();
            QObject::connect(s, &QWebSocket::textMessageReceived, s, [s](const QString &t) { s->sendTextMessage(t); });
        });
        QWebSocket client;
        bool open = false;
        QObject::connect(&client, &QWebSocket::connected, &client, [&] { open = true; });
        int got = 0;
        QObject::connect(&client, &QWebSocket::textMessageReceived, &client, [&](const QString &) { ++got; });
        client.open(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(echo.serverPort())));
        if (!spin([&] { return open; }))
            return 1;
        const QString text =
            QString::fromUtf8(QJsonDocument(QJsonObject{{"type", "ice"}, {"sid", "ab12cd34"}, {"payload", payload}})
                                  .toJson(QJsonDocument::Compact));
        for (int i = 0; i < rounds; ++i) {
            QElapsedTimer t;
            t.start();
            const int before = got;
            client.sendTextMessage(text);
            spin([&] { return got > before; });
            direct.append(double(t.nsecsElapsed()) / 1000.0);
        }
    }

    // Through the rendezvous server.
    QProcess server;
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // Rounds of thousands of messages are far beyond what a viewer sends: lift the rate limit.
    server.start(serverBinary(args), {"--listen", "127.0.0.1:0", "--db", ":memory:", "--signal-rate", "1000000"});
    if (!server.waitForStarted(5000) || !server.waitForReadyRead(5000)) {
        std::fprintf(stderr, "cannot start %s\n", qPrintable(serverBinary(args)));
        return 1;
    }
    const auto m = QRegularExpression("listening on 127\\.0\\.0\\.1:(\\d+)").match(server.readLine());
    const QString base = "127.0.0.1:" + m.captured(1);

    QWebSocket device;
    QString deviceId;
    QObject::connect(&device, &QWebSocket::textMessageReceived, &device, [&](const QString &t) {
        const QJsonObject o = QJsonDocument::fromJson(t.toUtf8()).object();
        if (o["type"] == "registered")
            deviceId = o["id"].toString();
        else if (o["type"] == "ice") // echo back as the device would answer
            device.sendTextMessage(QString::fromUtf8(
                QJsonDocument(QJsonObject{{"type", "ice"}, {"sid", o["sid"]}, {"payload", o["payload"]}})
                    .toJson(QJsonDocument::Compact)));
    });
    QObject::connect(&device, &QWebSocket::connected, &device, [&] {
        device.sendTextMessage(R"({"type":"register","secret":"bench-device-secret-0123","name":"Bench"})");
    });
    device.open(QUrl("ws://" + base + "/ws/device"));
    if (!spin([&] { return !deviceId.isEmpty(); }))
        return 1;

    AppConfig config(Paths::settingsFile());
    config.setServer("http://" + base);
    Signaling signaling(&config);
    bool greeted = false;
    signaling.connect(&signaling, [&](bool ok) { greeted = ok; });
    if (!spin([&] { return greeted; }))
        return 1;
    int got = 0;
    signaling.setHandler("ab12cd34", &signaling, [&](const QJsonObject &) { ++got; });
    signaling.send(QJsonObject{{"type", "connect"}, {"to", deviceId}, {"sid", "ab12cd34"}, {"payload", payload}});
    QList<double> relayed;
    const QJsonObject ice{{"type", "ice"}, {"to", deviceId}, {"sid", "ab12cd34"}, {"payload", payload}};
    for (int i = 0; i < rounds; ++i) {
        QElapsedTimer t;
        t.start();
        const int before = got;
        signaling.send(ice);
        spin([&] { return got > before; });
        relayed.append(double(t.nsecsElapsed()) / 1000.0);
    }
    server.terminate();
    server.waitForFinished(3000);

    std::printf("signaling round trip over loopback, %d messages (microseconds)\n", rounds);
    std::printf("  direct WebSocket echo      median %8.1f   p99 %8.1f\n", median(direct), percentile(direct, 0.99));
    std::printf("  via velmo-rendezvous relay median %8.1f   p99 %8.1f\n", median(relayed), percentile(relayed, 0.99));
    std::printf("  ratio relay/direct (median) %.2f  (two hops and the routing against one hop)\n",
                median(relayed) / qMax(1.0, median(direct)));
    return 0;
}

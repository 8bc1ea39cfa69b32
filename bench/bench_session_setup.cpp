// Loopback set-up of a viewer session against a real velmo-rendezvous and
// velmo-remote-host (started here on 127.0.0.1): start() → offer sent →
// channels open → challenge → connected, median of 20, with the passcode
// proof's own time shown apart. Run it inside scripts/with-test-env.sh so that
// ICE gathers on loopback only. Runs are 1.5 s apart, a host idle between viewers
// (VELMO_BENCH_PAUSE_MS=0: back to back). Binaries are found beside the build tree or
// given as arguments: bench_session_setup [RENDEZVOUS HOST [RUNS]].
#include "config/AppConfig.h"
#include "config/Paths.h"
#include "media/PeerConnectionFactory.h"
#include "rendezvous/Api.h"
#include "rendezvous/ServerTrust.h"
#include "rendezvous/SharedSignalingPort.h"
#include "rendezvous/Signaling.h"
#include "session/RemoteSession.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {
void waitMs(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

template <typename F> bool waitFor(F pred, int ms) {
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    }
    return true;
}

QJsonObject hostStatus(const QString &dataDir) {
    QFile f(dataDir + QStringLiteral("/control.json"));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QJsonObject c = QJsonDocument::fromJson(f.readAll()).object();
    QNetworkAccessManager nam;
    QNetworkRequest req(QUrl(QStringLiteral("http://127.0.0.1:%1/status").arg(c.value("port").toInt())));
    req.setRawHeader("Authorization", "Bearer " + c.value("token").toString().toUtf8());
    QNetworkReply *r = nam.get(req);
    QEventLoop loop;
    QObject::connect(r, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    const QJsonObject out = QJsonDocument::fromJson(r->readAll()).object();
    r->deleteLater();
    return out;
}

double median(std::vector<double> v) {
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}
} // namespace

int main(int argc, char **argv) {
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + "/.config").toUtf8());
    qputenv("XDG_DATA_HOME", (home.path() + "/.local/share").toUtf8());
    if (qEnvironmentVariableIsEmpty("VELMO_AUDIO_SINK"))
        qputenv("VELMO_AUDIO_SINK", "fakesink sync=false");
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QString build = QCoreApplication::applicationDirPath() + QStringLiteral("/../..");
    const QString serverBin =
        argc > 2 ? QString::fromLocal8Bit(argv[1]) : build + QStringLiteral("/server/velmo-rendezvous");
    const QString hostBin =
        argc > 2 ? QString::fromLocal8Bit(argv[2]) : build + QStringLiteral("/host/velmo-remote-host");
    const int runs = argc > 3 ? std::max(1, atoi(argv[3])) : 20;
    // Between runs; VELMO_BENCH_PAUSE_MS=0 measures viewers arriving back to back.
    const int pauseMs =
        qEnvironmentVariableIsSet("VELMO_BENCH_PAUSE_MS") ? qEnvironmentVariableIntValue("VELMO_BENCH_PAUSE_MS") : 1500;

    QProcess server;
    server.start(serverBin, {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--db"),
                             home.path() + QStringLiteral("/registry.sqlite3")});
    QString url;
    static const QRegularExpression re(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
    QByteArray out;
    waitFor(
        [&] {
            server.waitForReadyRead(50);
            out += server.readAllStandardOutput();
            const auto m = re.match(QString::fromUtf8(out));
            if (m.hasMatch())
                url = QStringLiteral("http://127.0.0.1:") + m.captured(1);
            return !url.isEmpty() || server.state() == QProcess::NotRunning;
        },
        10000);
    if (url.isEmpty()) {
        std::fprintf(stderr, "velmo-rendezvous did not start (%s)\n", qPrintable(serverBin));
        return 1;
    }
    const QString dataDir = home.path() + QStringLiteral("/host");
    QDir().mkpath(dataDir);
    QProcess host;
    host.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    host.start(hostBin, {QStringLiteral("--data"), dataDir, QStringLiteral("--server"), url});
    QString deviceId, passcode;
    waitFor(
        [&] {
            const QJsonObject s = hostStatus(dataDir);
            if (s.value("connected").toBool() && s.value("id").toString().size() == 9) {
                deviceId = s.value("id").toString();
                passcode = s.value("autoPasscode").toString();
            }
            if (deviceId.isEmpty())
                waitMs(100);
            return !deviceId.isEmpty();
        },
        15000);
    if (deviceId.isEmpty()) {
        std::fprintf(stderr, "velmo-remote-host did not register (%s)\n", qPrintable(hostBin));
        return 1;
    }
    // The viewer's objects, wired as the application wires them.
    AppConfig config(Paths::settingsFile());
    ServerTrust trust;
    Api api(&config, &trust);
    Signaling signaling(&config, &trust);
    PeerConnectionFactory factory;
    const SessionContext context{&config, &factory, std::make_shared<SharedSignalingPort>(&signaling, &api, &trust)};
    config.setServer(url);
    int failures = 0;
    bool ready = false;
    factory.whenReady(&app, [&](const QString &) { ready = true; });
    waitFor([&] { return ready; }, 20000);

    for (const QString &mode : {QStringLiteral("jpeg"), QStringLiteral("h264")}) {
        config.setVideoPref(mode);
        std::vector<double> offer, answer, ice, dtls, channels, challenge, proof, connected, frame;
        for (int i = 0; i < runs; ++i) {
            RemoteSession s(deviceId, passcode, QStringLiteral("bench"), context);
            QElapsedTimer t;
            double firstFrame = -1;
            auto onFrame = [&] {
                if (firstFrame < 0)
                    firstFrame = t.nsecsElapsed() / 1e6;
            };
            QObject::connect(&s, &RemoteSession::imageChanged, &s, onFrame);
            QObject::connect(&s, &RemoteSession::videoFrameAvailable, &s, onFrame);
            t.start();
            s.start();
            if (!waitFor(
                    [&] {
                        return s.state() == RemoteSession::State::Connected ||
                               s.state() == RemoteSession::State::Failed;
                    },
                    15000) ||
                s.state() != RemoteSession::State::Connected) {
                std::fprintf(stderr, "run %d did not connect: %s\n", i, qPrintable(s.failureText()));
                continue;
            }
            waitFor([&] { return firstFrame >= 0; }, 5000);
            const RemoteSession::Timings tm = s.timings();
            offer.push_back(double(tm.offerSent));
            answer.push_back(double(tm.answer));
            ice.push_back(double(tm.iceConnected));
            dtls.push_back(double(tm.transportConnected));
            channels.push_back(double(tm.channelsOpen));
            challenge.push_back(double(tm.challenge));
            proof.push_back(double(tm.proof));
            connected.push_back(double(tm.connected));
            frame.push_back(firstFrame);
            s.close();
            waitFor([&] { return hostStatus(dataDir).value("sessions").toArray().isEmpty(); }, 5000);
            // A viewer usually finds the host idle: give it the quiet spell in which it
            // prepares the next challenge's keys, as it has between real viewers.
            waitMs(pauseMs);
        }
        std::printf("session set-up on loopback (%s mode), median of %zu runs, ms from start()\n", qPrintable(mode),
                    connected.size());
        std::printf("  offer sent            %7.1f\n", median(offer));
        std::printf("  answer received       %7.1f\n", median(answer));
        // webrtcbin leaves its ICE state at "new" on a connection without media (JPEG mode).
        if (median(ice) < 0)
            std::printf("  ICE connected               - (not reported without a media track)\n");
        else
            std::printf("  ICE connected         %7.1f\n", median(ice));
        std::printf("  DTLS connected        %7.1f\n", median(dtls));
        std::printf("  channels open         %7.1f\n", median(channels));
        std::printf("  challenge received    %7.1f\n", median(challenge));
        std::printf("  connected             %7.1f\n", median(connected));
        std::printf("  first frame shown     %7.1f\n", median(frame));
        std::printf("  of which the proof    %7.1f (2 x 100,000 PBKDF2 rounds, on a worker)\n", median(proof));
        std::printf("  connected minus proof %7.1f\n", median(connected) - median(proof));
        if (connected.empty())
            failures++;
    }
    factory.waitForRetired();
    host.terminate();
    server.terminate();
    host.waitForFinished(3000);
    server.waitForFinished(3000);

    return failures ? 1 : 0;
}

// The host sharing a busy Wayland desktop: a headless Mutter or a headless sway (the test
// environment's, one virtual monitor, software rendering) shows a full-screen moving picture
// with a frame number on it, painted by a Wayland client (support/CodeWindow, 30 Hz); a real
// velmo-remote-host (--source screen) takes it through the desktop's own means (Mutter's
// remote-desktop session; wlroots screencopy) and encodes it for the app's own viewer over
// loopback. Printed, H.264 and JPEG: frames sent a second, host CPU per frame, and glass to
// glass p50/p95 (painted → shown on the viewer's main thread). On Mutter, next to a baseline
// measured in the same run: the compositor's own stream read bare (a screen-cast session of
// a child process, pipewiresrc → BGRx → appsink: the rate Mutter delivers, what reading it
// costs, and painted → buffer there). Last, the host's CPU on an idle desktop with a viewer
// connected. The X11 path's figures come from bench_host_latency and bench_host_capture on
// Xvfb (another display server, so another run). Run it inside the test environment:
//   VELMO_TEST_MUTTER=1 VELMO_TEST_MUTTER_SIZE=1920x1080 scripts/with-test-env.sh build/bench/bench_host_wayland [S]
//   VELMO_TEST_SWAY=1 VELMO_TEST_SWAY_SIZE=1920x1080 scripts/with-test-env.sh build/bench/bench_host_wayland [S]
#include "config/AppConfig.h"
#include "media/PeerConnectionFactory.h"
#include "session/RemoteSession.h"
#include "support/CodeWindow.h"
#include "support/DevicePeers.h"
#include "support/FrameCode.h"
#include "support/HostFigures.h"
#include "support/Latencies.h"
#include "support/ShownCodes.h"
#include "support/TestEnv.h"
#include "support/ViewerObjects.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QMutex>
#include <QProcess>
#include <QTest>
#include <QThread>

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <memory>
#include <utility>
#include <vector>

namespace {

double selfCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

QDBusMessage call(const QString &service, const QString &path, const QString &interface, const QString &method,
                  const QVariantList &args = {}) {
    QDBusMessage m = QDBusMessage::createMethodCall(service, path, interface, method);
    m.setArguments(args);
    return QDBusConnection::sessionBus().call(m, QDBus::Block, 5000);
}

// Takes the node id Mutter announces for a stream (main thread, from the bus).
class NodeCatcher : public QObject {
    Q_OBJECT
public:
    quint32 node = 0;
public Q_SLOTS:
    void added(quint32 id) { node = id; }
};

// Child: a screen cast of its own of the primary monitor, read bare for `seconds`; prints
// "frames cpu-seconds".
int baseline(int argc, char **argv, int seconds, QSize screen) {
    QCoreApplication app(argc, argv);
    gst_init(nullptr, nullptr);
    const QString sc = QStringLiteral("org.gnome.Mutter.ScreenCast");
    QDBusMessage r =
        call(sc, QStringLiteral("/org/gnome/Mutter/ScreenCast"), sc, QStringLiteral("CreateSession"), {QVariantMap{}});
    const QString session = r.arguments().value(0).value<QDBusObjectPath>().path();
    // An empty connector: Mutter records its primary monitor.
    r = call(sc, session, sc + QStringLiteral(".Session"), QStringLiteral("RecordMonitor"),
             {QString(), QVariantMap{{QStringLiteral("cursor-mode"), QVariant::fromValue(1u)}}});
    const QString stream = r.arguments().value(0).value<QDBusObjectPath>().path();
    if (session.isEmpty() || stream.isEmpty()) {
        std::fprintf(stderr, "baseline: no screen cast: %s\n", qPrintable(r.errorMessage()));
        return 1;
    }
    NodeCatcher catcher;
    QDBusConnection::sessionBus().connect(sc, stream, sc + QStringLiteral(".Stream"),
                                          QStringLiteral("PipeWireStreamAdded"), &catcher, SLOT(added(quint32)));
    call(sc, session, sc + QStringLiteral(".Session"), QStringLiteral("Start"));
    if (!QTest::qWaitFor([&] { return catcher.node != 0; }, 10000)) {
        std::fprintf(stderr, "baseline: Mutter announced no stream\n");
        return 1;
    }
    const QByteArray desc = "pipewiresrc always-copy=true path=" + QByteArray::number(catcher.node) +
                            " ! videoconvert ! video/x-raw,format=BGRx ! appsink name=out sync=false "
                            "emit-signals=false max-buffers=2 drop=true";
    GError *err = nullptr;
    GstElement *p = gst_parse_launch(desc.constData(), &err);
    if (!p) {
        std::fprintf(stderr, "baseline: %s\n", err ? err->message : "?");
        return 1;
    }
    // Streaming thread of the appsink: counts frames and reads their numbers at once.
    struct Seen {
        std::atomic<int> frames{0};
        std::atomic<bool> measuring{false};
        QSize screen;
        QMutex mutex;
        std::vector<std::pair<quint16, qint64>> first; // number, seen at
        std::array<bool, 65536> known{};
    };
    static Seen seen;
    seen.screen = screen;
    GstElement *out = gst_bin_get_by_name(GST_BIN(p), "out");
    GstAppSinkCallbacks cb{};
    cb.new_sample = [](GstAppSink *sink, gpointer) -> GstFlowReturn {
        GstSample *sample = gst_app_sink_pull_sample(sink);
        if (!sample)
            return GST_FLOW_OK;
        const qint64 at = ShownCodes::nowUs();
        ++seen.frames;
        const GstStructure *st = gst_caps_get_structure(gst_sample_get_caps(sample), 0);
        int w = 0, h = 0;
        gst_structure_get_int(st, "width", &w);
        gst_structure_get_int(st, "height", &h);
        GstMapInfo map;
        GstBuffer *buf = gst_sample_get_buffer(sample);
        if (seen.measuring && gst_buffer_map(buf, &map, GST_MAP_READ)) {
            if (const auto n = FrameCode::read(map.data, w, h, w * 4, seen.screen)) {
                QMutexLocker lock(&seen.mutex);
                if (!std::exchange(seen.known[*n], true))
                    seen.first.emplace_back(*n, at);
            }
            gst_buffer_unmap(buf, &map);
        }
        gst_sample_unref(sample);
        return GST_FLOW_OK;
    };
    gst_app_sink_set_callbacks(GST_APP_SINK(out), &cb, nullptr, nullptr);
    gst_element_set_state(p, GST_STATE_PLAYING);
    QTest::qWait(2000); // warm up
    const int f0 = seen.frames;
    const double c0 = selfCpuSeconds();
    seen.measuring = true;
    QTest::qWait(seconds * 1000);
    seen.measuring = false;
    std::printf("%d %.3f\n", seen.frames - f0, selfCpuSeconds() - c0);
    {
        QMutexLocker lock(&seen.mutex);
        for (const auto &[n, at] : seen.first)
            std::printf("%u %lld\n", unsigned(n), static_cast<long long>(at));
    }
    std::fflush(stdout);
    gst_element_set_state(p, GST_STATE_NULL);
    gst_object_unref(out);
    call(sc, session, sc + QStringLiteral(".Session"), QStringLiteral("Stop"));
    return 0;
}

using Figures = HostFigures;

// Mutter's own stream read bare in a child process: its figures, and painted → buffer.
Figures runBaseline(const QString &self, int seconds, const PaintedTimes &painted, Latencies *lat) {
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(self, {QStringLiteral("--baseline"), QString::number(seconds), QString::number(painted.screen().width()),
                   QString::number(painted.screen().height())});
    // The event loop keeps running: the painting window's times come in through it.
    [[maybe_unused]] const bool ended =
        QTest::qWaitFor([&] { return p.state() == QProcess::NotRunning; }, (seconds + 30) * 1000);
    QTest::qWait(200);
    const QList<QByteArray> lines = p.readAllStandardOutput().trimmed().split('\n');
    Figures f;
    const QList<QByteArray> parts = lines.value(0).split(' ');
    if (parts.size() == 2)
        f = Figures::fromCounts(parts[0].toInt(), parts[1].toDouble(), seconds);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> seen = lines[i].split(' ');
        if (seen.size() == 2) {
            const quint16 n = quint16(seen[0].toUInt());
            lat->take(n, seen[1].toLongLong(), painted.at(n));
        }
    }
    return f;
}

} // namespace

int main(int argc, char **argv) {
    if (argc >= 2 && qstrcmp(argv[1], "--paint") == 0)
        return CodeWindow::run(argc, argv, 30);
    if (argc >= 5 && qstrcmp(argv[1], "--baseline") == 0)
        return baseline(argc, argv, atoi(argv[2]), QSize(atoi(argv[3]), atoi(argv[4])));
    const bool mutter = !qEnvironmentVariableIsEmpty("VELMO_TEST_MUTTER_PID");
    const bool sway = !qEnvironmentVariableIsEmpty("VELMO_TEST_SWAYSOCK");
    if (mutter == sway) {
        std::fprintf(stderr,
                     "needs one headless compositor: VELMO_TEST_MUTTER=1 VELMO_TEST_MUTTER_SIZE=1920x1080 "
                     "(or VELMO_TEST_SWAY=1 VELMO_TEST_SWAY_SIZE=1920x1080) scripts/with-test-env.sh %s\n",
                     argv[0]);
        return 2;
    }
    const int seconds = argc >= 2 ? std::max(3, atoi(argv[1])) : 10;
    TestEnv env;
    QGuiApplication app(argc, argv);
    const QString self = QCoreApplication::applicationFilePath();

    ViewerObjects objects;
    if (const QString error = objects.waitForWebRtc(); !error.isEmpty()) {
        std::fprintf(stderr, "WebRTC set-up did not finish: %s\n", qPrintable(error));
        return 1;
    }

    DevicePeers peers;
    peers.setHostSource(QStringLiteral("screen"));
    peers.setHostEnv(QStringLiteral("XDG_SESSION_TYPE"), QStringLiteral("wayland"));
    if (mutter) {
        // Mutter's own remote desktop is the owner's choice (unattended access); without it
        // the agent would go through the desktop portal.
        QDir().mkpath(peers.dataDir());
        QFile settings(peers.dataDir() + QStringLiteral("/host-settings.json"));
        if (!settings.open(QIODevice::WriteOnly) || settings.write(R"({"unattended":true})") <= 0) {
            std::fprintf(stderr, "cannot write the host's settings\n");
            return 1;
        }
    }
    if (!peers.startServer() || !peers.startHost() || !peers.waitForDevice()) {
        std::fprintf(stderr, "could not start the rendezvous server and the host\n");
        return 1;
    }
    const qint64 hostPid = peers.host().processId();
    const QString backend = peers.status().value("backend").toString();
    const QLatin1String wanted = mutter ? QLatin1String("mutter") : QLatin1String("wlroots");
    if (backend != wanted) {
        std::fprintf(stderr, "the host chose the back end \"%s\", not %s\n", qPrintable(backend), wanted.data());
        return 1;
    }

    PaintedTimes painted;
    if (QString why; !painted.start(self, {QStringLiteral("--paint")}, &why)) {
        std::fprintf(stderr, "%s\n", qPrintable(why));
        return 1;
    }
    const QSize screen = painted.screen();
    QTest::qWait(1000);

    std::printf("%d cores; headless %s (software rendering), %dx%d moving picture, frame number painted at "
                "30 Hz; %d s per figure\n",
                QThread::idealThreadCount(), mutter ? "Mutter" : "sway", screen.width(), screen.height(), seconds);
    std::printf("%-6s %-9s %8s %14s %10s %8s %8s %8s\n", "codec", "path", "fps", "cpu/frame ms", "cpu %core", "frames",
                "p50 ms", "p95 ms");
    const auto row = [](const char *codec, const char *path, const Figures &f, const Latencies &l) {
        std::printf("%-6s %-9s %8.1f %14.2f %10.1f %8zu %8.1f %8.1f\n", codec, path, f.fps, f.cpuPerFrameMs,
                    f.cpuPercent, l.ms.size(), l.percentile(0.5), l.percentile(0.95));
        std::fflush(stdout);
    };
    Figures base;
    Latencies baseLat;
    if (mutter) {
        base = runBaseline(self, seconds, painted, &baseLat);
        row("-", "mutter", base, baseLat);
    }
    for (const bool h264 : {true, false}) {
        const char *codec = h264 ? "h264" : "jpeg";
        auto s = connectBenchViewer(objects, peers, h264 ? QStringLiteral("h264") : QStringLiteral("jpeg"));
        if (!s) {
            std::fprintf(stderr, "viewer did not connect\n");
            return 1;
        }
        Latencies lat;
        bool measuring = false;
        ShownCodes::follow(*s, screen, [&](quint16 n, qint64 at) {
            if (measuring)
                lat.take(n, at, painted.at(n));
        });
        measuring = true;
        const Figures host = measureHost(*s, hostPid, seconds);
        measuring = false;
        s->close();
        QTest::qWait(500);
        row(codec, "viewer", host, lat);
        if (mutter)
            std::printf("%-6s ratio viewer/mutter's own stream: fps %.2f%s; p50 +%.1f ms, p95 +%.1f ms\n", codec,
                        base.fps > 0 ? host.fps / base.fps : 0,
                        h264 ? " (frames sent; the encoder repeats the last picture between Mutter's)" : "",
                        lat.percentile(0.5) - baseLat.percentile(0.5), lat.percentile(0.95) - baseLat.percentile(0.95));
        std::fflush(stdout);
    }

    // The desktop stops moving; a viewer stays connected.
    painted.stop();
    QTest::qWait(1000);
    auto s = connectBenchViewer(objects, peers, QStringLiteral("h264"));
    if (!s)
        return 1;
    QTest::qWait(5000); // the encoder refines the still picture for a few seconds first
    const Figures idle = measureHost(*s, hostPid, seconds);
    std::printf("idle desktop, h264 viewer: host cpu %.2f %% of a core, %.1f frames/s sent\n", idle.cpuPercent,
                idle.fps);
    std::fflush(stdout);
    s->close();
    QTest::qWait(500);
    return 0;
}

#include "bench_host_wayland.moc"

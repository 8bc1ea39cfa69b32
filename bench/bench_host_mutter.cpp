// The host sharing a busy GNOME desktop: a headless Mutter (the test environment's, one
// virtual monitor, software rendering) shows a full-screen moving picture painted by a
// Wayland client (waylandsink); a real velmo-remote-host (--source screen) takes it through
// Mutter's remote-desktop session and encodes it for the app's own viewer over loopback.
// Printed: frames encoded and sent per second and host CPU per frame, H.264 and JPEG, next
// to a baseline measured in the same run — the compositor's own stream read bare (a
// screen-cast session of a child process, pipewiresrc → BGRx → fakesink: the rate Mutter
// delivers and what reading it costs) — and the host's CPU on an idle desktop with a viewer
// connected. Run it inside the test environment:
//   VELMO_TEST_MUTTER=1 VELMO_TEST_MUTTER_SIZE=1920x1080
//       scripts/with-test-env.sh build/bench/bench_host_mutter [SECONDS]
#include "config/AppConfig.h"
#include "media/PeerConnectionFactory.h"
#include "session/RemoteSession.h"
#include "support/DevicePeers.h"
#include "support/HostFigures.h"
#include "support/TestEnv.h"
#include "support/ViewerObjects.h"
#include "support/WsSignalingPort.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QTest>
#include <QThread>

#include <gst/gst.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>

namespace {

double selfCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Child: paints the moving picture full screen until killed.
int paint() {
    gst_init(nullptr, nullptr);
    GError *err = nullptr;
    GstElement *p = gst_parse_launch("videotestsrc is-live=true pattern=smpte horizontal-speed=6 ! "
                                     "video/x-raw,framerate=30/1 ! waylandsink fullscreen=true sync=false",
                                     &err);
    if (!p) {
        std::fprintf(stderr, "painter: %s\n", err ? err->message : "?");
        return 1;
    }
    gst_element_set_state(p, GST_STATE_PLAYING);
    GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
    g_main_loop_run(loop);
    return 0;
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
int baseline(int argc, char **argv, int seconds) {
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
                            " ! videoconvert ! video/x-raw,format=BGRx ! fakesink name=out sync=false";
    GError *err = nullptr;
    GstElement *p = gst_parse_launch(desc.constData(), &err);
    if (!p) {
        std::fprintf(stderr, "baseline: %s\n", err ? err->message : "?");
        return 1;
    }
    static std::atomic<int> frames{0};
    GstElement *out = gst_bin_get_by_name(GST_BIN(p), "out");
    GstPad *pad = gst_element_get_static_pad(out, "sink");
    gst_pad_add_probe(
        pad, GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad *, GstPadProbeInfo *, gpointer) {
            ++frames;
            return GST_PAD_PROBE_OK;
        },
        nullptr, nullptr);
    gst_element_set_state(p, GST_STATE_PLAYING);
    QTest::qWait(2000); // warm up
    const int f0 = frames;
    const double c0 = selfCpuSeconds();
    QTest::qWait(seconds * 1000);
    std::printf("%d %.3f\n", frames - f0, selfCpuSeconds() - c0);
    std::fflush(stdout);
    gst_element_set_state(p, GST_STATE_NULL);
    call(sc, session, sc + QStringLiteral(".Session"), QStringLiteral("Stop"));
    return 0;
}

using Figures = HostFigures;

Figures runBaseline(const QString &self, int seconds) {
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(self, {QStringLiteral("--baseline"), QString::number(seconds)});
    p.waitForFinished((seconds + 30) * 1000);
    const QList<QByteArray> parts = p.readAllStandardOutput().trimmed().split(' ');
    Figures f;
    if (parts.size() == 2) {
        const int frames = parts[0].toInt();
        const double cpu = parts[1].toDouble();
        f.fps = frames / double(seconds);
        f.cpuPerFrameMs = frames > 0 ? cpu * 1000 / frames : 0;
        f.cpuPercent = cpu * 100 / seconds;
    }
    return f;
}

std::unique_ptr<RemoteSession> connectViewer(ViewerObjects &objects, DevicePeers &peers, const QString &pref) {
    objects.config()->setVideoPref(pref);
    auto s = std::make_unique<RemoteSession>(peers.deviceId(), peers.autoPasscode(), QStringLiteral("bench"),
                                             objects.context(std::make_shared<WsSignalingPort>(peers.serverUrl())));
    s->start();
    if (!QTest::qWaitFor([&] { return s->state() == RemoteSession::State::Connected; }, 20000))
        return nullptr;
    s->setQuality({30, 1.0, 70, 8000});
    QTest::qWait(2000); // the quality applies, the first key frame passes
    return s;
}
} // namespace

int main(int argc, char **argv) {
    if (argc >= 2 && qstrcmp(argv[1], "--paint") == 0)
        return paint();
    if (argc >= 3 && qstrcmp(argv[1], "--baseline") == 0)
        return baseline(argc, argv, atoi(argv[2]));
    if (qEnvironmentVariableIsEmpty("VELMO_TEST_MUTTER_PID")) {
        std::fprintf(stderr,
                     "needs a headless Mutter: VELMO_TEST_MUTTER=1 VELMO_TEST_MUTTER_SIZE=1920x1080 "
                     "scripts/with-test-env.sh %s\n",
                     argv[0]);
        return 2;
    }
    const int seconds = argc >= 2 ? std::max(3, atoi(argv[1])) : 10;
    TestEnv env;
    QGuiApplication app(argc, argv);
    const QString self = QCoreApplication::applicationFilePath();

    ViewerObjects objects;
    bool ready = false;
    objects.factory()->whenReady(&app, [&](const QString &) { ready = true; });
    if (!QTest::qWaitFor([&] { return ready; }, 20000)) {
        std::fprintf(stderr, "WebRTC set-up did not finish\n");
        return 1;
    }

    DevicePeers peers;
    peers.setHostSource(QStringLiteral("screen"));
    peers.setHostEnv(QStringLiteral("XDG_SESSION_TYPE"), QStringLiteral("wayland"));
    if (!peers.startServer() || !peers.startHost() || !peers.waitForDevice()) {
        std::fprintf(stderr, "could not start the rendezvous server and the host\n");
        return 1;
    }
    const qint64 hostPid = peers.host().processId();
    const QString backend = peers.status().value("backend").toString();
    if (backend != QLatin1String("mutter")) {
        std::fprintf(stderr, "the host chose the back end \"%s\", not mutter\n", qPrintable(backend));
        return 1;
    }

    QProcess painter;
    painter.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    painter.start(self, {QStringLiteral("--paint")});
    QTest::qWait(2000);

    std::printf("%d cores; headless Mutter (software rendering), moving %s picture; %d s per figure\n",
                QThread::idealThreadCount(), qPrintable(qEnvironmentVariable("VELMO_TEST_MUTTER_SIZE", "1280x720")),
                seconds);
    std::printf("%-6s %-9s %8s %14s %10s\n", "codec", "path", "fps", "cpu/frame ms", "cpu %core");
    const Figures base = runBaseline(self, seconds);
    std::printf("%-6s %-9s %8.1f %14.2f %10.1f\n", "-", "mutter", base.fps, base.cpuPerFrameMs, base.cpuPercent);
    std::fflush(stdout);
    for (const bool h264 : {true, false}) {
        const char *codec = h264 ? "h264" : "jpeg";
        auto s = connectViewer(objects, peers, h264 ? QStringLiteral("h264") : QStringLiteral("jpeg"));
        if (!s) {
            std::fprintf(stderr, "viewer did not connect\n");
            return 1;
        }
        const Figures host = measureHost(*s, hostPid, seconds);
        s->close();
        QTest::qWait(500);
        std::printf("%-6s %-9s %8.1f %14.2f %10.1f\n", codec, "host", host.fps, host.cpuPerFrameMs, host.cpuPercent);
        std::printf("%-6s ratio host/mutter's own stream: fps %.2f%s\n", codec, base.fps > 0 ? host.fps / base.fps : 0,
                    h264 ? " (frames sent; the encoder repeats the last picture between Mutter's)" : "");
        std::fflush(stdout);
    }

    // The desktop stops moving; a viewer stays connected.
    painter.kill();
    painter.waitForFinished(3000);
    QTest::qWait(1000);
    auto s = connectViewer(objects, peers, QStringLiteral("h264"));
    if (!s)
        return 1;
    const Figures idle = measureHost(*s, hostPid, seconds);
    std::printf("idle desktop, h264 viewer: host cpu %.2f %% of a core, %.1f frames/s sent\n", idle.cpuPercent,
                idle.fps);
    std::fflush(stdout);
    s->close();
    QTest::qWait(500);
    return 0;
}

#include "bench_host_mutter.moc"

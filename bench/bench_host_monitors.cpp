// One monitor next to all monitors: the X display in DISPLAY (3840 × 1080, see below) is
// split with RandR into two 1920 × 1080 monitors side by side and shows a moving picture
// over both, painted by a child process; a real velmo-remote-host (--source screen) shares
// it with the app's own viewer session over loopback. Printed for H.264 and JPEG: frames
// per second and host CPU per frame for one monitor (the baseline) and for the
// all-monitors picture, measured in the same run, and their ratios (also per pixel). Then
// a window per monitor: the main picture on the left monitor and a window of its own on
// the right one, both 1920 × 1080 JPEG at once, next to the left monitor alone (JPEG) in
// the same run: frames per second of each picture, host CPU per frame sent, ratios.
// Run it inside the test environment with the wider screen:
//   VELMO_TEST_DISPLAY=1 VELMO_TEST_SCREEN=3840x1080x24
//       scripts/with-test-env.sh build/bench/bench_host_monitors [SECONDS]
#include "config/AppConfig.h"
#include "media/PeerConnectionFactory.h"
#include "session/MonitorView.h"
#include "session/RemoteSession.h"
#include "support/DevicePeers.h"
#include "support/HostFigures.h"
#include "support/TestEnv.h"
#include "support/ViewerObjects.h"

#include <QCoreApplication>
#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QTest>
#include <QThread>

#include <gst/gst.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

namespace {

bool xrandr(const QStringList &args) {
    QProcess p;
    p.start(QStringLiteral("xrandr"), args);
    return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// Child: paints a moving picture over the whole screen until killed.
int paint(int w, int h) {
    gst_init(nullptr, nullptr);
    const QByteArray desc =
        "videotestsrc is-live=true pattern=smpte horizontal-speed=6 ! video/x-raw,width=" + QByteArray::number(w) +
        ",height=" + QByteArray::number(h) + ",framerate=30/1 ! ximagesink sync=false";
    GError *err = nullptr;
    GstElement *p = gst_parse_launch(desc.constData(), &err);
    if (!p) {
        std::fprintf(stderr, "painter: %s\n", err ? err->message : "?");
        return 1;
    }
    gst_element_set_state(p, GST_STATE_PLAYING);
    GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
    g_main_loop_run(loop);
    return 0;
}

using Figures = HostFigures;

// Shows `mode`/`id` and waits until the picture has `size` and has settled.
bool show(RemoteSession &s, const QString &mode, int id, QSize size) {
    s.selectMonitor(mode, id);
    const bool ok = QTest::qWaitFor([&] { return s.frameSize().toSize() == size; }, 20000);
    QTest::qWait(2000); // the first key frame passes, the rate settles
    return ok;
}
// The main picture and (when given) a display window watched for `seconds`: the main
// picture's frames from the host's "stats", the window's as the viewer shows them.
struct TwoFigures {
    double mainFps = 0;
    double windowFps = 0;
    double cpuPerFrameMs = 0;
    double cpuPercent = 0;
};

TwoFigures measureTwo(RemoteSession &s, MonitorView *window, qint64 pid, int seconds) {
    int frames = 0;
    const auto conn =
        QObject::connect(&s, &RemoteSession::statsChanged, &s, [&] { frames += s.stats().value("fps").toInt(); });
    QTest::qWait(1100); // align with the next statistics
    frames = 0;
    const quint64 w0 = window ? window->frames() : 0;
    const double c0 = processCpuSeconds(pid);
    QTest::qWait(seconds * 1000);
    const double cpu = processCpuSeconds(pid) - c0;
    const quint64 windowFrames = window ? window->frames() - w0 : 0;
    QObject::disconnect(conn);
    TwoFigures f;
    f.mainFps = frames / double(seconds);
    f.windowFps = double(windowFrames) / seconds;
    const double all = double(frames) + double(windowFrames);
    f.cpuPerFrameMs = all > 0 ? cpu * 1000 / all : 0;
    f.cpuPercent = cpu * 100 / seconds;
    return f;
}

// A window per monitor next to one monitor, JPEG, in one session.
bool windowPerMonitor(ViewerObjects &objects, DevicePeers &peers, qint64 hostPid, int seconds) {
    auto s = connectBenchViewer(objects, peers, QStringLiteral("jpeg"));
    if (!s || !QTest::qWaitFor([&] { return s->monitors().size() == 2; }, 10000) || !s->monitorWindows()) {
        std::fprintf(stderr, "window per monitor: no session that offers windows\n");
        return false;
    }
    int left = 0, right = 0;
    for (const Monitor &m : s->monitors())
        (m.name == QLatin1String("left") ? left : right) = m.id;
    if (!show(*s, QStringLiteral("single"), left, {1920, 1080}))
        std::fprintf(stderr, "one monitor: the picture is not 1920x1080\n");
    const TwoFigures one = measureTwo(*s, nullptr, hostPid, seconds);
    MonitorView *window = s->openMonitorView(right, 1.0);
    if (!window || !QTest::qWaitFor([&] { return window->frameSize().toSize() == QSize(1920, 1080); }, 20000)) {
        std::fprintf(stderr, "window per monitor: the right monitor's window shows no 1920x1080 picture\n");
        return false;
    }
    QTest::qWait(2000);
    const TwoFigures two = measureTwo(*s, window, hostPid, seconds);
    s->closeMonitorView(window);
    s->close();
    QTest::qWait(500);
    std::printf("\nwindow per monitor (JPEG, 1920x1080 each, one session)\n");
    std::printf("%-24s %10s %12s %14s %10s\n", "view", "main fps", "window fps", "cpu/frame ms", "cpu %core");
    std::printf("%-24s %10.1f %12s %14.2f %10.1f\n", "one monitor", one.mainFps, "-", one.cpuPerFrameMs,
                one.cpuPercent);
    std::printf("%-24s %10.1f %12.1f %14.2f %10.1f\n", "main + window (two)", two.mainFps, two.windowFps,
                two.cpuPerFrameMs, two.cpuPercent);
    std::printf("ratio two/one: frames per second %.2f (main alone %.2f), cpu per frame %.2f, cpu %.2f\n",
                one.mainFps > 0 ? (two.mainFps + two.windowFps) / one.mainFps : 0,
                one.mainFps > 0 ? two.mainFps / one.mainFps : 0,
                one.cpuPerFrameMs > 0 ? two.cpuPerFrameMs / one.cpuPerFrameMs : 0,
                one.cpuPercent > 0 ? two.cpuPercent / one.cpuPercent : 0);
    std::fflush(stdout);
    return true;
}
} // namespace

int main(int argc, char **argv) {
    if (argc >= 4 && qstrcmp(argv[1], "--paint") == 0)
        return paint(atoi(argv[2]), atoi(argv[3]));
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::fprintf(stderr,
                     "needs an X display: VELMO_TEST_DISPLAY=1 VELMO_TEST_SCREEN=3840x1080x24 "
                     "scripts/with-test-env.sh %s\n",
                     argv[0]);
        return 2;
    }
    const int seconds = argc >= 2 ? std::max(3, atoi(argv[1])) : 10;
    TestEnv env;
    QGuiApplication app(argc, argv);
    const QString self = QCoreApplication::applicationFilePath();

    // Two 1920 × 1080 monitors side by side; the left one takes the screen's output.
    xrandr({"--delmonitor", "left"});
    xrandr({"--delmonitor", "right"});
    if (!xrandr({"--setmonitor", "left", "1920/508x1080/286+0+0", "screen"}) ||
        !xrandr({"--setmonitor", "right", "1920/508x1080/286+1920+0", "none"})) {
        std::fprintf(stderr, "xrandr could not define the monitors (is the screen 3840x1080?)\n");
        return 1;
    }

    ViewerObjects objects;
    bool ready = false;
    objects.factory()->whenReady(&app, [&](const QString &) { ready = true; });
    if (!QTest::qWaitFor([&] { return ready; }, 20000)) {
        std::fprintf(stderr, "WebRTC set-up did not finish\n");
        return 1;
    }

    DevicePeers peers;
    peers.setHostSource(QStringLiteral("screen"));
    if (!peers.startServer() || !peers.startHost() || !peers.waitForDevice()) {
        std::fprintf(stderr, "could not start the rendezvous server and the host\n");
        return 1;
    }
    const qint64 hostPid = peers.host().processId();

    QProcess painter;
    painter.start(self, {QStringLiteral("--paint"), QStringLiteral("3840"), QStringLiteral("1080")});
    QTest::qWait(1500);

    std::printf("%d cores; moving picture over two 1920x1080 monitors at 30 fps; %d s per figure\n",
                QThread::idealThreadCount(), seconds);
    std::printf("%-6s %-13s %10s %8s %14s %10s\n", "codec", "view", "picture", "fps", "cpu/frame ms", "cpu %core");
    for (const bool h264 : {true, false}) {
        const char *codec = h264 ? "h264" : "jpeg";
        auto s = connectBenchViewer(objects, peers, h264 ? QStringLiteral("h264") : QStringLiteral("jpeg"));
        if (!s) {
            std::fprintf(stderr, "viewer did not connect\n");
            return 1;
        }
        if (!QTest::qWaitFor([&] { return s->monitors().size() == 2; }, 10000)) {
            std::fprintf(stderr, "the host does not list two monitors\n");
            return 1;
        }
        int left = 0;
        for (const Monitor &m : s->monitors())
            if (m.name == QLatin1String("left"))
                left = m.id;
        if (!show(*s, QStringLiteral("single"), left, {1920, 1080}))
            std::fprintf(stderr, "one monitor: the picture is not 1920x1080\n");
        const Figures one = measureHost(*s, hostPid, seconds);
        if (!show(*s, QStringLiteral("all"), 0, {3840, 1080}))
            std::fprintf(stderr, "all monitors: the picture is not 3840x1080\n");
        const Figures all = measureHost(*s, hostPid, seconds);
        s->close();
        QTest::qWait(500);
        for (const auto &[name, f] : {std::pair{"one monitor", one}, std::pair{"all monitors", all}})
            std::printf("%-6s %-13s %4dx%-5d %8.1f %14.2f %10.1f\n", codec, name, f.size.width(), f.size.height(),
                        f.fps, f.cpuPerFrameMs, f.cpuPercent);
        const double pixels = one.size.isEmpty() ? 0
                                                 : double(all.size.width() * all.size.height()) /
                                                       double(one.size.width() * one.size.height());
        const double perFrame = one.cpuPerFrameMs > 0 ? all.cpuPerFrameMs / one.cpuPerFrameMs : 0;
        std::printf("%-6s ratio all/one: fps %.2f, cpu per frame %.2f, cpu per pixel %.2f (%.1fx the pixels)\n", codec,
                    one.fps > 0 ? all.fps / one.fps : 0, perFrame, pixels > 0 ? perFrame / pixels : 0, pixels);
        std::fflush(stdout);
    }
    const bool windows = windowPerMonitor(objects, peers, hostPid, seconds);
    painter.kill();
    painter.waitForFinished(3000);
    xrandr({"--delmonitor", "left"});
    xrandr({"--delmonitor", "right"});
    return windows ? 0 : 1;
}

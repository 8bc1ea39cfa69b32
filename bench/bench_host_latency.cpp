// Glass to glass on loopback: a frame number is painted on the X display in DISPLAY
// 30 times a second (as 16 black/white blocks and their complement, over a full-screen
// moving picture) and read back from the pictures the app's own viewer decodes from a
// real velmo-remote-host (--source screen) at 1920 × 1080, 30 fps. Printed: p50 and
// p95 of "painted → decoded picture on the viewer's main thread", H.264 and JPEG,
// next to a baseline measured in the same run — a bare ximagesrc → the same encoder
// settings → decoder → appsink in this process, without WebRTC or the host.
// Then the fast link: the picture moves and the number changes 60 times a second, and a
// viewer asks for 30 and for 60 frames a second at full size (H.264 and JPEG): frames
// shown a second (distinct numbers read), picture age p50/p95, the agent's frames sent,
// its CPU time per frame and share of a core, and the rate it says it sustains (canFps);
// 60 against 30 as ratios, and the goal (≥ 45 fps shown at 1080p, p50 ≤ 30 ms). Run it
// inside the test environment:
//   VELMO_TEST_DISPLAY=1 scripts/with-test-env.sh build/bench/bench_host_latency [SECONDS] [--fast] [--h264]
// --fast runs only the fast link's figures, --h264 only H.264 there (to repeat them after a
// change in less time).
#include "config/AppConfig.h"
#include "session/RemoteSession.h"
#include "support/DevicePeers.h"
#include "support/FrameCode.h"
#include "support/HostFigures.h"
#include "support/Latencies.h"
#include "support/ShownCodes.h"
#include "support/TestEnv.h"
#include "support/ViewerObjects.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QMutex>
#include <QProcess>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <X11/Xlib.h>
#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace {
constexpr int kBits = FrameCode::bits;
constexpr int kBlock = FrameCode::block;
constexpr int kLeft = FrameCode::left, kTop = FrameCode::top;
constexpr QSize kScreen(1920, 1080);

// CPU time of this whole process so far, ms.
double processCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1000.0 + double(ts.tv_nsec) / 1e6;
}

qint64 nowUs() {
    return ShownCodes::nowUs();
}

// When each frame number was on the screen (µs, steady clock); written by the main
// thread, read by the baseline's streaming thread.
std::array<std::atomic<qint64>, 65536> g_painted;

// An override-redirect strip at the top left that shows the current frame number:
// bit i black (1) or white (0) in block i, then the complement in blocks 16..31, so a
// picture caught half-painted does not read as a number.
class CodeStrip {
public:
    bool open() {
        m_dpy = XOpenDisplay(nullptr);
        if (!m_dpy)
            return false;
        XSetWindowAttributes a{};
        a.override_redirect = True;
        a.background_pixel = WhitePixel(m_dpy, DefaultScreen(m_dpy));
        m_win = XCreateWindow(m_dpy, DefaultRootWindow(m_dpy), kLeft, kTop, 2 * kBits * kBlock, kBlock, 0,
                              CopyFromParent, InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &a);
        m_black = XCreateGC(m_dpy, m_win, 0, nullptr);
        XSetForeground(m_dpy, m_black, BlackPixel(m_dpy, DefaultScreen(m_dpy)));
        m_white = XCreateGC(m_dpy, m_win, 0, nullptr);
        XSetForeground(m_dpy, m_white, WhitePixel(m_dpy, DefaultScreen(m_dpy)));
        XMapRaised(m_dpy, m_win);
        XSync(m_dpy, False);
        return true;
    }
    ~CodeStrip() {
        if (m_dpy)
            XCloseDisplay(m_dpy);
    }
    // Paints `n`; returns once the X server has drawn it.
    void paint(quint16 n) {
        XRaiseWindow(m_dpy, m_win);
        for (int i = 0; i < 2 * kBits; ++i) {
            const bool bit = ((n >> (i % kBits)) & 1) != (i >= kBits);
            XFillRectangle(m_dpy, m_win, bit ? m_black : m_white, i * kBlock, 0, kBlock, kBlock);
        }
        XSync(m_dpy, False);
        g_painted[n].store(nowUs(), std::memory_order_release);
    }

private:
    Display *m_dpy = nullptr;
    Window m_win = 0;
    GC m_black{}, m_white{};
};

// The same encoder settings the host uses for a 30 fps viewer at full scale
// (host/capture/VideoEncoder.cpp), and the decoder the viewer uses.
QByteArray bareChain(bool h264) {
    const QByteArray n = QByteArray::number(std::clamp(QThread::idealThreadCount(), 1, 8));
    if (!h264)
        return "videoconvertscale n-threads=" + n +
               " ! video/x-raw,format=I420,colorimetry=1:4:0:0 ! jpegenc quality=70 ! jpegdec";
    return "videoconvertscale n-threads=" + n +
           " ! video/x-raw,format=I420 ! x264enc tune=zerolatency speed-preset=ultrafast threads=" + n +
           " bitrate=8000 vbv-buf-capacity=500 key-int-max=120 ! video/x-h264,profile=constrained-baseline"
           " ! h264parse ! avdec_h264";
}

// Runs the bare capture → encode → decode for `seconds` while `paintOnce` keeps the
// strip changing; latencies are taken on the appsink's streaming thread.
Latencies runBaseline(bool h264, int seconds, const std::function<void()> &pump) {
    const QByteArray desc = "ximagesrc use-damage=false show-pointer=false ! video/x-raw,framerate=30/1 ! " +
                            bareChain(h264) +
                            " ! videoconvert ! video/x-raw,format=BGRx ! appsink name=out sync=false max-buffers=2 "
                            "drop=true emit-signals=false";
    GError *err = nullptr;
    GstElement *p = gst_parse_launch(desc.constData(), &err);
    Latencies lat;
    if (!p) {
        std::fprintf(stderr, "baseline: %s\n", err ? err->message : "?");
        return lat;
    }
    struct Ctx {
        Latencies *lat;
        QMutex mutex;
    } ctx{&lat, {}};
    GstElement *out = gst_bin_get_by_name(GST_BIN(p), "out");
    GstAppSinkCallbacks cb{};
    // Streaming thread of the appsink: read the number and note the time at once.
    cb.new_sample = [](GstAppSink *sink, gpointer data) -> GstFlowReturn {
        auto *c = static_cast<Ctx *>(data);
        GstSample *sample = gst_app_sink_pull_sample(sink);
        if (!sample)
            return GST_FLOW_OK;
        const qint64 at = nowUs();
        GstCaps *caps = gst_sample_get_caps(sample);
        const GstStructure *st = gst_caps_get_structure(caps, 0);
        int w = 0, h = 0;
        gst_structure_get_int(st, "width", &w);
        gst_structure_get_int(st, "height", &h);
        GstMapInfo map;
        GstBuffer *buf = gst_sample_get_buffer(sample);
        if (gst_buffer_map(buf, &map, GST_MAP_READ)) {
            if (const auto n = FrameCode::read(map.data, w, h, w * 4, kScreen)) {
                QMutexLocker lock(&c->mutex);
                c->lat->take(*n, at, g_painted[*n].load(std::memory_order_acquire));
            }
            gst_buffer_unmap(buf, &map);
        }
        gst_sample_unref(sample);
        return GST_FLOW_OK;
    };
    gst_app_sink_set_callbacks(GST_APP_SINK(out), &cb, &ctx, nullptr);
    gst_element_set_state(p, GST_STATE_PLAYING);
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 1500)
        pump(); // warm up
    {
        QMutexLocker lock(&ctx.mutex);
        lat.reset();
    }
    t.restart();
    while (t.elapsed() < seconds * 1000)
        pump();
    gst_element_set_state(p, GST_STATE_NULL);
    gst_object_unref(out);
    gst_object_unref(p);
    return lat;
}

// Child: paints the moving picture under the strip `fps` times a second until killed.
int paintBackground(int fps) {
    gst_init(nullptr, nullptr);
    GError *err = nullptr;
    const QByteArray desc = "videotestsrc is-live=true pattern=ball motion=sweep ! "
                            "video/x-raw,width=1920,height=1080,framerate=" +
                            QByteArray::number(fps) + "/1 ! ximagesink sync=false";
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

// One viewer session at `q` for `seconds`: what it showed and what the agent spent.
struct ViewerRun {
    Latencies lat;
    HostFigures host;
    double shownFps = 0; // distinct frame numbers read, per second
    // The viewer's CPU time (this process: receiving, decoding, converting, reading the
    // picture; the strip's painting is a few X calls) per frame received, ms.
    double viewerCpuPerFrameMs = 0;
    int canFps = 0;     // what the agent said it sustains, at the end
    int targetKbps = 0; // the H.264 rate the link's estimate allows, at the end
    int sentKbps = 0;
    QString limit;
    bool ok = false;
};

// Takes the frame number of every picture the viewer shows into `into` while `measuring`
// is true. `into` and `measuring` must outlive the session.
void readShownPictures(RemoteSession &s, Latencies &into, const bool &measuring) {
    ShownCodes::follow(s, kScreen, [&into, &measuring](quint16 n, qint64 at) {
        if (measuring)
            into.take(n, at, g_painted[n].load(std::memory_order_acquire));
    });
}

ViewerRun runViewer(ViewerObjects &objects, DevicePeers &peers, bool h264, const Quality &q, int seconds) {
    ViewerRun run;
    objects.config()->setVideoPref(h264 ? QStringLiteral("h264") : QStringLiteral("jpeg"));
    auto s = objects.sessionTo(peers, peers.autoPasscode(), QStringLiteral("bench"));
    s->start();
    if (!QTest::qWaitFor([&] { return s->state() == RemoteSession::State::Connected; }, 20000)) {
        std::fprintf(stderr, "viewer did not connect: %s\n", qPrintable(s->failureText()));
        return run;
    }
    s->setQuality(q);
    bool measuring = false;
    readShownPictures(*s, run.lat, measuring);
    QTest::qWait(3000); // the quality applies, the first key frame passes, the link's rate climbs
    measuring = true;
    QElapsedTimer t;
    t.start();
    const double cpuBefore = processCpuMs();
    const quint64 framesBefore = s->framesReceived();
    run.host = measureHost(*s, peers.host().processId(), seconds);
    const double elapsed = double(t.elapsed()) / 1000.0;
    measuring = false;
    if (const quint64 frames = s->framesReceived() - framesBefore; frames > 0)
        run.viewerCpuPerFrameMs = (processCpuMs() - cpuBefore) / double(frames);
    run.shownFps = double(run.lat.ms.size()) / elapsed;
    run.canFps = s->stats().value("canFps").toInt();
    run.limit = s->stats().value("limit").toString();
    run.targetKbps = s->stats().value("target").toInt();
    run.sentKbps = s->stats().value("kbps").toInt();
    run.ok = !run.lat.ms.empty();
    s->close();
    QTest::qWait(500);
    return run;
}

void printRow(const char *codec, const char *path, const Latencies &l) {
    std::printf("%-6s %-9s %8zu %9.1f %9.1f\n", codec, path, l.ms.size(), l.percentile(0.5), l.percentile(0.95));
}
} // namespace

int main(int argc, char **argv) {
    if (argc >= 2 && qstrcmp(argv[1], "--paint") == 0)
        return paintBackground(argc >= 3 ? std::clamp(atoi(argv[2]), 1, 120) : 30);
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::fprintf(stderr, "needs an X display: VELMO_TEST_DISPLAY=1 scripts/with-test-env.sh %s\n", argv[0]);
        return 2;
    }
    int seconds = 10;
    bool fastOnly = false;
    bool h264Only = false;
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "--fast") == 0)
            fastOnly = true;
        else if (qstrcmp(argv[i], "--h264") == 0)
            h264Only = true;
        else
            seconds = std::max(3, atoi(argv[i]));
    }
    TestEnv env;
    QGuiApplication app(argc, argv);
    gst_init(nullptr, nullptr);

    ViewerObjects objects;
    if (const QString error = objects.waitForWebRtc(); !error.isEmpty()) {
        std::fprintf(stderr, "WebRTC set-up did not finish: %s\n", qPrintable(error));
        return 1;
    }
    DevicePeers peers;
    peers.setHostSource(QStringLiteral("screen"));
    if (!peers.startServer() || !peers.startHost() || !peers.waitForDevice()) {
        std::fprintf(stderr, "could not start the rendezvous server and the host\n");
        return 1;
    }

    QProcess background;
    background.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--paint")});
    QTest::qWait(1500);
    CodeStrip strip;
    if (!strip.open()) {
        std::fprintf(stderr, "cannot open the display\n");
        return 1;
    }
    // The strip changes 30 times a second, on the main thread between the viewer's work.
    quint16 next = 1;
    QTimer painter;
    painter.setTimerType(Qt::PreciseTimer);
    painter.setInterval(33);
    QObject::connect(&painter, &QTimer::timeout, &painter, [&] { strip.paint(next++); });
    painter.start();
    // For the baseline, which has no Qt event loop work of its own.
    const auto pump = [] { QCoreApplication::processEvents(QEventLoop::AllEvents, 5); };

    std::printf("%d cores; 1920x1080 moving picture, frame number painted at 30 Hz; %d s per figure\n",
                QThread::idealThreadCount(), seconds);
    std::printf("%-6s %-9s %8s %9s %9s\n", "codec", "path", "frames", "p50 ms", "p95 ms");
    int failures = 0;
    for (const bool h264 : {true, false}) {
        if (fastOnly)
            break;
        const char *codec = h264 ? "h264" : "jpeg";
        const Latencies base = runBaseline(h264, seconds, pump);

        objects.config()->setVideoPref(h264 ? QStringLiteral("h264") : QStringLiteral("jpeg"));
        auto s = objects.sessionTo(peers, peers.autoPasscode(), QStringLiteral("bench"));
        s->start();
        if (!QTest::qWaitFor([&] { return s->state() == RemoteSession::State::Connected; }, 20000)) {
            std::fprintf(stderr, "viewer did not connect: %s\n", qPrintable(s->failureText()));
            return 1;
        }
        s->setQuality({30, 1.0, 70, 8000});
        Latencies viewer;
        bool measuring = false;
        readShownPictures(*s, viewer, measuring);
        QTest::qWait(2500); // the quality applies, the first key frame passes
        measuring = true;
        QTest::qWait(seconds * 1000);
        measuring = false;
        s->close();
        QTest::qWait(500);

        printRow(codec, "baseline", base);
        printRow(codec, "viewer", viewer);
        std::printf("%-6s ratio viewer/baseline: p50 %.2f, p95 %.2f\n", codec,
                    base.percentile(0.5) > 0 ? viewer.percentile(0.5) / base.percentile(0.5) : 0,
                    base.percentile(0.95) > 0 ? viewer.percentile(0.95) / base.percentile(0.95) : 0);
        std::fflush(stdout);
        if (viewer.ms.empty())
            failures++;
    }
    painter.stop();
    background.kill();
    background.waitForFinished(3000);

    // The fast link: everything moves 60 times a second; 30 asked next to 60 asked.
    background.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--paint"), QStringLiteral("60")});
    QTest::qWait(1500);
    painter.setInterval(16);
    painter.start();
    std::printf("\n60 fps asked next to 30, full size (1920x1080), quality 70, 8000 kbps ceiling; the number "
                "painted at 60 Hz\n");
    std::printf("%-6s %5s %7s %8s %8s %9s %10s %7s %7s %6s %7s %10s  %s\n", "codec", "asked", "shown", "p50 ms",
                "p95 ms", "host fps", "cpu ms/fr", "cpu %", "canFps", "kbps", "target", "view ms/fr", "limit");
    for (const bool h264 : {true, false}) {
        if (!h264 && h264Only)
            break;
        const char *codec = h264 ? "h264" : "jpeg";
        ViewerRun at[2];
        for (int i = 0; i < 2; ++i) {
            const int fps = i == 0 ? 30 : 60;
            at[i] = runViewer(objects, peers, h264, {fps, 1.0, 70, 8000}, seconds);
            const ViewerRun &r = at[i];
            std::printf("%-6s %5d %7.1f %8.1f %8.1f %9.1f %10.2f %7.0f %7d %6d %7d %10.2f  %s\n", codec, fps,
                        r.shownFps, r.lat.percentile(0.5), r.lat.percentile(0.95), r.host.fps, r.host.cpuPerFrameMs,
                        r.host.cpuPercent, r.canFps, r.sentKbps, r.targetKbps, r.viewerCpuPerFrameMs,
                        r.limit.isEmpty() ? "-" : qPrintable(r.limit));
            std::fflush(stdout);
            if (!r.ok)
                failures++;
        }
        const auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
        std::printf("%-6s ratio 60/30: shown %.2f, p50 %.2f, p95 %.2f, cpu per frame %.2f\n", codec,
                    ratio(at[1].shownFps, at[0].shownFps), ratio(at[1].lat.percentile(0.5), at[0].lat.percentile(0.5)),
                    ratio(at[1].lat.percentile(0.95), at[0].lat.percentile(0.95)),
                    ratio(at[1].host.cpuPerFrameMs, at[0].host.cpuPerFrameMs));
        const bool met = at[1].shownFps >= 45 && at[1].lat.percentile(0.5) >= 0 && at[1].lat.percentile(0.5) <= 30;
        std::printf("%-6s goal with 60 asked (>= 45 fps shown, p50 <= 30 ms): %s\n", codec, met ? "met" : "not met");
        std::fflush(stdout);
    }
    painter.stop();
    background.kill();
    background.waitForFinished(3000);
    return failures ? 1 : 0;
}

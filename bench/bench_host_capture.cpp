// The host sharing a busy screen: the X display in DISPLAY (1920 × 1080 in the test
// environment) shows a full-screen moving picture painted by a child process; a real
// velmo-remote-host (--source screen) captures and encodes it for the app's own viewer
// session over loopback. Printed: frames captured+encoded per second and host CPU per
// frame, H.264 and JPEG, next to a baseline measured in the same run — a bare
// ximagesrc → the same encoder settings → fakesink in a child process — and the host's
// CPU on an idle desktop with a viewer connected. Run it inside the test environment:
//   VELMO_TEST_DISPLAY=1 scripts/with-test-env.sh build/bench/bench_host_capture [SECONDS]
#include "config/AppConfig.h"
#include "media/PeerConnectionFactory.h"
#include "rendezvous/SignalingPort.h"
#include "session/RemoteSession.h"
#include "support/DevicePeers.h"
#include "support/HostFigures.h"
#include "support/TestEnv.h"
#include "support/ViewerObjects.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QPointer>
#include <QProcess>
#include <QTest>
#include <QThread>
#include <QWebSocket>

#include <gst/gst.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

namespace {

double selfCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The same encoder settings the host uses for a 30 fps viewer (host/capture/VideoEncoder.cpp).
QByteArray encoder(bool h264, int kbps, int q) {
    const QByteArray n = QByteArray::number(std::clamp(QThread::idealThreadCount(), 1, 8));
    if (!h264)
        return "videoconvertscale n-threads=" + n +
               " ! video/x-raw,format=I420,colorimetry=1:4:0:0 ! jpegenc quality=" + QByteArray::number(q);
    return "videoconvertscale n-threads=" + n +
           " ! video/x-raw,format=I420 ! x264enc tune=zerolatency speed-preset=ultrafast threads=" + n +
           " bitrate=" + QByteArray::number(kbps) +
           " vbv-buf-capacity=500 key-int-max=120 ! video/x-h264,profile=constrained-baseline";
}

// Child: paints the moving picture until killed.
int paint() {
    gst_init(nullptr, nullptr);
    GError *err = nullptr;
    GstElement *p = gst_parse_launch("videotestsrc is-live=true pattern=smpte horizontal-speed=6 ! "
                                     "video/x-raw,width=1920,height=1080,framerate=30/1 ! ximagesink sync=false",
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

// Child: the bare capture + encode, printing "frames cpu-seconds" after `seconds`.
int baseline(bool h264, int seconds) {
    gst_init(nullptr, nullptr);
    const QByteArray desc = "ximagesrc use-damage=false show-pointer=false ! video/x-raw,framerate=30/1 ! " +
                            encoder(h264, 8000, 70) + " ! fakesink name=out sync=false";
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
    QThread::sleep(2); // warm up
    const int f0 = frames;
    const double c0 = selfCpuSeconds();
    QThread::sleep(unsigned(seconds));
    std::printf("%d %.3f\n", frames - f0, selfCpuSeconds() - c0);
    std::fflush(stdout);
    gst_element_set_state(p, GST_STATE_NULL);
    return 0;
}

using Figures = HostFigures;

Figures runBaseline(const QString &self, bool h264, int seconds) {
    QProcess p;
    p.start(self, {QStringLiteral("--baseline"), h264 ? QStringLiteral("h264") : QStringLiteral("jpeg"),
                   QString::number(seconds)});
    p.waitForFinished((seconds + 20) * 1000);
    const QList<QByteArray> parts = p.readAllStandardOutput().trimmed().split(' ');
    Figures f;
    if (parts.size() == 2)
        f = Figures::fromCounts(parts[0].toInt(), parts[1].toDouble(), seconds);
    return f;
}

} // namespace

int main(int argc, char **argv) {
    if (argc >= 2 && qstrcmp(argv[1], "--paint") == 0)
        return paint();
    if (argc >= 4 && qstrcmp(argv[1], "--baseline") == 0)
        return baseline(qstrcmp(argv[2], "h264") == 0, atoi(argv[3]));
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::fprintf(stderr, "needs an X display: VELMO_TEST_DISPLAY=1 scripts/with-test-env.sh %s\n", argv[0]);
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
    if (!peers.startServer() || !peers.startHost() || !peers.waitForDevice()) {
        std::fprintf(stderr, "could not start the rendezvous server and the host\n");
        return 1;
    }
    const qint64 hostPid = peers.host().processId();

    QProcess painter;
    painter.start(self, {QStringLiteral("--paint")});
    QTest::qWait(1500);

    std::printf("%d cores; moving 1920x1080 picture at 30 fps; %d s per figure\n", QThread::idealThreadCount(),
                seconds);
    std::printf("%-6s %-9s %8s %14s %10s\n", "codec", "path", "fps", "cpu/frame ms", "cpu %core");
    for (const bool h264 : {true, false}) {
        const char *codec = h264 ? "h264" : "jpeg";
        const Figures base = runBaseline(self, h264, seconds);
        auto s = connectBenchViewer(objects, peers, h264 ? QStringLiteral("h264") : QStringLiteral("jpeg"));
        if (!s) {
            std::fprintf(stderr, "viewer did not connect\n");
            return 1;
        }
        const Figures host = measureHost(*s, hostPid, seconds);
        s->close();
        QTest::qWait(500);
        std::printf("%-6s %-9s %8.1f %14.2f %10.1f\n", codec, "baseline", base.fps, base.cpuPerFrameMs,
                    base.cpuPercent);
        std::printf("%-6s %-9s %8.1f %14.2f %10.1f\n", codec, "host", host.fps, host.cpuPerFrameMs, host.cpuPercent);
        std::printf("%-6s ratio host/baseline: fps %.2f, cpu per frame %.2f\n", codec,
                    base.fps > 0 ? host.fps / base.fps : 0,
                    base.cpuPerFrameMs > 0 ? host.cpuPerFrameMs / base.cpuPerFrameMs : 0);
        std::fflush(stdout);
    }

    // The desktop stops moving; a viewer stays connected.
    painter.kill();
    painter.waitForFinished(3000);
    for (const bool h264 : {true, false}) {
        auto s = connectBenchViewer(objects, peers, h264 ? QStringLiteral("h264") : QStringLiteral("jpeg"));
        if (!s)
            return 1;
        const Figures idle = measureHost(*s, hostPid, seconds);
        std::printf("idle desktop, %s viewer: host cpu %.2f %% of a core, %.1f frames/s sent\n", h264 ? "h264" : "jpeg",
                    idle.cpuPercent, idle.fps);
        std::fflush(stdout);
        s->close();
        QTest::qWait(500);
    }
    return 0;
}

// The picture through a slow link: the bench's private network namespace gets a
// token-bucket bottleneck on `lo` (tc tbf rate R burst 32kb latency 300ms), a full-motion
// 1920 × 1080 picture plays on the X display with a frame number painted over it 30 times
// a second, and the app's own viewer watches it through a real velmo-remote-host. For
// caps of 1, 2, 5 and 10 Mbit/s and a step (2 → 10 Mbit/s), H.264 and JPEG, printed: the
// frames shown per second, the picture's age p50/p95 (painted → decoded on the viewer's
// main thread), freezes (> 500 ms without a new picture), the bit rate used against the
// cap, key frames sent, and for the step how long the host's target took to reach the
// viewer's ceiling. The same runs against a host started with the `fixed_rate` hook (the
// viewer's kbps whatever the link does, JPEG not paced) are the baseline. Needs root in
// the namespace for tc:
//   VELMO_TEST_DISPLAY=1 scripts/with-test-env.sh build/bench/bench_host_link [SECONDS [h264|jpeg [adaptive|fixed]]]
// (the optional words run only that codec or that host).
#include "config/AppConfig.h"
#include "media/VideoFrameTap.h"
#include "session/RemoteSession.h"
#include "support/DevicePeers.h"
#include "support/TestEnv.h"
#include "support/ViewerObjects.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QProcess>
#include <QTest>
#include <QTimer>

#include <X11/Xlib.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <optional>
#include <vector>

namespace {
constexpr int kBits = 16;
constexpr int kBlock = 32;
constexpr int kLeft = 96, kTop = 96;
constexpr int kScreenW = 1920, kScreenH = 1080;

qint64 nowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::array<qint64, 65536> g_painted{};

// The frame number strip (as in bench_host_latency): bit i black or white in block i,
// the complement in blocks 16..31.
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
    void paint(quint16 n) {
        XRaiseWindow(m_dpy, m_win);
        for (int i = 0; i < 2 * kBits; ++i) {
            const bool bit = ((n >> (i % kBits)) & 1) != (i >= kBits);
            XFillRectangle(m_dpy, m_win, bit ? m_black : m_white, i * kBlock, 0, kBlock, kBlock);
        }
        XSync(m_dpy, False);
        g_painted[n] = nowUs();
    }

private:
    Display *m_dpy = nullptr;
    Window m_win = 0;
    GC m_black{}, m_white{};
};

std::optional<quint16> readCode(const QImage &img) {
    const double sx = double(img.width()) / kScreenW, sy = double(img.height()) / kScreenH;
    quint32 bits = 0;
    for (int i = 0; i < 2 * kBits; ++i) {
        const int cx = int((kLeft + i * kBlock + kBlock / 2) * sx), cy = int((kTop + kBlock / 2) * sy);
        int sum = 0, count = 0;
        const int r = std::max(1, int(3 * sx));
        for (int y = cy - r; y <= cy + r; ++y)
            for (int x = cx - r; x <= cx + r; ++x) {
                if (x < 0 || y < 0 || x >= img.width() || y >= img.height())
                    return std::nullopt;
                sum += qGray(img.pixel(x, y));
                ++count;
            }
        const int mean = sum / count;
        if (mean > 80 && mean < 176)
            return std::nullopt;
        if (mean <= 80)
            bits |= 1u << i;
    }
    const quint16 n = quint16(bits & 0xffff), check = quint16(bits >> kBits);
    if (quint16(~n) != check)
        return std::nullopt;
    return n;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}

bool shape(int kbit) {
    QProcess p;
    if (kbit <= 0)
        p.start(QStringLiteral("tc"), {"qdisc", "del", "dev", "lo", "root"});
    else
        p.start(QStringLiteral("tc"), {"qdisc", "replace", "dev", "lo", "root", "tbf", "rate",
                                       QStringLiteral("%1kbit").arg(kbit), "burst", "32kb", "latency", "300ms"});
    return p.waitForFinished(5000) && (kbit <= 0 || p.exitCode() == 0);
}

struct Figures {
    int frames = 0;
    double seconds = 0;
    std::vector<double> ageMs;
    int freezes = 0;
    double longestFreezeMs = 0;
    std::vector<int> kbps;
    qint64 keys = -1;
    double climbS = -1; // step: seconds until the target reached the ceiling
};

// One session of `seconds` through a cap of `kbit` (0: none); with `stepTo` the cap
// changes to that half-way and the climb of the target is timed.
Figures measure(ViewerObjects &objects, DevicePeers &peers, bool h264, const Quality &q, int kbit, int seconds,
                int stepTo = -1) {
    Figures f;
    shape(kbit);
    objects.config()->setVideoPref(h264 ? QStringLiteral("h264") : QStringLiteral("jpeg"));
    auto s = objects.sessionTo(peers, peers.autoPasscode(), QStringLiteral("bench"));
    s->start();
    if (!QTest::qWaitFor([&] { return s->state() == RemoteSession::State::Connected; }, 20000)) {
        std::fprintf(stderr, "viewer did not connect: %s\n", qPrintable(s->failureText()));
        return f;
    }
    s->setQuality(q);
    bool measuring = false;
    qint64 lastNewUs = 0;
    quint16 lastCode = 0;
    std::array<bool, 65536> seen{};
    auto look = [&](const QImage &picture) {
        if (!measuring || picture.isNull())
            return;
        const qint64 at = nowUs();
        const auto n = readCode(picture);
        if (!n || seen[*n] || *n == lastCode)
            return;
        seen[*n] = true;
        lastCode = *n;
        ++f.frames;
        if (g_painted[*n] > 0)
            f.ageMs.push_back(double(at - g_painted[*n]) / 1000.0);
        if (lastNewUs > 0 && at - lastNewUs > 500000) {
            ++f.freezes;
            f.longestFreezeMs = std::max(f.longestFreezeMs, double(at - lastNewUs) / 1000.0);
        }
        lastNewUs = at;
    };
    QObject::connect(s.get(), &RemoteSession::videoFrameAvailable, s.get(), [&] { look(s->tap()->latestImage()); });
    QObject::connect(s.get(), &RemoteSession::imageChanged, s.get(), [&] { look(s->image()); });
    QObject::connect(s.get(), &RemoteSession::statsChanged, s.get(), [&] {
        if (measuring)
            f.kbps.push_back(s->stats().value("kbps").toInt());
    });
    QTest::qWait(3000); // connected, the first key frame, the estimate finds its feet
    const qint64 keys0 = s->stats().value("keys").toInteger(-1);
    measuring = true;
    lastNewUs = nowUs();
    QElapsedTimer t;
    t.start();
    if (stepTo >= 0) {
        QTest::qWait(seconds * 500);
        shape(stepTo);
        QElapsedTimer climb;
        climb.start();
        while (climb.elapsed() < seconds * 1000) {
            QTest::qWait(100);
            if (f.climbS < 0 && s->stats().value("target").toInt() >= q.kbps)
                f.climbS = double(climb.elapsed()) / 1000.0;
        }
    } else {
        QTest::qWait(seconds * 1000);
    }
    measuring = false;
    f.seconds = double(t.elapsed()) / 1000.0;
    if (lastNewUs > 0 && nowUs() - lastNewUs > 500000) {
        ++f.freezes;
        f.longestFreezeMs = std::max(f.longestFreezeMs, double(nowUs() - lastNewUs) / 1000.0);
    }
    const qint64 keys1 = s->stats().value("keys").toInteger(-1);
    if (keys0 >= 0 && keys1 >= 0)
        f.keys = keys1 - keys0;
    s->close();
    QTest::qWait(800);
    shape(0);
    return f;
}

void row(const char *codec, const char *run, const QString &link, const Figures &f, int capKbit) {
    std::vector<double> kb(f.kbps.begin(), f.kbps.end());
    const double used = percentile(kb, 0.5);
    std::printf("%-5s %-8s %-10s %6.1f %8.0f %8.0f %4d %7.0f %7.0f %6s %5s %6s\n", codec, run, qPrintable(link),
                f.seconds > 0 ? f.frames / f.seconds : 0.0, percentile(f.ageMs, 0.5), percentile(f.ageMs, 0.95),
                f.freezes, f.longestFreezeMs, used,
                capKbit > 0 ? qPrintable(QString::number(100.0 * used / capKbit, 'f', 0) + "%") : "-",
                f.keys >= 0 ? qPrintable(QString::number(f.keys)) : "-",
                f.climbS >= 0 ? qPrintable(QString::number(f.climbS, 'f', 1) + "s") : "-");
    std::fflush(stdout);
}
} // namespace

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::fprintf(stderr, "needs an X display: VELMO_TEST_DISPLAY=1 scripts/with-test-env.sh %s\n", argv[0]);
        return 2;
    }
    const int seconds = argc >= 2 ? std::max(4, atoi(argv[1])) : 10;
    const QString onlyCodec = argc >= 3 ? QString::fromLocal8Bit(argv[2]) : QString();
    const QString onlyRun = argc >= 4 ? QString::fromLocal8Bit(argv[3]) : QString();
    TestEnv env;
    QGuiApplication app(argc, argv);
    gst_init(nullptr, nullptr);
    {
        QProcess ip;
        ip.start(QStringLiteral("ip"), {"link", "set", "lo", "mtu", "1500"});
        ip.waitForFinished(5000);
    }
    if (!shape(100000)) {
        std::fprintf(stderr, "tc needs root in the namespace (scripts/with-test-env.sh gives one)\n");
        return 2;
    }
    shape(0);
    ViewerObjects objects;
    if (const QString error = objects.waitForWebRtc(); !error.isEmpty()) {
        std::fprintf(stderr, "WebRTC set-up did not finish: %s\n", qPrintable(error));
        return 1;
    }
    QProcess background;
    background.start(QStringLiteral("gst-launch-1.0"),
                     {"-q", "videotestsrc", "is-live=true", "pattern=smpte", "horizontal-speed=3", "!",
                      "video/x-raw,width=1920,height=1080,framerate=30/1", "!", "ximagesink", "sync=false"});
    QTest::qWait(1500);
    CodeStrip strip;
    if (!strip.open()) {
        std::fprintf(stderr, "cannot open the display\n");
        return 1;
    }
    quint16 next = 1;
    QTimer painter;
    painter.setTimerType(Qt::PreciseTimer);
    painter.setInterval(33);
    QObject::connect(&painter, &QTimer::timeout, &painter, [&] { strip.paint(next++); });
    painter.start();

    std::printf("%d cores; 1920x1080 scrolling colour bars, frame number painted at 30 Hz; %d s per figure;\n"
                "viewer asks 30 fps, scale 1, q 70, 8000 kbps (\"quality\": 10 fps, scale 1, q 70, 8000 kbps)\n",
                QThread::idealThreadCount(), seconds);
    std::printf("%-5s %-8s %-10s %6s %8s %8s %4s %7s %7s %6s %5s %6s\n", "codec", "run", "link", "fps", "age p50",
                "age p95", "frz", "frz max", "kbps", "of cap", "keys", "climb");
    const Quality asked{30, 1.0, 70, 8000};
    const Quality qualityPreset{10, 1.0, 70, 8000};
    for (const bool adaptive : {true, false}) {
        if (!onlyRun.isEmpty() && onlyRun != QLatin1String(adaptive ? "adaptive" : "fixed"))
            continue;
        DevicePeers peers;
        peers.setHostSource(QStringLiteral("screen"));
        if (!peers.startServer() || !peers.startHost(adaptive ? QString() : QStringLiteral("fixed_rate")) ||
            !peers.waitForDevice()) {
            std::fprintf(stderr, "could not start the rendezvous server and the host\n");
            return 1;
        }
        const char *run = adaptive ? "adaptive" : "fixed";
        for (const bool h264 : {true, false}) {
            const char *codec = h264 ? "h264" : "jpeg";
            if (!onlyCodec.isEmpty() && onlyCodec != QLatin1String(codec))
                continue;
            for (const int cap : {1000, 2000, 5000, 10000})
                row(codec, run, QStringLiteral("%1M").arg(cap / 1000),
                    measure(objects, peers, h264, asked, cap, seconds), cap);
            row(codec, run, QStringLiteral("5M qual"), measure(objects, peers, h264, qualityPreset, 5000, seconds),
                5000);
            row(codec, run, QStringLiteral("2M->10M"), measure(objects, peers, h264, asked, 2000, seconds, 10000),
                10000);
            row(codec, run, QStringLiteral("none"), measure(objects, peers, h264, asked, 0, seconds), 0);
        }
    }
    painter.stop();
    background.kill();
    background.waitForFinished(3000);
    return 0;
}

// Input latency of the real host: an "md" sent by a viewer on the `input` data channel
// → the ButtonPress an X client receives, next to a bare XTest button press from this
// process → the same client's ButtonPress, measured in the same run on the same
// display. The agent and the rendezvous server are started here on 127.0.0.1.
// Run inside the test environment with a display:
//   VELMO_TEST_DISPLAY=1 scripts/with-test-env.sh build/bench/bench_host_input [RUNS]
#include "support/DevicePeers.h"
#include "support/DeviceTestViewer.h"
#include "support/TestEnv.h"
#include "support/XEventWindow.h"

#include <QCoreApplication>
#include <QTest>

#include <gst/gst.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include <time.h>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace {
qint64 nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

// One press → ButtonPress sample in ms, or a negative value when the event never came.
template <typename Press, typename Release> double sample(XEventWindow &x, Press press, Release release) {
    x.clear();
    const qint64 t0 = nowNs();
    press();
    const auto *down =
        x.waitFor([](const auto &e) { return e.kind == XEventWindow::ButtonDown && e.button == 1; }, 5000);
    const double ms = down ? double(down->atNs - t0) / 1e6 : -1;
    release();
    x.waitFor([](const auto &e) { return e.kind == XEventWindow::ButtonUp && e.button == 1; }, 5000);
    // Let the viewer's own queued work run between samples.
    QCoreApplication::processEvents();
    return ms;
}
} // namespace

int main(int argc, char **argv) {
    TestEnv env;
    QCoreApplication app(argc, argv);
    gst_init(nullptr, nullptr);
    const int runs = argc > 1 ? std::max(10, atoi(argv[1])) : 300;
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::fprintf(stderr, "needs an X display: VELMO_TEST_DISPLAY=1 scripts/with-test-env.sh %s\n", argv[0]);
        return 2;
    }
    XEventWindow x;
    QString error;
    if (!x.open(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    DevicePeers peers;
    if (!peers.startServer() || !peers.startHost() || !peers.waitForDevice()) {
        std::fprintf(stderr, "could not start the rendezvous server and the agent\n");
        return 1;
    }
    auto viewer = peers.viewer(peers.autoPasscode());
    if (!QTest::qWaitFor([&] { return viewer->count("auth_ok") == 1 && viewer->channelsOpen(); }, 20000)) {
        std::fprintf(stderr, "the viewer did not get in\n");
        return 1;
    }
    Display *bare = XOpenDisplay(nullptr);
    if (!bare)
        return 1;

    std::vector<double> viaAgent, baseline;
    int lost = 0;
    for (int i = 0; i < runs + 10; ++i) {
        const int px = 100 + i % 200;
        const double a = sample(
            x,
            [&] {
                viewer->sendInput({{"t", "md"}, {"b", 0}, {"x", px}, {"y", 100}});
            },
            [&] {
                viewer->sendInput({{"t", "mu"}, {"b", 0}, {"x", px}, {"y", 100}});
            });
        const double b = sample(
            x,
            [&] {
                XTestFakeButtonEvent(bare, 1, True, CurrentTime);
                XFlush(bare);
            },
            [&] {
                XTestFakeButtonEvent(bare, 1, False, CurrentTime);
                XFlush(bare);
            });
        if (i < 10)
            continue; // warm-up
        if (a < 0 || b < 0) {
            ++lost;
            continue;
        }
        viaAgent.push_back(a);
        baseline.push_back(b);
    }
    XCloseDisplay(bare);
    viewer->close();

    const double p50 = percentile(viaAgent, 0.5), p95 = percentile(viaAgent, 0.95);
    const double b50 = percentile(baseline, 0.5), b95 = percentile(baseline, 0.95);
    std::printf("host input latency, %zu samples (%d lost)\n", viaAgent.size(), lost);
    std::printf("  \"md\" on the data channel -> ButtonPress   p50 %.3f ms  p95 %.3f ms\n", p50, p95);
    std::printf("  bare XTest call -> ButtonPress (baseline) p50 %.3f ms  p95 %.3f ms\n", b50, b95);
    std::printf("  added by the agent path: p50 +%.3f ms (ratio %.1f), goal p50 <= 5 ms: %s\n", p50 - b50,
                b50 > 0 ? p50 / b50 : 0.0, p50 <= 5.0 ? "met" : "NOT met");
    return 0;
}

// Clipboard pictures through the real host: a PNG of about 4 MB copied by an X client
// on the host's display → whole at a viewer, and a viewer's copy → pasted by that X
// client, next to the largest clipboard text (1 MiB) over the same paths in the same
// run as the baseline. The agent and the rendezvous server are started here on
// 127.0.0.1; the viewer is the scripted one the device tests use.
// Run inside the test environment with a display:
//   VELMO_TEST_DISPLAY=1 scripts/with-test-env.sh build/bench/bench_host_clipboard [RUNS]
#include "support/DevicePeers.h"
#include "support/DeviceTestViewer.h"
#include "support/NoisePicture.h"
#include "support/TestEnv.h"
#include "support/XClipboardClient.h"
#include "transfer/ClipImage.h"
#include "transfer/ClipText.h"

#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QImage>
#include <QRandomGenerator>
#include <QTest>

#include <gst/gst.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

namespace {
double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}
} // namespace

int main(int argc, char **argv) {
    TestEnv env;
    QApplication app(argc, argv);
    gst_init(nullptr, nullptr);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 3;
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::fprintf(stderr, "needs an X display: VELMO_TEST_DISPLAY=1 scripts/with-test-env.sh %s\n", argv[0]);
        return 2;
    }
    XClipboardClient editor;
    DevicePeers peers;
    if (!editor.ok() || !peers.startServer() || !peers.startHost() || !peers.waitForDevice()) {
        std::fprintf(stderr, "could not start the rendezvous server and the agent\n");
        return 1;
    }
    auto viewer = peers.viewer(peers.autoPasscode());
    if (!QTest::qWaitFor([&] { return viewer->count("auth_ok") == 1 && viewer->channelsOpen(); }, 20000) ||
        !QTest::qWaitFor([&] { return viewer->last("perm").value("clip").toBool(); }, 10000)) {
        std::fprintf(stderr, "the viewer did not get in with the clip right\n");
        return 1;
    }
    ClipImage imageIn;
    ClipText textIn;
    std::optional<QByteArray> gotImage;
    std::optional<QString> gotText;
    QObject::connect(viewer.get(), &DeviceTestViewer::ctrlReceived, [&](const QJsonObject &m) {
        if (m.value("t").toString() == ClipImage::tag)
            if (auto png = imageIn.add(m))
                gotImage = png;
        if (m.value("t").toString() == ClipText::tag)
            if (auto text = textIn.add(m))
                gotText = text;
    });

    std::vector<double> imageToViewer, imageToHost, textToViewer, textToHost;
    qsizetype pngBytes = 0;
    int failed = 0;
    for (int i = 0; i < runs; ++i) {
        const QByteArray png = noisePng(1000, 1000);
        pngBytes = png.size();
        const QString text(int(ClipText::maxBytes), QChar(u'a' + i % 26));
        QElapsedTimer clock;

        // Host → viewer: from the X client's copy to the whole PNG at the viewer.
        gotImage.reset();
        clock.start();
        editor.copyImage(png);
        if (QTest::qWaitFor([&] { return gotImage.has_value(); }, 30000) && *gotImage == png)
            imageToViewer.push_back(double(clock.nsecsElapsed()) / 1e6);
        else
            ++failed;
        gotText.reset();
        clock.start();
        editor.copy(text);
        if (QTest::qWaitFor([&] { return gotText.has_value(); }, 30000) && *gotText == text)
            textToViewer.push_back(double(clock.nsecsElapsed()) / 1e6);
        else
            ++failed;

        // Viewer → host: from the first part sent to a paste that gets the new bytes.
        const QByteArray back = noisePng(1000, 1000);
        clock.start();
        for (const QJsonObject &part : ClipImage::split(back, quint32(2 * i + 1)))
            viewer->sendCtrl(part);
        if (QTest::qWaitFor([&] { return editor.pasteImage(1000) == back; }, 30000))
            imageToHost.push_back(double(clock.nsecsElapsed()) / 1e6);
        else
            ++failed;
        const QString textBack(int(ClipText::maxBytes), QChar(u'A' + i % 26));
        clock.start();
        for (const QJsonObject &part : ClipText::split(textBack, quint32(2 * i + 2)))
            viewer->sendCtrl(part);
        if (QTest::qWaitFor([&] { return editor.paste(1000) == textBack; }, 30000))
            textToHost.push_back(double(clock.nsecsElapsed()) / 1e6);
        else
            ++failed;
        // The agent's budget for a viewer's texts (128 Ki units a second) refills
        // between rounds, so the next 1 MiB is not dropped.
        QTest::qWait(8500);
    }
    viewer->close();

    const double iv = median(imageToViewer), ih = median(imageToHost);
    const double tv = median(textToViewer), th = median(textToHost);
    std::printf("clipboard through the host, %d runs (%d failed), medians\n", runs, failed);
    std::printf("  PNG %.2f MB  host copy -> viewer %.1f ms   viewer copy -> host paste %.1f ms\n",
                double(pngBytes) / 1e6, iv, ih);
    std::printf("  text 1 MiB (baseline)  host copy -> viewer %.1f ms   viewer copy -> host paste %.1f ms\n", tv, th);
    std::printf("  per MB, PNG against text: to the viewer %.2f, to the host %.2f\n",
                tv > 0 ? (iv / (double(pngBytes) / 1e6)) / (tv / (double(ClipText::maxBytes) / 1e6)) : 0.0,
                th > 0 ? (ih / (double(pngBytes) / 1e6)) / (th / (double(ClipText::maxBytes) / 1e6)) : 0.0);
    return failed == 0 ? 0 : 1;
}

// A host whose monitor is 4K (3840 × 2160, the test's Xvfb): velmo-remote-host shares it
// at full size, the picture has the colours painted at the far corner where they were
// painted, and presses on the frame's pixels, the last row and column included, reach
// the X server at the same pixels.
#include "support/DevicePeers.h"
#include "support/DeviceTestViewer.h"
#include "support/TestEnv.h"
#include "support/XEventWindow.h"

#include <QCoreApplication>
#include <QTest>

#include <X11/Xlib.h>

#include <gst/gst.h>

namespace {
constexpr int kWidth = 3840, kHeight = 2160;

bool near(QRgb px, QRgb want) {
    return std::abs(qRed(px) - qRed(want)) <= 40 && std::abs(qGreen(px) - qGreen(want)) <= 40 &&
           std::abs(qBlue(px) - qBlue(want)) <= 40;
}
} // namespace

class TestHost4k : public QObject {
    Q_OBJECT
    DevicePeers m_peers;
    QString m_passcode; // fixed: viewers come one after another

    std::unique_ptr<DeviceTestViewer> fullSizeViewer() {
        auto v = m_peers.viewer(m_passcode);
        if (!QTest::qWaitFor([&] { return v->count("auth_ok") == 1 && v->channelsOpen(); }, 15000))
            return nullptr;
        v->sendCtrl({{"t", "quality"}, {"fps", 5}, {"scale", 1.0}, {"q", 70}, {"kbps", 8000}});
        return v;
    }

private Q_SLOTS:
    void initTestCase() {
        gst_init(nullptr, nullptr);
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            QSKIP("needs the test environment's Xvfb");
        Display *dpy = XOpenDisplay(nullptr);
        QVERIFY(dpy);
        const QSize screen(DisplayWidth(dpy, DefaultScreen(dpy)), DisplayHeight(dpy, DefaultScreen(dpy)));
        XCloseDisplay(dpy);
        QCOMPARE(screen, QSize(kWidth, kHeight));
        QVERIFY(m_peers.startServer());
        m_peers.setHostSource(QStringLiteral("screen"));
        QVERIFY(m_peers.startHost());
        QVERIFY(m_peers.waitForDevice());
        m_passcode = m_peers.useFixedPasscode(QStringLiteral("steady-code-1"));
        QVERIFY(!m_passcode.isEmpty());
    }

    void pictureAtFullSize() {
        // Quarters of the screen in four colours and a magenta 64-pixel square in the
        // bottom right corner, on an override-redirect window over the whole screen.
        Display *dpy = XOpenDisplay(nullptr);
        QVERIFY(dpy);
        XSetWindowAttributes attrs{};
        attrs.override_redirect = True;
        const Window win = XCreateWindow(dpy, DefaultRootWindow(dpy), 0, 0, kWidth, kHeight, 0, CopyFromParent,
                                         InputOutput, CopyFromParent, CWOverrideRedirect, &attrs);
        XMapRaised(dpy, win);
        GC gc = XCreateGC(dpy, win, 0, nullptr);
        const struct {
            QRect r;
            QRgb c;
        } areas[] = {{{0, 0, kWidth / 2, kHeight / 2}, qRgb(255, 0, 0)},
                     {{kWidth / 2, 0, kWidth / 2, kHeight / 2}, qRgb(0, 255, 0)},
                     {{0, kHeight / 2, kWidth / 2, kHeight / 2}, qRgb(0, 0, 255)},
                     {{kWidth / 2, kHeight / 2, kWidth / 2, kHeight / 2}, qRgb(255, 255, 255)},
                     {{kWidth - 64, kHeight - 64, 64, 64}, qRgb(255, 0, 255)}};
        auto paint = [&] {
            for (const auto &a : areas) {
                XSetForeground(dpy, gc, a.c & 0xffffff);
                XFillRectangle(dpy, win, gc, a.r.x(), a.r.y(), unsigned(a.r.width()), unsigned(a.r.height()));
            }
            XSync(dpy, False);
        };
        paint();
        auto v = fullSizeViewer();
        QVERIFY(v);
        // Painted again while frames come: the first map may race the first paint.
        const bool seen = QTest::qWaitFor(
            [&] {
                paint();
                if (v->frames.isEmpty() || v->frames.last().size() != QSize(kWidth, kHeight))
                    return false;
                const QImage &f = v->frames.last();
                return near(f.pixel(kWidth - 32, kHeight - 32), areas[4].c) &&
                       near(f.pixel(kWidth - 70, kHeight - 32), areas[3].c);
            },
            30000);
        QVERIFY2(
            seen,
            qPrintable(
                v->frames.isEmpty()
                    ? QStringLiteral("no frame")
                    : QStringLiteral("last frame %1x%2").arg(v->frames.last().width()).arg(v->frames.last().height())));
        const QImage f = v->frames.last();
        QVERIFY(near(f.pixel(100, 100), areas[0].c));
        QVERIFY(near(f.pixel(kWidth - 100, 100), areas[1].c));
        QVERIFY(near(f.pixel(100, kHeight - 100), areas[2].c));
        XFreeGC(dpy, gc);
        XDestroyWindow(dpy, win);
        XCloseDisplay(dpy);
    }

    void pressesOnEveryPixel() {
        XEventWindow x;
        QString error;
        QVERIFY2(x.open(&error), qPrintable(error));
        auto v = fullSizeViewer();
        QVERIFY(v);
        QTRY_VERIFY_WITH_TIMEOUT(!v->frameSizes.isEmpty() && v->frameSizes.last() == QSize(kWidth, kHeight), 30000);
        for (const QPoint p : {QPoint(0, 0), QPoint(1, 1), QPoint(2345, 1234), QPoint(kWidth - 2, kHeight - 2),
                               QPoint(kWidth - 1, kHeight - 1)}) {
            v->sendInput({{"t", "md"}, {"b", 0}, {"x", p.x()}, {"y", p.y()}});
            v->sendInput({{"t", "mu"}, {"b", 0}, {"x", p.x()}, {"y", p.y()}});
            const auto *down =
                x.waitFor([](const auto &e) { return e.kind == XEventWindow::ButtonDown && e.button == 1; }, 5000);
            QVERIFY2(down, qPrintable(QStringLiteral("%1,%2").arg(p.x()).arg(p.y())));
            QCOMPARE(QPoint(down->x, down->y), p);
            QVERIFY(x.waitFor([](const auto &e) { return e.kind == XEventWindow::ButtonUp; }, 5000));
        }
    }
};

int main(int argc, char **argv) {
    TestEnv env;
    QCoreApplication app(argc, argv);
    TestHost4k t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_host_4k.moc"

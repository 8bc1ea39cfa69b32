// The host sharing a real X display: this test is an X client of the private Xvfb and
// paints known colours at known places; velmo-remote-host captures that display
// (--source screen) and the app's own viewer session must find the same colours at the
// same places in the decoded picture, in both video paths, with the host's pointer drawn
// in, the displays listed from RandR and a layout or mode change followed live.
#include "config/AppConfig.h"
#include "media/PeerConnectionFactory.h"
#include "rendezvous/SignalingPort.h"
#include "session/RemoteSession.h"
#include "support/DevicePeers.h"
#include "support/TestEnv.h"
#include "support/ViewerObjects.h"
#include "support/WsSignalingPort.h"

#include <QDir>
#include <QGuiApplication>
#include <QJsonArray>
#include <QMap>
#include <QPointer>
#include <QProcess>
#include <QTest>
#include <QWebSocket>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <memory>

using State = RemoteSession::State;

namespace {
class Painter {
public:
    Painter() {
        m_dpy = XOpenDisplay(nullptr);
        if (!m_dpy)
            return;
        const Window root = DefaultRootWindow(m_dpy);
        XSetWindowAttributes attrs{};
        attrs.override_redirect = True;
        attrs.event_mask = StructureNotifyMask;
        m_win = XCreateWindow(m_dpy, root, 0, 0, 1920, 1080, 0, CopyFromParent, InputOutput, CopyFromParent,
                              CWOverrideRedirect | CWEventMask, &attrs);
        m_gc = XCreateGC(m_dpy, m_win, 0, nullptr);
        const char bits[32] = {
            -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
            -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
        };
        Pixmap shape = XCreateBitmapFromData(m_dpy, m_win, bits, 16, 16);
        XColor yellow{};
        yellow.red = yellow.green = 0xffff;
        yellow.blue = 0;
        yellow.flags = DoRed | DoGreen | DoBlue;
        XColor black{};
        const Cursor cursor = XCreatePixmapCursor(m_dpy, shape, shape, &yellow, &black, 0, 0);
        XDefineCursor(m_dpy, m_win, cursor);
        XFreePixmap(m_dpy, shape);
        XMapRaised(m_dpy, m_win);
        XEvent ev;
        do
            XNextEvent(m_dpy, &ev);
        while (ev.type != MapNotify);
        paint(QColor(0, 0, 0));
    }
    ~Painter() {
        if (!m_dpy)
            return;
        XFreeGC(m_dpy, m_gc);
        XDestroyWindow(m_dpy, m_win);
        XCloseDisplay(m_dpy);
    }
    bool ok() const { return m_dpy != nullptr; }

    void fill(const QRect &r, const QColor &c) {
        XSetForeground(m_dpy, m_gc, (ulong(c.red()) << 16) | (ulong(c.green()) << 8) | ulong(c.blue()));
        XFillRectangle(m_dpy, m_win, m_gc, r.x(), r.y(), unsigned(r.width()), unsigned(r.height()));
        XSync(m_dpy, False);
    }
    // The quarters, and `middle` in the square at 760,340 400 × 400.
    void paint(const QColor &middle) {
        fill({0, 0, 960, 540}, Qt::red);
        fill({960, 0, 960, 540}, Qt::green);
        fill({0, 540, 960, 540}, Qt::blue);
        fill({960, 540, 960, 540}, Qt::white);
        fill({760, 340, 400, 400}, middle);
    }
    void warp(int x, int y) {
        XWarpPointer(m_dpy, None, DefaultRootWindow(m_dpy), 0, 0, 0, 0, x, y);
        XSync(m_dpy, False);
    }

private:
    Display *m_dpy = nullptr;
    Window m_win = 0;
    GC m_gc = nullptr;
};

bool near(QRgb px, const QColor &want, int tolerance) {
    return std::abs(qRed(px) - want.red()) <= tolerance && std::abs(qGreen(px) - want.green()) <= tolerance &&
           std::abs(qBlue(px) - want.blue()) <= tolerance;
}

QString describe(const QImage &img, QPoint p) {
    if (img.isNull() || !img.rect().contains(p))
        return QStringLiteral("no pixel at %1,%2 of %3x%4").arg(p.x()).arg(p.y()).arg(img.width()).arg(img.height());
    const QRgb px = img.pixel(p);
    return QStringLiteral("%1,%2 is %3 %4 %5").arg(p.x()).arg(p.y()).arg(qRed(px)).arg(qGreen(px)).arg(qBlue(px));
}

bool xrandr(const QStringList &args) {
    QProcess p;
    p.start(QStringLiteral("xrandr"), args);
    return p.waitForFinished(10000) && p.exitCode() == 0;
}

// Threads of the host named `name` (capture threads, encoder threads).
int hostThreads(qint64 pid, const QString &name) {
    int n = 0;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString &t : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(t + QStringLiteral("/comm")));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == name.toUtf8())
            ++n;
    }
    return n;
}
} // namespace

class TestDeviceScreen : public QObject {
    Q_OBJECT
    ViewerObjects objects;

private:
    std::unique_ptr<RemoteSession> session(DevicePeers &peers, const QString &videoPref) {
        objects.config()->setVideoPref(videoPref);
        auto s = objects.sessionTo(peers, peers.autoPasscode(), QStringLiteral("Screen"));
        s->start();
        return s;
    }
    static bool startPeers(DevicePeers &peers) {
        peers.setHostSource(QStringLiteral("screen"));
        return peers.startServer() && peers.startHost() && peers.waitForDevice();
    }
    static QImage picture(RemoteSession &s) {
        return s.videoMode() == QLatin1String("h264") ? s.snapshot() : s.image();
    }
    // Waits until the picture has this size and these colours at these places.
    static bool shows(RemoteSession &s, QSize size, const QList<QPair<QPoint, QColor>> &expected, int tolerance,
                      QString *why, int ms = 15000) {
        const bool ok = QTest::qWaitFor(
            [&] {
                const QImage img = picture(s);
                if (img.size() != size) {
                    *why = QStringLiteral("picture is %1x%2").arg(img.width()).arg(img.height());
                    return false;
                }
                for (const auto &[p, c] : expected)
                    if (!near(img.pixel(p), c, tolerance)) {
                        *why = describe(img, p);
                        return false;
                    }
                return true;
            },
            ms);
        return ok;
    }
    static const QList<QPair<QPoint, QColor>> &quarters() {
        static const QList<QPair<QPoint, QColor>> q = {
            {{300, 200}, Qt::red}, {{1600, 200}, Qt::green}, {{300, 900}, Qt::blue}, {{1600, 900}, Qt::white}};
        return q;
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY2(!qEnvironmentVariableIsEmpty("DISPLAY"), "needs the test environment's Xvfb");
        QCOMPARE(objects.waitForWebRtc(), QString());
    }

    void cleanup() {
        // Every case starts from one 1920 × 1080 display.
        xrandr({"--delmonitor", "left"});
        xrandr({"--delmonitor", "right"});
        xrandr({"--output", "screen", "--mode", "1920x1080"});
    }

    void jpegPictureIsTheScreenInFullRange() {
        Painter painter;
        QVERIFY(painter.ok());
        painter.warp(200, 900);
        DevicePeers peers;
        QVERIFY(startPeers(peers));
        const QJsonObject status = peers.status();
        QCOMPARE(status.value("screenPerm").toString(), QStringLiteral("unneeded"));
        QCOMPARE(status.value("backend").toString(), QStringLiteral("x11"));
        QCOMPARE(status.value("screenError").toString(), QString());
        QVERIFY2(status.value("encoder").toString().contains("x264enc"),
                 qPrintable(status.value("encoder").toString()));
        QCOMPARE(status.value("monitors").toArray().size(), 1);
        // The server's thumbnail is a picture of the screen.
        QImage thumb;
        QTRY_VERIFY_WITH_TIMEOUT(
            !(thumb = QImage::fromData(peers.restBytes("api/v1/devices/" + peers.deviceId() + "/thumb"))).isNull(),
            5000);
        QCOMPARE(thumb.size(), QSize(320, 180));
        QVERIFY2(near(thumb.pixel(40, 30), Qt::red, 8) && near(thumb.pixel(280, 150), Qt::white, 8),
                 qPrintable(describe(thumb, {40, 30})));

        auto s = session(peers, QStringLiteral("jpeg"));
        QVERIFY2(QTest::qWaitFor([&] { return s->state() == State::Connected; }, 15000), qPrintable(s->failureText()));
        QCOMPARE(s->videoMode(), QStringLiteral("jpeg"));
        // The one RandR monitor of Xvfb, primary since the server names none.
        QCOMPARE(s->monitors().size(), 1);
        QCOMPARE(s->monitors().first().name, QStringLiteral("screen"));
        QCOMPARE(QSize(s->monitors().first().w, s->monitors().first().h), QSize(1920, 1080));
        QVERIFY(s->monitors().first().primary);
        s->setQuality({30, 1.0, 90, 8000});

        QString why;
        auto expected = quarters();
        // Black decodes as 0 and white as 255: the JPEG is full range.
        expected += {{{960, 540}, QColor(0, 0, 0)}, {{208, 908}, QColor(255, 255, 0)}};
        QVERIFY2(shows(*s, {1920, 1080}, expected, 12, &why), qPrintable(why));
        // Exactly: whatever the quality.
        for (const int q : {40, 70, 90}) {
            s->setQuality({30, 1.0, q, 8000});
            QTest::qWait(600);
            QVERIFY2(shows(*s, {1920, 1080}, quarters(), 24, &why), qPrintable(why));
            const QImage img = s->image();
            QCOMPARE(img.pixel(960, 540), qRgb(0, 0, 0));
            QCOMPARE(img.pixel(1600, 900), qRgb(255, 255, 255));
        }
        // The host's pointer: its position in frame pixels and its shape in the picture.
        QTRY_COMPARE_WITH_TIMEOUT(s->cursor(), QPointF(200, 900), 5000);

        // A change on the screen (damage) and a pointer move (no damage) both reach the viewer.
        painter.fill({760, 340, 400, 400}, QColor(255, 0, 255));
        painter.warp(1500, 300);
        QVERIFY2(
            shows(*s, {1920, 1080}, {{{960, 540}, QColor(255, 0, 255)}, {{1508, 308}, QColor(255, 255, 0)}}, 12, &why),
            qPrintable(why));
        QTRY_COMPARE_WITH_TIMEOUT(s->cursor(), QPointF(1500, 300), 5000);

        // At half scale the picture and the pointer are in the smaller frame's pixels.
        s->setQuality({30, 0.5, 90, 8000});
        QVERIFY2(shows(*s, {960, 540}, {{{150, 100}, Qt::red}, {{800, 450}, Qt::white}}, 16, &why), qPrintable(why));
        QTRY_COMPARE_WITH_TIMEOUT(s->cursor(), QPointF(750, 150), 5000);
        s->close();
    }

    void h264PictureIsTheScreen() {
        Painter painter;
        QVERIFY(painter.ok());
        painter.warp(1900, 1060);
        DevicePeers peers;
        QVERIFY(startPeers(peers));
        auto s = session(peers, QStringLiteral("h264"));
        QVERIFY2(QTest::qWaitFor([&] { return s->state() == State::Connected; }, 15000), qPrintable(s->failureText()));
        QCOMPARE(s->videoMode(), QStringLiteral("h264"));
        s->setQuality({30, 1.0, 90, 8000});
        QString why;
        auto expected = quarters();
        expected += {{{960, 540}, QColor(0, 0, 0)}};
        QVERIFY2(shows(*s, {1920, 1080}, expected, 40, &why), qPrintable(why));
        QTRY_VERIFY_WITH_TIMEOUT(s->stats().value("enc").toString() == QLatin1String("x264enc"), 5000);
        // A change after the first key frame arrives as well.
        painter.fill({760, 340, 400, 400}, Qt::white);
        QVERIFY2(shows(*s, {1920, 1080}, {{{960, 540}, Qt::white}}, 40, &why), qPrintable(why));
        s->close();
    }

    void h264StillPictureSettlesAtALowRate() {
        // At a low rate the first key frame of a 1080p screen is squeezed into a few
        // kilobytes and comes out grey; with nothing moving afterwards the picture must
        // still settle on what the screen shows.
        Painter painter;
        QVERIFY(painter.ok());
        for (int x = 0; x < 480; x += 40)
            for (int y = 0; y < 240; y += 40)
                painter.fill({1200 + x, 760 + y, 20, 20}, Qt::yellow);
        painter.warp(1900, 1060);
        DevicePeers peers;
        QVERIFY(startPeers(peers));
        auto s = session(peers, QStringLiteral("h264"));
        s->setQuality({30, 1.0, 90, 1000});
        QVERIFY2(QTest::qWaitFor([&] { return s->state() == State::Connected; }, 15000), qPrintable(s->failureText()));
        QString why;
        auto expected = quarters();
        expected += {{{1210, 770}, Qt::yellow}, {{1650, 970}, Qt::yellow}, {{1230, 790}, Qt::white}};
        QVERIFY2(shows(*s, {1920, 1080}, expected, 64, &why), qPrintable(why));
        // Nothing moves and nothing is lost: no more key frames (each one at this rate
        // would turn the picture grey again).
        const int keys = s->stats().value("keys").toInt();
        QVERIFY(keys > 0);
        QTest::qWait(3000);
        QVERIFY2(s->stats().value("keys").toInt() <= keys + 1,
                 qPrintable(QStringLiteral("%1 key frames after %2").arg(s->stats().value("keys").toInt()).arg(keys)));
        s->close();
    }

    void viewersOfOneDisplayShareItsCapture() {
        Painter painter;
        QVERIFY(painter.ok());
        DevicePeers peers;
        QVERIFY(startPeers(peers));
        auto a = session(peers, QStringLiteral("jpeg"));
        auto b = session(peers, QStringLiteral("jpeg"));
        QVERIFY(
            QTest::qWaitFor([&] { return a->state() == State::Connected && b->state() == State::Connected; }, 20000));
        a->setQuality({30, 1.0, 80, 8000});
        b->setQuality({30, 1.0, 80, 8000});
        QString why;
        QVERIFY2(shows(*a, {1920, 1080}, quarters(), 12, &why), qPrintable(why));
        QVERIFY2(shows(*b, {1920, 1080}, quarters(), 12, &why), qPrintable(why));
        const qint64 pid = peers.host().processId();
        // One capture thread for both.
        QCOMPARE(hostThreads(pid, "velmo-capture"), 1);
        // Another quality (another encoder) still reads the same capture.
        b->setQuality({30, 0.5, 80, 8000});
        QVERIFY2(shows(*b, {960, 540}, {{{150, 100}, Qt::red}}, 16, &why), qPrintable(why));
        QCOMPARE(hostThreads(pid, "velmo-capture"), 1);
        painter.fill({0, 0, 960, 540}, Qt::blue);
        QVERIFY2(shows(*a, {1920, 1080}, {{{300, 200}, Qt::blue}}, 12, &why), qPrintable(why));
        QVERIFY2(shows(*b, {960, 540}, {{{150, 100}, Qt::blue}}, 16, &why), qPrintable(why));
        a->close();
        b->close();
        // Nobody watches: the capture stops.
        QTRY_COMPARE_WITH_TIMEOUT(hostThreads(pid, "velmo-capture"), 0, 5000);
    }

    // H.264 viewers of one display at one quality get one encoding; another quality
    // gets its own, which goes when its viewer does. An encoding's threads (its
    // source and the encoder's own) all carry the source's name.
    void h264ViewersAtOneQualityShareAnEncoder() {
        Painter painter;
        QVERIFY(painter.ok());
        DevicePeers peers;
        QVERIFY(startPeers(peers));
        const qint64 pid = peers.host().processId();
        QString why;
        auto a = session(peers, QStringLiteral("h264"));
        QVERIFY(QTest::qWaitFor([&] { return a->state() == State::Connected; }, 20000));
        QCOMPARE(a->videoMode(), QStringLiteral("h264"));
        a->setQuality({30, 1.0, 80, 6000});
        QVERIFY2(shows(*a, {1920, 1080}, quarters(), 40, &why), qPrintable(why));
        QTest::qWait(500);
        const int one = hostThreads(pid, "venc:src");
        QVERIFY(one > 0);

        auto b = session(peers, QStringLiteral("h264"));
        QVERIFY(QTest::qWaitFor([&] { return b->state() == State::Connected; }, 20000));
        b->setQuality({30, 1.0, 80, 6000});
        QVERIFY2(shows(*b, {1920, 1080}, quarters(), 40, &why), qPrintable(why));
        QTest::qWait(500);
        // A second encoding at this size would double the count; x264 may start or end a
        // helper thread of its own now and then, hence no exact figure.
        const auto shared = [&] { return hostThreads(pid, "venc:src") < one + one / 2; };
        QVERIFY2(shared(), qPrintable(QString::number(hostThreads(pid, "venc:src"))));

        b->setQuality({30, 0.5, 80, 3000});
        QVERIFY2(shows(*b, {960, 540}, {{{150, 100}, Qt::red}}, 40, &why), qPrintable(why));
        // (x264 gives a smaller picture fewer threads of its own.)
        QTRY_VERIFY_WITH_TIMEOUT(hostThreads(pid, "venc:src") >= one + 2, 5000);
        // Both still see what changes on the screen.
        painter.fill({0, 0, 960, 540}, Qt::blue);
        QVERIFY2(shows(*a, {1920, 1080}, {{{300, 200}, Qt::blue}}, 40, &why), qPrintable(why));
        QVERIFY2(shows(*b, {960, 540}, {{{150, 100}, Qt::blue}}, 40, &why), qPrintable(why));
        b->close();
        QTRY_VERIFY_WITH_TIMEOUT(shared(), 5000);
        a->close();
        QTRY_COMPARE_WITH_TIMEOUT(hostThreads(pid, "venc:src"), 0, 5000);
    }

    void displaysFollowRandR() {
        Painter painter;
        QVERIFY(painter.ok());
        painter.warp(1900, 1060);
        DevicePeers peers;
        QVERIFY(startPeers(peers));
        auto s = session(peers, QStringLiteral("jpeg"));
        QVERIFY2(QTest::qWaitFor([&] { return s->state() == State::Connected; }, 15000), qPrintable(s->failureText()));
        s->setQuality({30, 1.0, 90, 8000});
        QString why;
        QVERIFY2(shows(*s, {1920, 1080}, quarters(), 12, &why), qPrintable(why));

        // Two monitors appear during the session: the viewer is told without reconnecting.
        QVERIFY(xrandr({"--setmonitor", "left", "960/254x1080/286+0+0", "none"}));
        QVERIFY(xrandr({"--setmonitor", "right", "960/254x1080/286+960+0", "none"}));
        QTRY_COMPARE_WITH_TIMEOUT(s->monitors().size(), 3, 5000);
        int right = 0;
        for (const Monitor &m : s->monitors())
            if (m.name == QLatin1String("right")) {
                right = m.id;
                QCOMPARE(QSize(m.w, m.h), QSize(960, 1080));
            }
        QVERIFY(right > 0);
        QTRY_COMPARE_WITH_TIMEOUT(peers.status().value("monitors").toArray().size(), 3, 5000);
        s->selectMonitor(QStringLiteral("single"), right);
        QVERIFY2(shows(*s, {960, 1080}, {{{480, 200}, Qt::green}, {{480, 900}, Qt::white}}, 12, &why), qPrintable(why));
        s->selectMonitor(QStringLiteral("all"), 0);
        QVERIFY2(shows(*s, {1920, 1080}, quarters(), 12, &why), qPrintable(why));

        // The monitors go and the mode changes: the picture follows at the new size.
        QVERIFY(xrandr({"--delmonitor", "left"}));
        QVERIFY(xrandr({"--delmonitor", "right"}));
        xrandr({"--newmode", "1280x720", "74.25", "1280", "1390", "1430", "1650", "720", "725", "730", "750"});
        xrandr({"--addmode", "screen", "1280x720"});
        QVERIFY(xrandr({"--output", "screen", "--mode", "1280x720"}));
        QTRY_VERIFY_WITH_TIMEOUT(s->monitors().size() == 1 && s->monitors().first().w == 1280, 5000);
        QCOMPARE(s->monitors().first().h, 720);
        QVERIFY2(shows(*s, {1280, 720}, {{{300, 200}, Qt::red}, {{1200, 200}, Qt::green}, {{1200, 650}, Qt::white}}, 12,
                       &why),
                 qPrintable(why));
        s->close();
    }
};

int main(int argc, char **argv) {
    TestEnv env;
    QGuiApplication app(argc, argv);
    TestDeviceScreen t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_device_screen.moc"

// Several displays on one X screen: velmo-remote-host shares a private Xvfb (2560 × 1440)
// on which RandR defines three monitors of different sizes, two of them away from the
// screen's origin. A real X client paints each monitor its own colour (and the rest of the
// screen magenta) and records the events it gets; scripted viewers must find the colours
// at the right places of the all-monitors picture (black between the monitors), see their
// clicks arrive at the right root coordinates, and follow layout changes in the session;
// the app's session window lists the monitors in its "モニタ" menu and follows too, and
// opens monitors in windows of their own (pictures, clicks, layout changes, closing).
#include "config/AppConfig.h"
#include "session/MonitorView.h"
#include "session/RemoteSession.h"
#include "session/SessionExchange.h"
#include "session/SessionStore.h"
#include "support/DevicePeers.h"
#include "support/DeviceTestViewer.h"
#include "support/PixelCheck.h"
#include "support/TestEnv.h"
#include "support/ViewerObjects.h"
#include "support/XEventWindow.h"
#include "viewer/MonitorWindowView.h"
#include "viewer/RemoteScreenView.h"
#include "viewer/SessionView.h"
#include "viewer/SessionWindowView.h"

#include <QApplication>
#include <QComboBox>
#include <QJsonArray>
#include <QLabel>
#include <QMenu>
#include <QProcess>
#include <QTest>
#include <QToolButton>

#include <gst/gst.h>

#include <memory>
#include <optional>

using Kind = XEventWindow::Kind;

namespace {
bool xrandr(const QStringList &args) {
    QProcess p;
    p.start(QStringLiteral("xrandr"), args);
    return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// A monitor for xrandr --setmonitor: geometry with made-up millimetres.
QString geometry(const QRect &r) {
    return QStringLiteral("%1/%2x%3/%4+%5+%6")
        .arg(r.width())
        .arg(r.width() / 4)
        .arg(r.height())
        .arg(r.height() / 4)
        .arg(r.x())
        .arg(r.y());
}

// The layout: A takes the screen's output (so the screen itself is no monitor of its own),
// B is smaller and lower, C small at the bottom. Their bounding box is 2304 × 1440.
const QRect kA(0, 0, 1280, 1024);
const QRect kB(1280, 300, 1024, 768);
const QRect kC(1400, 1068, 800, 372);
constexpr unsigned long kRed = 0xff0000, kGreen = 0x00ff00, kBlue = 0x0000ff, kMagenta = 0xff00ff;

QList<QPair<QPoint, QColor>> asColours(const QList<QPair<QPoint, QRgb>> &expected) {
    QList<QPair<QPoint, QColor>> list;
    for (const auto &[p, c] : expected)
        list.append({p, QColor::fromRgb(c)});
    return list;
}

QImage picture(const DeviceTestViewer &v, bool h264) {
    if (h264)
        return v.h264Picture();
    return v.frames.isEmpty() ? QImage() : v.frames.last();
}

// Waits until the viewer's picture has this size and these colours at these places.
bool shows(const DeviceTestViewer &v, bool h264, QSize size, const QList<QPair<QPoint, QRgb>> &expected, QString *why,
           int ms = 20000) {
    return QTest::qWaitFor(
        [&] {
            const QImage img = picture(v, h264);
            if (img.size() != size) {
                *why = QStringLiteral("picture is %1x%2, not %3x%4")
                           .arg(img.width())
                           .arg(img.height())
                           .arg(size.width())
                           .arg(size.height());
                return false;
            }
            *why = PixelCheck::mismatch(img, asColours(expected), 48);
            return why->isEmpty();
        },
        ms);
}

// Desktop pixels → frame pixels of a half-size picture of a box at the origin.
QPoint half(QPoint desktop) {
    return {desktop.x() / 2, desktop.y() / 2};
}
} // namespace

class TestHostMonitors : public QObject {
    Q_OBJECT
private:
    ViewerObjects m_objects;
    DevicePeers m_peers;
    QString m_passcode;
    XEventWindow m_x;

    static QStringList menuTexts(QToolButton *button) {
        QStringList out;
        for (QAction *a : button->menu()->actions())
            out << a->text();
        return out;
    }

    // RandR refuses to redefine a monitor in place: it goes and comes back (what the host
    // sees in between is just another layout).
    static bool setMonitor(const QString &name, const QRect &r, const QString &output = QStringLiteral("none")) {
        xrandr({"--delmonitor", name});
        return xrandr({"--setmonitor", name, geometry(r), output});
    }
    static bool setLayout() { return setMonitor("A", kA, "screen") && setMonitor("B", kB) && setMonitor("C", kC); }
    // A viewer of every monitor at half size, once the host lists the three.
    std::unique_ptr<DeviceTestViewer> allViewer(bool h264) {
        DeviceTestViewer::Options o;
        o.passcode = m_passcode;
        o.h264 = h264;
        o.ackFrames = true;
        auto v = std::make_unique<DeviceTestViewer>(m_peers.serverUrl(), m_peers.deviceId(), o);
        v->start();
        if (!QTest::qWaitFor([&] { return v->count("auth_ok") >= 1 && v->channelsOpen(); }, 20000))
            return nullptr;
        v->sendCtrl({{"t", "select"}, {"mode", "all"}, {"id", 0}});
        v->sendCtrl({{"t", "quality"}, {"fps", 15}, {"scale", 0.5}, {"q", 90}, {"kbps", 6000}});
        return v;
    }
    // The id the host gave the monitor of this name in its newest list.
    static int idOf(const DeviceTestViewer &v, const QString &name) {
        for (const QJsonValue &m : v.last("auth_ok").value("monitors").toArray())
            if (m.toObject().value("name").toString() == name)
                return m.toObject().value("id").toInt();
        return 0;
    }
    static QJsonObject monitorNamed(const DeviceTestViewer &v, const QString &name) {
        for (const QJsonValue &m : v.last("auth_ok").value("monitors").toArray())
            if (m.toObject().value("name").toString() == name)
                return m.toObject();
        return {};
    }
    // The press, once the release has come too. A copy: waiting for the release may grow
    // the window's event list and move what a pointer into it would point at.
    std::optional<XEventWindow::Event> click(DeviceTestViewer &v, QPoint frame) {
        v.sendInput({{"t", "md"}, {"b", 0}, {"x", frame.x()}, {"y", frame.y()}});
        v.sendInput({{"t", "mu"}, {"b", 0}, {"x", frame.x()}, {"y", frame.y()}});
        const auto *down =
            m_x.waitFor([](const auto &e) { return e.kind == Kind::ButtonDown && e.button == 1; }, 10000);
        if (!down)
            return std::nullopt;
        const XEventWindow::Event press = *down;
        if (!m_x.waitFor([](const auto &e) { return e.kind == Kind::ButtonUp && e.button == 1; }, 10000))
            return std::nullopt;
        return press;
    }

    static int idOf(const RemoteSession *s, const QString &name) {
        for (const Monitor &m : s->monitors())
            if (m.name == name)
                return m.id;
        return 0;
    }
    // The shown picture of a window has these colours (waits up to `ms`).
    static bool colours(RemoteScreenView *view, const QList<QPair<QPoint, QRgb>> &expected, QString *why,
                        int ms = 10000) {
        return QTest::qWaitFor(
            [&] {
                const QImage img = view->currentImage();
                *why = PixelCheck::mismatch(img, asColours(expected), 48);
                return why->isEmpty();
            },
            ms);
    }
    // A left click on a window's picture near frame pixel `frame`: where the X client saw
    // the press (once the release came too), and the frame pixel the view sent; none
    // within `ms`.
    struct Landing {
        QPoint root;
        QPoint sent;
    };
    std::optional<Landing> clickIn(RemoteScreenView *view, QPoint frame, int ms = 10000) {
        const QRectF content = view->contentRect();
        const QSizeF size = view->frameSize();
        if (size.isEmpty())
            return std::nullopt;
        const QPointF local(content.x() + (frame.x() + 0.5) * content.width() / size.width(),
                            content.y() + (frame.y() + 0.5) * content.height() / size.height());
        std::optional<QPoint> sent;
        const auto c = connect(view, &RemoteScreenView::inputSent, this, [&sent](const QJsonObject &m) {
            if (m.value("t").toString() == "md")
                sent = QPoint(m.value("x").toInt(), m.value("y").toInt());
        });
        m_x.clear();
        QTest::mousePress(view, Qt::LeftButton, Qt::NoModifier, local.toPoint());
        QTest::mouseRelease(view, Qt::LeftButton, Qt::NoModifier, local.toPoint());
        disconnect(c);
        // Waits with the event loop running: the windows' pictures are acknowledged from it,
        // and a viewer that stops acknowledging reads to the host as a slow link.
        std::optional<QPoint> root;
        bool released = false;
        const bool landed = QTest::qWaitFor(
            [&] {
                if (!root)
                    if (const auto *down =
                            m_x.waitFor([](const auto &e) { return e.kind == Kind::ButtonDown && e.button == 1; }, 0))
                        root = QPoint(down->x, down->y);
                if (root && !released)
                    released = m_x.waitFor([](const auto &e) { return e.kind == Kind::ButtonUp && e.button == 1; }, 0);
                return released;
            },
            ms);
        if (!landed || !root || !sent)
            return std::nullopt;
        return Landing{*root, *sent};
    }

private Q_SLOTS:
    void initTestCase() {
        gst_init(nullptr, nullptr);
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            QSKIP("needs the test environment's Xvfb");
        QVERIFY(setLayout());
        QString error;
        QVERIFY2(m_x.open(&error), qPrintable(error));
        m_x.fill(0, 0, 2560, 1440, kMagenta);
        m_x.fill(kA.x(), kA.y(), kA.width(), kA.height(), kRed);
        m_x.fill(kB.x(), kB.y(), kB.width(), kB.height(), kGreen);
        m_x.fill(kC.x(), kC.y(), kC.width(), kC.height(), kBlue);
        m_peers.setHostSource(QStringLiteral("screen"));
        QVERIFY(m_peers.startServer());
        QVERIFY(m_peers.startHost());
        QVERIFY(m_peers.waitForDevice());
        m_passcode = m_peers.useFixedPasscode(QStringLiteral("monitors-code-1"));
        QVERIFY(!m_passcode.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(m_peers.status().value("monitors").toArray().size(), 3, 10000);
        QCOMPARE(m_objects.waitForWebRtc(), QString());
    }

    void init() {
        // Each case starts from the same layout and pointer.
        QVERIFY(setLayout());
        QTRY_COMPARE_WITH_TIMEOUT(m_peers.status().value("monitors").toArray().size(), 3, 10000);
        // The host draws the pointer into the picture: out of the way, in a corner no monitor shows.
        m_x.warp(100, 1400);
        m_x.clear();
    }

    // The bounding box of the three monitors as one picture: each colour where its monitor
    // is, black (not the screen's magenta) where no monitor is.
    void allMonitorsPicture_data() {
        QTest::addColumn<bool>("h264");
        QTest::newRow("jpeg") << false;
        QTest::newRow("h264") << true;
    }
    void allMonitorsPicture() {
        QFETCH(bool, h264);
        auto v = allViewer(h264);
        QVERIFY(v);
        const QJsonArray monitors = v->last("auth_ok").value("monitors").toArray();
        QCOMPARE(monitors.size(), 3);
        QCOMPARE(monitorNamed(*v, "B").value("w").toInt(), kB.width());
        QCOMPARE(monitorNamed(*v, "C").value("h").toInt(), kC.height());
        QString why;
        QVERIFY2(shows(*v, h264, {1152, 720},
                       {{half(kA.center()), 0xff0000},
                        {half(kB.center()), 0x00ff00},
                        {half(kC.center()), 0x0000ff},
                        {half(kB.topLeft() + QPoint(8, 8)), 0x00ff00},
                        {half(kC.bottomRight() - QPoint(8, 8)), 0x0000ff},
                        // Screen pixels outside every monitor.
                        {half({600, 1250}), 0x000000},
                        {half({1800, 120}), 0x000000},
                        {half({2250, 1200}), 0x000000}},
                       &why),
                 qPrintable(why));
        // One monitor alone, in the same session: its own size and colour, no black.
        v->sendCtrl({{"t", "select"}, {"mode", "single"}, {"id", idOf(*v, "C")}});
        QVERIFY2(shows(*v, h264, {400, 186}, {{{4, 4}, 0x0000ff}, {{200, 93}, 0x0000ff}, {{395, 181}, 0x0000ff}}, &why),
                 qPrintable(why));
        v->close();
    }

    // A click in each monitor of the all-monitors picture lands there on the root; one in
    // the black between them goes to the nearest point of the nearest monitor.
    void clicksLandOnTheirMonitor() {
        auto v = allViewer(false);
        QVERIFY(v);
        QTRY_VERIFY_WITH_TIMEOUT(!v->frameSizes.isEmpty() && v->frameSizes.last() == QSize(1152, 720), 20000);
        const QList<QPoint> targets = {{200, 200}, kB.center(), {1600, 1200}, kC.bottomRight() - QPoint(1, 1)};
        for (const QPoint &p : targets) {
            const auto down = click(*v, half(p));
            QVERIFY(down);
            QCOMPARE(QPoint(down->x, down->y), QPoint(p.x() / 2 * 2, p.y() / 2 * 2));
        }
        // Below A, left of C: nothing there; A's bottom edge is nearest.
        const auto gap = click(*v, half({640, 1200}));
        QVERIFY(gap);
        QCOMPARE(QPoint(gap->x, gap->y), QPoint(640, kA.bottom()));
        // Above B, right of A: B's top edge.
        const auto above = click(*v, half({1800, 100}));
        QVERIFY(above);
        QCOMPARE(QPoint(above->x, above->y), QPoint(1800, kB.top()));
        // Far outside the picture: clamped to the box first, then onto C's corner.
        v->sendInput({{"t", "mm"}, {"x", 99999}, {"y", 99999}});
        QVERIFY(m_x.waitFor(
            [](const auto &e) { return e.kind == Kind::Motion && e.x == kC.right() && e.y == kC.bottom(); }, 10000));

        // B alone: the picture's pixels map onto B only.
        v->sendCtrl({{"t", "select"}, {"mode", "single"}, {"id", idOf(*v, "B")}});
        QTRY_VERIFY_WITH_TIMEOUT(!v->frameSizes.isEmpty() && v->frameSizes.last() == QSize(512, 384), 20000);
        const auto inB = click(*v, {256, 192});
        QVERIFY(inB);
        QCOMPARE(QPoint(inB->x, inB->y), kB.topLeft() + QPoint(512, 384));
        v->close();
        QTRY_VERIFY_WITH_TIMEOUT(m_x.buttonsDown() == 0, 10000);
    }

    // Monitors moved, resized, removed and added during a session reach the viewer (a new
    // list, a picture of the new size) without a new connection, in both views.
    void layoutChangesFollow_data() {
        QTest::addColumn<bool>("h264");
        QTest::newRow("jpeg") << false;
        QTest::newRow("h264") << true;
    }
    void layoutChangesFollow() {
        QFETCH(bool, h264);
        auto v = allViewer(h264);
        QVERIFY(v);
        QString why;
        QVERIFY2(shows(*v, h264, {1152, 720}, {{half(kB.center()), 0x00ff00}}, &why), qPrintable(why));
        const int authOks = v->count("auth_ok");

        // B grows and moves to the top right corner: the box is now the whole screen.
        const QRect movedB(1280, 0, 1280, 720);
        m_x.fill(movedB.x(), movedB.y(), movedB.width(), movedB.height(), kGreen);
        QVERIFY(setMonitor("B", movedB));
        QTRY_VERIFY_WITH_TIMEOUT(monitorNamed(*v, "B").value("w").toInt() == 1280, 10000);
        QCOMPARE(monitorNamed(*v, "B").value("h").toInt(), 720);
        QVERIFY2(
            shows(*v, h264, {1280, 720},
                  {{half(movedB.center()), 0x00ff00}, {half(kA.center()), 0xff0000}, {half(kC.center()), 0x0000ff}},
                  &why),
            qPrintable(why));

        // C goes: the box loses its bottom rows.
        QVERIFY(xrandr({"--delmonitor", "C"}));
        QTRY_COMPARE_WITH_TIMEOUT(v->last("auth_ok").value("monitors").toArray().size(), 2, 10000);
        QVERIFY2(shows(*v, h264, {1280, 512}, {{half(movedB.center()), 0x00ff00}, {half(kA.center()), 0xff0000}}, &why),
                 qPrintable(why));

        // The single view of a monitor that is resized follows its size; when the monitor
        // goes, the view falls back to the primary monitor.
        const QRect smallC(1400, 1068, 600, 300);
        QVERIFY(setMonitor("C", smallC));
        QTRY_COMPARE_WITH_TIMEOUT(v->last("auth_ok").value("monitors").toArray().size(), 3, 10000);
        v->sendCtrl({{"t", "select"}, {"mode", "single"}, {"id", idOf(*v, "C")}});
        QVERIFY2(shows(*v, h264, {300, 150}, {{{150, 75}, 0x0000ff}}, &why), qPrintable(why));
        const QRect wideC(1300, 1040, 1000, 400);
        QVERIFY(setMonitor("C", wideC));
        QTRY_VERIFY_WITH_TIMEOUT(monitorNamed(*v, "C").value("w").toInt() == 1000, 10000);
        // Its left part shows the screen's magenta around the blue painted for C before.
        QVERIFY2(shows(*v, h264, {500, 200}, {{{250, 100}, 0x0000ff}, {{20, 100}, 0xff00ff}}, &why), qPrintable(why));
        QVERIFY(xrandr({"--delmonitor", "C"}));
        QVERIFY2(shows(*v, h264, {640, 512}, {{{320, 256}, 0xff0000}}, &why), qPrintable(why));
        // The list travels on its own channel: it may come after the picture.
        QTRY_COMPARE_WITH_TIMEOUT(v->last("auth_ok").value("monitors").toArray().size(), 2, 10000);

        // All this in the one session.
        QVERIFY(v->count("auth_ok") > authOks);
        QCOMPARE(v->count("challenge"), 1);
        QVERIFY(m_peers.sessionListed(v->sid(), true));
        v->close();
    }

    // The app's session window: "全モニタ" and one entry per monitor, the picture of all of
    // them, and both following monitors that go away during the session.
    void sessionWindowFollowsLayout() {
        m_objects.config()->setVideoPref(QStringLiteral("h264"));
        RemoteSession *s = m_objects.sessionTo(m_peers, m_passcode, QStringLiteral("Monitors")).release();
        m_objects.store()->insert(s);
        const QString sid = s->sid();
        SessionWindowView w(sid, m_objects.store(), m_objects.config());
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QTRY_COMPARE_WITH_TIMEOUT(s->state(), RemoteSession::State::Connected, 30000);
        auto *menu = w.findChild<QToolButton *>("monitorMenu");
        QVERIFY(menu);
        QTRY_COMPARE_WITH_TIMEOUT(
            menuTexts(menu),
            QStringList({"全モニタ", "A  1280×1024  ★", "B  1024×768", "C  800×372", "", "別ウィンドウで表示"}), 10000);
        auto *screen = w.findChild<RemoteScreenView *>("screen");
        QVERIFY(screen);
        s->setQuality({15, 0.5, 80, 4000});
        menu->menu()->actions().first()->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(screen->frameSize(), QSizeF(1152, 720), 20000);

        // C goes: three entries left, and the picture is A and B only.
        QVERIFY(xrandr({"--delmonitor", "C"}));
        QTRY_COMPARE_WITH_TIMEOUT(menuTexts(menu),
                                  QStringList({"全モニタ", "A  1280×1024  ★", "B  1024×768", "", "別ウィンドウで表示"}),
                                  10000);
        QTRY_COMPARE_WITH_TIMEOUT(screen->frameSize(), QSizeF(1152, 534), 20000);
        // B goes too: one monitor, no "全モニタ", and the picture is A.
        QVERIFY(xrandr({"--delmonitor", "B"}));
        QTRY_COMPARE_WITH_TIMEOUT(menuTexts(menu), QStringList({"A  1280×1024  ★", "", "別ウィンドウで表示"}), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(screen->frameSize(), QSizeF(640, 512), 20000);
        QCOMPARE(s->state(), RemoteSession::State::Connected);
        m_objects.store()->close(sid);
    }

    // Monitors in windows of their own beside the main picture: each its own stream and
    // scale, the right colours, clicks that land on that window's monitor, input gated by
    // the viewer's right as in the main picture, a layout change that reaches the window,
    // a window whose monitor goes away saying so, and closing a window stopping its stream.
    void monitorWindows() {
        m_objects.config()->setVideoPref(QStringLiteral("jpeg"));
        RemoteSession *s = m_objects.sessionTo(m_peers, m_passcode, QStringLiteral("Monitors")).release();
        m_objects.store()->insert(s);
        const QString sid = s->sid();
        SessionWindowView w(sid, m_objects.store(), m_objects.config());
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QTRY_COMPARE_WITH_TIMEOUT(s->state(), RemoteSession::State::Connected, 30000);
        QTRY_VERIFY_WITH_TIMEOUT(s->monitorWindows(), 10000);
        s->setQuality({15, 0.5, 80, 4000});
        auto *windowMenu = w.findChild<QMenu *>("monitorWindowMenu");
        QVERIFY(windowMenu);
        QVERIFY(windowMenu->menuAction()->isEnabled());
        QCOMPARE(windowMenu->menuAction()->toolTip(), QString("モニタをそれぞれのウィンドウで表示します"));
        const QList<QAction *> entries = windowMenu->actions();
        QCOMPARE(entries.size(), 3);
        QCOMPARE(entries.at(1)->text(), QString("B  1024×768"));

        // B and C in windows of their own, at the session's scale; the main picture stays A.
        entries.at(1)->trigger();
        entries.at(2)->trigger();
        const QList<MonitorWindowView *> windows = w.sessionView()->monitorWindows();
        QCOMPARE(windows.size(), 2);
        MonitorWindowView *wb = windows.at(0);
        MonitorWindowView *wc = windows.at(1);
        QPointer<MonitorView> viewB = wb->monitorView();
        QPointer<MonitorView> viewC = wc->monitorView();
        QVERIFY(viewB && viewC);
        QCOMPARE(viewB->monitorId(), idOf(s, "B"));
        QTRY_COMPARE_WITH_TIMEOUT(wb->screen()->frameSize(), QSizeF(512, 384), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(wc->screen()->frameSize(), QSizeF(400, 186), 20000);
        QString why;
        QVERIFY2(colours(wb->screen(), {{{256, 192}, 0x00ff00}, {{4, 4}, 0x00ff00}}, &why), qPrintable(why));
        QVERIFY2(colours(wc->screen(), {{{200, 93}, 0x0000ff}, {{395, 181}, 0x0000ff}}, &why), qPrintable(why));
        auto *screen = w.findChild<RemoteScreenView *>("screen");
        QTRY_COMPARE_WITH_TIMEOUT(screen->frameSize(), QSizeF(640, 512), 20000);

        // B's own scale: full size there, C unchanged.
        auto *scale = wb->findChild<QComboBox *>("windowScale");
        QVERIFY(scale);
        scale->setCurrentIndex(0);
        QTRY_COMPARE_WITH_TIMEOUT(wb->screen()->frameSize(), QSizeF(1024, 768), 20000);
        QCOMPARE(wc->screen()->frameSize(), QSizeF(400, 186));

        // A click in each window lands on its monitor, one after the other.
        const auto inB = clickIn(wb->screen(), {100, 50});
        QVERIFY(inB);
        QVERIFY((inB->sent - QPoint(100, 50)).manhattanLength() <= 4);
        QCOMPARE(inB->root, kB.topLeft() + inB->sent);
        const auto inC = clickIn(wc->screen(), {200, 93});
        QVERIFY(inC);
        QVERIFY((inC->sent - QPoint(200, 93)).manhattanLength() <= 4);
        QCOMPARE(inC->root, kC.topLeft() + inC->sent * 2);
        // Without the input right, a window's clicks go nowhere, as the main picture's.
        QCOMPARE(m_peers.post("perm", {{"sid", s->connectionSid()}, {"input", false}, {"clip", true}, {"files", true}}),
                 200);
        QTRY_VERIFY_WITH_TIMEOUT(!s->exchange()->inputAllowed(), 10000);
        m_x.clear();
        QVERIFY(!clickIn(wb->screen(), {300, 300}, 1500));
        QCOMPARE(m_peers.post("perm", {{"sid", s->connectionSid()}, {"input", true}, {"clip", true}, {"files", true}}),
                 200);
        QTRY_VERIFY_WITH_TIMEOUT(s->exchange()->inputAllowed(), 10000);

        // B grows and moves: its window follows at its own scale, without a reconnect.
        const QRect movedB(1280, 0, 1280, 720);
        m_x.fill(movedB.x(), movedB.y(), movedB.width(), movedB.height(), kGreen);
        QVERIFY(setMonitor("B", movedB));
        QTRY_COMPARE_WITH_TIMEOUT(wb->screen()->frameSize(), QSizeF(1280, 720), 20000);
        QVERIFY2(colours(wb->screen(), {{{640, 360}, 0x00ff00}, {{1270, 710}, 0x00ff00}}, &why), qPrintable(why));
        const auto moved = clickIn(wb->screen(), {10, 700});
        QVERIFY(moved);
        QCOMPARE(moved->root, movedB.topLeft() + moved->sent);

        // C goes: its window says so and shows nothing more; B's carries on.
        QVERIFY(xrandr({"--delmonitor", "C"}));
        QTRY_VERIFY_WITH_TIMEOUT(viewC && viewC->ended(), 10000);
        QCOMPARE(wc->findChild<QLabel *>("windowStatus")->text(), QString("このモニタは取り外されました"));
        QTRY_VERIFY_WITH_TIMEOUT(wc->screen()->currentImage().isNull(), 5000);
        QVERIFY(!clickIn(wc->screen(), {10, 10}, 1500));

        // Closing B's window stops its stream: the host sends nothing more on "windows",
        // however its monitor changes; before, the same change reached the window.
        const quint64 before = s->windowBytesReceived();
        m_x.fill(movedB.x(), movedB.y(), 400, 400, kBlue);
        QTRY_VERIFY_WITH_TIMEOUT(s->windowBytesReceived() > before, 10000);
        QVERIFY2(colours(wb->screen(), {{{200, 200}, 0x0000ff}}, &why), qPrintable(why));
        QPointer<MonitorWindowView> closedB(wb);
        wb->close();
        QTRY_VERIFY(!closedB);
        QTRY_VERIFY(!viewB);
        QTest::qWait(1000); // what was on its way
        const quint64 after = s->windowBytesReceived();
        m_x.fill(movedB.x(), movedB.y(), 400, 400, kGreen);
        QTest::qWait(2000);
        QCOMPARE(s->windowBytesReceived(), after);
        QCOMPARE(s->state(), RemoteSession::State::Connected);
        QCOMPARE(w.sessionView()->monitorWindows().size(), 1);
        m_objects.store()->close(sid);
    }

    void cleanupTestCase() {
        xrandr({"--delmonitor", "A"});
        xrandr({"--delmonitor", "B"});
        xrandr({"--delmonitor", "C"});
    }
};

int main(int argc, char **argv) {
    TestEnv env;
    QApplication app(argc, argv);
    TestHostMonitors t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_host_monitors.moc"

// The host through the desktop portal: the real xdg-desktop-portal front end (Debian 12's
// 1.16: ScreenCast 4, RemoteDesktop 1) on the test's own bus, with tests/support/
// portal_standin.py as the desktop's portal back end (what xdg-desktop-portal-gnome or -kde
// is). The stand-in keeps its "dialog" open until the test answers in place of the person,
// then records the headless Mutter's monitor through Mutter's own screen cast (a real
// PipeWire stream, read by the agent through the portal's OpenPipeWireRemote connection) and
// passes the input calls it records on to Mutter. It tells the front end the monitor lies at
// (100, 50) in the layout, so stream-relative coordinates differ from layout ones.
//
// velmo-remote-host runs as in a GNOME session without unattended access: Mutter's own names
// are on the bus, and still the portal is chosen. Checked: the status says the desktop is
// asking, then granted; a real viewer sees the window's colours; clicks, keys, wheel and
// characters reach the portal as the right calls (and the window as real events); nothing
// stays held when the input right goes or the viewer vanishes; the desktop ending the session
// and a refusal are clear states; a screen-cast-only portal restores the permission with the
// token kept from the run before, without asking again.
#include "config/AppConfig.h"
#include "session/RemoteSession.h"
#include "support/DevicePeers.h"
#include "support/PixelCheck.h"
#include "support/TestEnv.h"
#include "support/ViewerObjects.h"
#include "support/WaylandEventWindow.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <linux/input-event-codes.h>

using State = RemoteSession::State;

namespace {
constexpr int kWaitMs = 30000;
const QPoint kOrigin(100, 50); // where the stand-in says the monitor lies in the layout

// Debian's Python, where python3-dbus and python3-gi are (a python3 earlier in PATH may lack them).
QString python() {
    return QFile::exists(QStringLiteral("/usr/bin/python3")) ? QStringLiteral("/usr/bin/python3")
                                                             : QStringLiteral("python3");
}

bool owned(const QString &name) {
    return QDBusConnection::sessionBus().interface()->isServiceRegistered(name).value();
}
} // namespace

class TestHostPortal : public QObject {
    Q_OBJECT
    ViewerObjects objects;
    QTemporaryDir m_dir;
    QProcess m_standin;
    QProcess m_frontend;
    WaylandEventWindow m_win;
    std::unique_ptr<DevicePeers> m_peers;
    QString m_passcode;

    // A call on the stand-in's own test interface, as a plain message (an introspecting
    // QDBusInterface would build a meta-object that Qt keeps to the end of the process).
    static QDBusMessage standin(const QString &method, const QVariantList &args = {}) {
        QDBusMessage m = QDBusMessage::createMethodCall(QStringLiteral("org.velmo.StandInPortal"),
                                                        QStringLiteral("/org/freedesktop/portal/desktop"),
                                                        QStringLiteral("org.velmo.StandIn"), method);
        m.setArguments(args);
        return QDBusConnection::sessionBus().call(m, QDBus::Block, 10000);
    }
    QJsonArray calls() const {
        const QDBusReply<QString> r = standin(QStringLiteral("Calls"));
        return QJsonDocument::fromJson(r.value().toUtf8()).array();
    }
    // The recorded calls of `method` after the first `from`.
    QList<QJsonArray> callsOf(const QString &method, qsizetype from = 0) const {
        QList<QJsonArray> out;
        const QJsonArray all = calls();
        for (qsizetype i = from; i < all.size(); ++i)
            if (all[i].toObject().value("m").toString() == method)
                out.append(all[i].toObject().value("a").toArray());
        return out;
    }
    // Presses minus releases per code of a Notify* method: what the portal holds down.
    QList<int> held(const QString &method) const {
        QMap<int, int> down;
        for (const QJsonArray &a : callsOf(method))
            down[a[0].toInt()] += a[1].toInt() ? 1 : -1;
        QList<int> out;
        for (auto it = down.cbegin(); it != down.cend(); ++it)
            if (it.value() > 0)
                out << it.key();
        return out;
    }
    bool answer(uint code) {
        if (!QTest::qWaitFor([&] { return QDBusReply<bool>(standin(QStringLiteral("Pending"))).value(); }, kWaitMs))
            return false;
        return QDBusReply<bool>(standin(QStringLiteral("Answer"), {code})).value();
    }
    // The portal front end, reading the stand-in's .portal file with these interfaces.
    bool startFrontend(const QString &interfaces, QString *why) {
        if (m_frontend.state() != QProcess::NotRunning) {
            m_frontend.kill();
            m_frontend.waitForFinished(5000);
        }
        const QString portals = m_dir.filePath(QStringLiteral("portals"));
        QDir().mkpath(portals);
        QFile f(portals + QStringLiteral("/velmo-standin.portal"));
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            *why = QStringLiteral("cannot write the .portal file");
            return false;
        }
        f.write(QStringLiteral("[portal]\nDBusName=org.velmo.StandInPortal\nInterfaces=%1\nUseIn=velmo-test\n")
                    .arg(interfaces)
                    .toUtf8());
        f.close();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_DESKTOP_PORTAL_DIR"), portals);
        env.insert(QStringLiteral("XDG_CURRENT_DESKTOP"), QStringLiteral("velmo-test"));
        m_frontend.setProcessEnvironment(env);
        m_frontend.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_frontend.setStandardOutputFile(QProcess::nullDevice());
        m_frontend.start(QStringLiteral("/usr/libexec/xdg-desktop-portal"), {QStringLiteral("--replace")});
        if (!m_frontend.waitForStarted(10000)) {
            *why = QStringLiteral("xdg-desktop-portal does not start");
            return false;
        }
        // Owned by this process once it serves the interfaces.
        const bool up = QTest::qWaitFor(
            [&] {
                const QDBusReply<uint> pid = QDBusConnection::sessionBus().interface()->servicePid(
                    QStringLiteral("org.freedesktop.portal.Desktop"));
                return pid.isValid() && qint64(pid.value()) == m_frontend.processId();
            },
            kWaitMs);
        if (!up)
            *why = QStringLiteral("xdg-desktop-portal did not take its name");
        return up;
    }
    bool startHost(QString *why) {
        m_peers = std::make_unique<DevicePeers>();
        m_peers->setHostSource(QStringLiteral("screen"));
        m_peers->setHostEnv(QStringLiteral("DISPLAY"), qEnvironmentVariable("VELMO_TEST_MUTTER_XWAYLAND"));
        m_peers->setHostEnv(QStringLiteral("XDG_SESSION_TYPE"), QStringLiteral("wayland"));
        m_peers->setHostDataDir(m_dir.filePath(QStringLiteral("host")));
        if (!m_peers->startServer() || !m_peers->startHost() || !m_peers->waitForDevice()) {
            *why = QStringLiteral("the agent did not start");
            return false;
        }
        m_passcode = m_peers->useFixedPasscode(QStringLiteral("steady-code-1"));
        return !m_passcode.isEmpty();
    }
    QString perm(const char *which) { return m_peers->status().value(QLatin1String(which)).toString(); }
    QString token() const {
        QFile f(m_dir.filePath(QStringLiteral("host/portal.json")));
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QJsonDocument::fromJson(f.readAll()).object().value("restoreToken").toString();
    }
    std::unique_ptr<DeviceTestViewer> viewerWithInput() {
        auto v = m_peers->viewer(m_passcode);
        if (!QTest::qWaitFor([&] { return v->count("auth_ok") >= 1 && v->channelsOpen(); }, kWaitMs))
            return nullptr;
        if (m_peers->post("perm", {{"sid", v->sid()}, {"input", true}, {"clip", false}, {"files", false}}) != 200)
            return nullptr;
        if (!QTest::qWaitFor([&] { return v->last("perm").value("input").toBool(); }, 10000))
            return nullptr;
        return v;
    }

private Q_SLOTS:
    void initTestCase() {
        if (qEnvironmentVariableIsEmpty("VELMO_TEST_MUTTER_PID"))
            QSKIP("needs a headless Mutter with PipeWire from the test environment (packages mutter, pipewire, "
                  "wireplumber, gstreamer1.0-pipewire, xwayland, qt6-wayland)");
        if (!QFile::exists(QStringLiteral("/usr/libexec/xdg-desktop-portal")))
            QSKIP("needs the desktop portal front end (package xdg-desktop-portal)");
        QProcess probe;
        probe.start(python(), {QStringLiteral("-c"), QStringLiteral("import dbus, gi")});
        if (!probe.waitForFinished(10000) || probe.exitCode() != 0)
            QSKIP("needs python3-dbus and python3-gi for the stand-in portal back end");
        QVERIFY(m_dir.isValid());
        QCOMPARE(objects.waitForWebRtc(), QString());
        QString why;
        QVERIFY2(m_win.start(&why), qPrintable(why));
        QCOMPARE(m_win.size(), QSize(1280, 720));
        m_standin.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_standin.start(python(), {QStringLiteral(VELMO_PORTAL_STANDIN), QStringLiteral("--position"),
                                   QStringLiteral("%1,%2").arg(kOrigin.x()).arg(kOrigin.y()), QStringLiteral("--size"),
                                   QStringLiteral("1280x720")});
        QVERIFY(QTest::qWaitFor([] { return owned(QStringLiteral("org.velmo.StandInPortal")); }, kWaitMs));
        QVERIFY2(startFrontend(QStringLiteral("org.freedesktop.impl.portal.ScreenCast;"
                                              "org.freedesktop.impl.portal.RemoteDesktop;"),
                               &why),
                 qPrintable(why));
        QVERIFY2(startHost(&why), qPrintable(why));
    }

    void cleanupTestCase() {
        m_peers.reset();
        for (QProcess *p : {&m_frontend, &m_standin}) {
            p->kill();
            p->waitForFinished(5000);
        }
    }

    // Mutter's own interfaces are on the bus, but the owner did not choose unattended access:
    // the portal, which asks the person at the desktop; until the answer the status says so.
    void portalChosenAndTheDesktopAsks() {
        QJsonObject status = m_peers->status();
        QCOMPARE(status.value("displayServer").toString(), QStringLiteral("xwayland"));
        QCOMPARE(status.value("backend").toString(), QStringLiteral("portal"));
        QCOMPARE(status.value("unattended").toBool(true), false);
        QTRY_COMPARE_WITH_TIMEOUT(perm("screenPerm"), QStringLiteral("asking"), kWaitMs);
        QCOMPARE(perm("inputPerm"), QStringLiteral("asking"));
        // The portal of 1.16 cannot keep a remote-desktop session: nothing persistent was asked for.
        QTRY_VERIFY_WITH_TIMEOUT(!callsOf(QStringLiteral("RemoteDesktop.Start")).isEmpty(), kWaitMs);
        const QList<QJsonArray> devices = callsOf(QStringLiteral("RemoteDesktop.SelectDevices"));
        QCOMPARE(devices.size(), 1);
        QCOMPARE(devices[0][2].toObject().value("types").toInt(), 3); // keyboard + pointer
        QVERIFY(!devices[0][2].toObject().contains("persist_mode"));
        const QList<QJsonArray> sources = callsOf(QStringLiteral("ScreenCast.SelectSources"));
        QCOMPARE(sources.size(), 1);
        QCOMPARE(sources[0][2].toObject().value("types").toInt(), 1);       // monitors
        QCOMPARE(sources[0][2].toObject().value("cursor_mode").toInt(), 2); // embedded
        QVERIFY(!sources[0][2].toObject().contains("persist_mode"));
        // Still asking a while later: nothing gives up on the person.
        QTest::qWait(1000);
        QCOMPARE(perm("screenPerm"), QStringLiteral("asking"));
        // A viewer comes in meanwhile: no picture yet, and the one that comes once the
        // desktop's user agreed.
        objects.config()->setVideoPref(QStringLiteral("jpeg"));
        auto early = objects.sessionTo(*m_peers, m_passcode, QStringLiteral("Portal"));
        early->start();
        QVERIFY2(QTest::qWaitFor([&] { return early->state() == State::Connected; }, kWaitMs),
                 qPrintable(early->failureText()));
        early->setQuality({30, 1.0, 90, 8000});
        QTest::qWait(500);
        QVERIFY(early->image().isNull());

        QVERIFY(answer(0));
        QTRY_COMPARE_WITH_TIMEOUT(perm("screenPerm"), QStringLiteral("granted"), kWaitMs);
        status = m_peers->status();
        QCOMPARE(status.value("inputPerm").toString(), QStringLiteral("granted"));
        QCOMPARE(status.value("screenError").toString(), QString());
        const QJsonArray monitors = status.value("monitors").toArray();
        QCOMPARE(monitors.size(), 1);
        QCOMPARE(monitors[0].toObject().value("w").toInt(), 1280);
        QCOMPARE(monitors[0].toObject().value("h").toInt(), 720);
        int tick = 0;
        QVERIFY(QTest::qWaitFor(
            [&] {
                if (++tick % 20 == 0)
                    m_win.paint(tick % 40 ? QColor(0, 0, 0) : QColor(0, 0, 8));
                const QImage img = early->image();
                return img.size() == QSize(1280, 720) && PixelCheck::near(img.pixel(200, 150), Qt::red, 12);
            },
            40000));
        early->close();
    }

    void viewerSeesTheColours() {
        objects.config()->setVideoPref(QStringLiteral("jpeg"));
        auto s = objects.sessionTo(*m_peers, m_passcode, QStringLiteral("Portal"));
        s->start();
        QVERIFY2(QTest::qWaitFor([&] { return s->state() == State::Connected; }, kWaitMs),
                 qPrintable(s->failureText()));
        s->setQuality({30, 1.0, 90, 8000});
        const QList<QPair<QPoint, QColor>> expected{{{200, 150}, Qt::red},
                                                    {{1100, 150}, Qt::green},
                                                    {{200, 600}, Qt::blue},
                                                    {{1100, 600}, Qt::white},
                                                    {{640, 360}, QColor(0, 0, 0)}};
        QString why;
        int tick = 0;
        const bool shown = QTest::qWaitFor(
            [&] {
                // The window changes its middle now and then (the compositor streams on change
                // only, and a new reader of the stream gets no picture of a still screen).
                if (++tick % 20 == 0)
                    m_win.paint(tick % 40 ? QColor(0, 0, 0) : QColor(0, 0, 8));
                const QImage img = s->image();
                if (img.size() != QSize(1280, 720)) {
                    why = QStringLiteral("picture is %1x%2").arg(img.width()).arg(img.height());
                    return false;
                }
                for (const auto &[p, c] : expected)
                    if (!PixelCheck::near(img.pixel(p), c, 12)) {
                        why = QStringLiteral("%1,%2 is #%3").arg(p.x()).arg(p.y()).arg(img.pixel(p), 6, 16);
                        return false;
                    }
                return true;
            },
            40000);
        QVERIFY2(shown, qPrintable(why));
        s->close();
    }

    void inputGoesThroughThePortalStreamRelative() {
        auto v = viewerWithInput();
        QVERIFY(v);
        const qsizetype from = calls().size();
        m_win.clear();
        v->sendInput({{"t", "mm"}, {"x", 200}, {"y", 100}});
        v->sendInput({{"t", "md"}, {"b", 0}, {"x", 200}, {"y", 100}});
        v->sendInput({{"t", "mu"}, {"b", 0}, {"x", 200}, {"y", 100}});
        v->sendInput({{"t", "md"}, {"b", 2}, {"x", 1279}, {"y", 719}});
        v->sendInput({{"t", "mu"}, {"b", 2}, {"x", 1279}, {"y", 719}});
        v->sendInput({{"t", "wh"}, {"dx", 0}, {"dy", -40}, {"x", 10}, {"y", 10}});
        v->sendInput({{"t", "kd"}, {"code", "KeyA"}});
        v->sendInput({{"t", "ku"}, {"code", "KeyA"}});
        v->sendInput({{"t", "text"}, {"s", QStringLiteral("z")}});
        QTRY_VERIFY_WITH_TIMEOUT(callsOf(QStringLiteral("NotifyKeyboardKeysym"), from).size() >= 2, kWaitMs);

        // Motion in the stream's own coordinates: the monitor's place in the layout taken off.
        const QList<QJsonArray> moves = callsOf(QStringLiteral("NotifyPointerMotionAbsolute"), from);
        QVERIFY(!moves.isEmpty());
        const QList<QJsonArray> started = callsOf(QStringLiteral("Started"));
        QVERIFY(!started.isEmpty());
        const int node = started.last()[1].toInt();
        QCOMPARE(moves.first()[0].toInt(), node);
        QCOMPARE(QPointF(moves.first()[1].toDouble(), moves.first()[2].toDouble()), QPointF(200, 100));
        QCOMPARE(QPointF(moves.last()[1].toDouble(), moves.last()[2].toDouble()), QPointF(10, 10));
        bool corner = false;
        for (const QJsonArray &m : moves)
            corner = corner || QPointF(m[1].toDouble(), m[2].toDouble()) == QPointF(1279, 719);
        QVERIFY(corner);
        const QList<QJsonArray> buttons = callsOf(QStringLiteral("NotifyPointerButton"), from);
        QCOMPARE(buttons.size(), 4);
        QCOMPARE(buttons[0], (QJsonArray{BTN_LEFT, 1}));
        QCOMPARE(buttons[1], (QJsonArray{BTN_LEFT, 0}));
        QCOMPARE(buttons[2], (QJsonArray{BTN_RIGHT, 1}));
        QCOMPARE(buttons[3], (QJsonArray{BTN_RIGHT, 0}));
        const QList<QJsonArray> wheel = callsOf(QStringLiteral("NotifyPointerAxisDiscrete"), from);
        QCOMPARE(wheel.size(), 1);
        QCOMPARE(wheel[0], (QJsonArray{0, -1})); // vertical, one notch up
        const QList<QJsonArray> keys = callsOf(QStringLiteral("NotifyKeyboardKeycode"), from);
        QCOMPARE(keys.size(), 2);
        QCOMPARE(keys[0], (QJsonArray{KEY_A, 1}));
        QCOMPARE(keys[1], (QJsonArray{KEY_A, 0}));
        const QList<QJsonArray> syms = callsOf(QStringLiteral("NotifyKeyboardKeysym"), from);
        QVERIFY2(syms.size() == 2,
                 qPrintable(QString::fromUtf8(QJsonDocument(calls()).toJson(QJsonDocument::Compact))));
        QCOMPARE(syms[0], (QJsonArray{0x7a, 1})); // XKB_KEY_z
        QCOMPARE(syms[1], (QJsonArray{0x7a, 0}));

        // Passed on to the desktop, the calls are real events in the window.
        const QJsonObject *down = m_win.waitFor(
            [](const QJsonObject &e) { return e.value("e") == "down" && e.value("b").toInt() == 1; }, 10000);
        QVERIFY(down);
        QCOMPARE(QPointF(down->value("x").toDouble(), down->value("y").toDouble()), QPointF(200, 100));
        QTRY_COMPARE_WITH_TIMEOUT(m_win.typed(), QStringLiteral("az"), 10000);
    }

    void nothingHeldWhenRightsGoOrTheViewerVanishes() {
        auto v = viewerWithInput();
        QVERIFY(v);
        v->sendInput({{"t", "kd"}, {"code", "ShiftLeft"}});
        v->sendInput({{"t", "md"}, {"b", 0}, {"x", 300}, {"y", 300}});
        QTRY_COMPARE_WITH_TIMEOUT(held(QStringLiteral("NotifyPointerButton")), QList<int>{BTN_LEFT}, kWaitMs);
        QCOMPARE(held(QStringLiteral("NotifyKeyboardKeycode")), QList<int>{KEY_LEFTSHIFT});
        // The input right withdrawn: both let go at once, and nothing more comes.
        QCOMPARE(m_peers->post("perm", {{"sid", v->sid()}, {"input", false}, {"clip", false}, {"files", false}}), 200);
        QTRY_VERIFY_WITH_TIMEOUT(held(QStringLiteral("NotifyPointerButton")).isEmpty() &&
                                     held(QStringLiteral("NotifyKeyboardKeycode")).isEmpty(),
                                 kWaitMs);
        const qsizetype from = calls().size();
        v->sendInput({{"t", "kd"}, {"code", "KeyQ"}});
        QTest::qWait(1000);
        QVERIFY(callsOf(QStringLiteral("NotifyKeyboardKeycode"), from).isEmpty());

        // A viewer that vanishes mid-drag (no "bye"): the host notices and lets go.
        auto w = viewerWithInput();
        QVERIFY(w);
        w->sendInput({{"t", "kd"}, {"code", "ControlLeft"}});
        w->sendInput({{"t", "md"}, {"b", 2}, {"x", 100}, {"y", 100}});
        w->sendInput({{"t", "mm"}, {"x", 150}, {"y", 120}});
        QTRY_COMPARE_WITH_TIMEOUT(held(QStringLiteral("NotifyPointerButton")), QList<int>{BTN_RIGHT}, kWaitMs);
        w.reset();
        QTRY_VERIFY_WITH_TIMEOUT(held(QStringLiteral("NotifyPointerButton")).isEmpty() &&
                                     held(QStringLiteral("NotifyKeyboardKeycode")).isEmpty(),
                                 kWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(m_win.buttonsHeld().isEmpty() && m_win.keysHeld().isEmpty(), kWaitMs);
    }

    // The person at the desktop stops sharing: a clear state, input with it.
    void desktopEndingTheSessionIsAClearState() {
        QCOMPARE(QDBusReply<uint>(standin(QStringLiteral("CloseSessions"))).value(), 1u);
        QTRY_COMPARE_WITH_TIMEOUT(perm("screenPerm"), QStringLiteral("denied"), kWaitMs);
        const QJsonObject status = m_peers->status();
        QVERIFY2(status.value("screenError").toString().contains(QStringLiteral("ended")),
                 qPrintable(status.value("screenError").toString()));
        QCOMPARE(status.value("inputPerm").toString(), QStringLiteral("denied"));
        QVERIFY(m_peers->host().state() == QProcess::Running);
    }

    // The person says no: "denied" with the reason, not a wait without end.
    void refusalIsAClearState() {
        m_peers.reset();
        QString why;
        QVERIFY2(startHost(&why), qPrintable(why));
        QTRY_COMPARE_WITH_TIMEOUT(perm("screenPerm"), QStringLiteral("asking"), kWaitMs);
        QVERIFY(answer(1));
        QTRY_COMPARE_WITH_TIMEOUT(perm("screenPerm"), QStringLiteral("denied"), kWaitMs);
        const QJsonObject status = m_peers->status();
        QVERIFY2(status.value("screenError").toString().contains(QStringLiteral("refused")),
                 qPrintable(status.value("screenError").toString()));
        QCOMPARE(status.value("inputPerm").toString(), QStringLiteral("denied"));
        // A viewer is told the screen cannot be shared (the notice picture) instead of waiting
        // for pictures that cannot come.
        const QJsonArray monitors = status.value("monitors").toArray();
        QCOMPARE(monitors.size(), 1);
        auto v = m_peers->viewer(m_passcode);
        QVERIFY(QTest::qWaitFor([&] { return v->count("auth_ok") >= 1; }, kWaitMs));
        QCOMPARE(v->last("auth_ok").value("monitors").toArray(), monitors);
        QVERIFY(QTest::qWaitFor([&] { return !v->frameSizes.isEmpty(); }, kWaitMs));
        QVERIFY(m_peers->host().state() == QProcess::Running);
    }

    // A portal that offers ScreenCast alone (as the wlr one does) keeps the permission "until
    // revoked": the first start asks, the next is restored with the token kept in between.
    void screenCastOnlyRestoresWithTheToken() {
        m_peers.reset();
        QFile::remove(m_dir.filePath(QStringLiteral("host/portal.json")));
        QString why;
        QVERIFY2(startFrontend(QStringLiteral("org.freedesktop.impl.portal.ScreenCast;"), &why), qPrintable(why));
        qsizetype from = calls().size();
        QVERIFY2(startHost(&why), qPrintable(why));
        QTRY_COMPARE_WITH_TIMEOUT(perm("screenPerm"), QStringLiteral("asking"), kWaitMs);
        // No RemoteDesktop: no input, said plainly.
        QCOMPARE(perm("inputPerm"), QStringLiteral("denied"));
        QVERIFY(answer(0));
        QTRY_COMPARE_WITH_TIMEOUT(perm("screenPerm"), QStringLiteral("granted"), kWaitMs);
        QList<QJsonArray> sources = callsOf(QStringLiteral("ScreenCast.SelectSources"), from);
        QCOMPARE(sources.size(), 1);
        QCOMPARE(sources[0][2].toObject().value("persist_mode").toInt(), 2);
        QVERIFY(!sources[0][2].toObject().contains("restore_data"));
        QTRY_VERIFY_WITH_TIMEOUT(!token().isEmpty(), 10000);
        const QString first = token();

        m_peers.reset();
        from = calls().size();
        QVERIFY2(startHost(&why), qPrintable(why));
        // Restored: granted without anyone answering.
        QTRY_COMPARE_WITH_TIMEOUT(perm("screenPerm"), QStringLiteral("granted"), kWaitMs);
        sources = callsOf(QStringLiteral("ScreenCast.SelectSources"), from);
        QCOMPARE(sources.size(), 1);
        QCOMPARE(sources[0][2].toObject().value("restore_data").toArray().first().toString(),
                 QStringLiteral("velmo-standin"));
        QVERIFY(!QDBusReply<bool>(standin(QStringLiteral("Pending"))).value());
        // The token a start hands back is kept for the next one (portal 1.16 hands back the
        // same one; later versions a new one, each single-use).
        QTRY_VERIFY_WITH_TIMEOUT(!token().isEmpty(), 10000);
        qInfo() << "restore token" << first << "then" << token();
        // The pictures come too.
        objects.config()->setVideoPref(QStringLiteral("jpeg"));
        auto session = objects.sessionTo(*m_peers, m_passcode, QStringLiteral("Portal"));
        session->start();
        QVERIFY2(QTest::qWaitFor([&] { return session->state() == State::Connected; }, kWaitMs),
                 qPrintable(session->failureText()));
        int tick = 0;
        QVERIFY(QTest::qWaitFor(
            [&] {
                if (++tick % 20 == 0)
                    m_win.paint(tick % 40 ? QColor(0, 0, 0) : QColor(0, 0, 8));
                const QImage img = session->image();
                return img.size() == QSize(1280, 720) && PixelCheck::near(img.pixel(200, 150), Qt::red, 12);
            },
            40000));
        session->close();
    }
};

int main(int argc, char **argv) {
    TestEnv env;
    QGuiApplication app(argc, argv);
    TestHostPortal t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_host_portal.moc"

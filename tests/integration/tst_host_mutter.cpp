// The host on a GNOME desktop: a headless Mutter (scripts/with-test-env.sh: PipeWire,
// WirePlumber, one virtual monitor, software rendering) with a real Wayland client window
// that paints known colours and records the events it receives. velmo-remote-host runs as
// in a real GNOME session, with DISPLAY set to Mutter's Xwayland: it must choose Mutter's
// own remote-desktop and screen-cast interfaces (no dialog), never the Xwayland. The app's
// own viewer finds the colours in JPEG and H.264; clicks, wheel and keys arrive as real
// events; the clipboard goes both ways, copied files too; a turned monitor reaches the viewer without a
// reconnect; nothing stays held when a viewer vanishes mid-drag; when Mutter goes, the status
// says so instead of showing a stale picture.
#include "config/AppConfig.h"
#include "session/RemoteSession.h"
#include "support/ClipboardFilesTrip.h"
#include "support/DevicePeers.h"
#include "support/PixelCheck.h"
#include "support/TestEnv.h"
#include "support/ViewerObjects.h"
#include "support/WaylandEventWindow.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QJsonArray>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <csignal>
#include <memory>

using State = RemoteSession::State;

namespace {
constexpr int kShiftLeftScan = 42 + 8;
// The agent gives Mutter 10 s to announce a stream; a loaded machine has some more.
constexpr int kMutterWaitMs = 30000;

} // namespace

class TestHostMutter : public QObject {
    Q_OBJECT
    ViewerObjects objects;
    DevicePeers m_peers;
    QString m_passcode; // fixed: viewers come one after another
    WaylandEventWindow m_win;

    std::unique_ptr<RemoteSession> session(const QString &videoPref) {
        objects.config()->setVideoPref(videoPref);
        auto s = objects.sessionTo(m_peers, m_passcode, QStringLiteral("Mutter"));
        s->start();
        return s;
    }
    static QImage picture(RemoteSession &s) {
        return s.videoMode() == QLatin1String("h264") ? s.snapshot() : s.image();
    }
    // Headless Mutter renders in software, a frame every 50-60 ms at best: generous waits.
    static bool shows(RemoteSession &s, QSize size, const QList<QPair<QPoint, QColor>> &expected, int tolerance,
                      QString *why) {
        return QTest::qWaitFor(
            [&] {
                const QImage img = picture(s);
                if (img.size() != size) {
                    *why = QStringLiteral("picture is %1x%2").arg(img.width()).arg(img.height());
                    return false;
                }
                *why = PixelCheck::mismatch(img, expected, tolerance);
                return why->isEmpty();
            },
            40000);
    }
    static QList<QPair<QPoint, QColor>> quarters() {
        return {{{200, 150}, Qt::red}, {{1100, 150}, Qt::green}, {{200, 600}, Qt::blue}, {{1100, 600}, Qt::white}};
    }
    // A scripted viewer with the input right, shown the monitor at half size.
    std::unique_ptr<DeviceTestViewer> halfSizeViewer() {
        auto v = m_peers.viewer(m_passcode);
        if (!QTest::qWaitFor([&] { return v->count("auth_ok") == 1 && v->channelsOpen(); }, 30000))
            return nullptr;
        if (m_peers.post("perm", {{"sid", v->sid()}, {"input", true}, {"clip", false}, {"files", false}}) != 200)
            return nullptr;
        v->sendCtrl({{"t", "quality"}, {"fps", 30}, {"scale", 0.5}, {"q", 60}, {"kbps", 2000}});
        // Mutter sends a picture when the monitor changes: the window changes its middle now
        // and then (a scripted viewer does not acknowledge frames, so the first ones may be
        // held back).
        int tick = 0;
        if (!QTest::qWaitFor(
                [&] {
                    if (++tick % 10 == 0)
                        m_win.paint(tick % 20 ? QColor(0, 0, 0) : QColor(40, 40, 40));
                    return !v->frameSizes.isEmpty() && v->frameSizes.last() == QSize(640, 360);
                },
                40000))
            return nullptr;
        return v;
    }
    // Gives the virtual monitor the transform (0 upright, 1 turned by 90°) through Mutter's
    // display configuration, for the session only.
    static bool turn(int transform, QString *why) {
        const QStringList target{QStringLiteral("call"), QStringLiteral("--session"),
                                 QStringLiteral("-d"),   QStringLiteral("org.gnome.Mutter.DisplayConfig"),
                                 QStringLiteral("-o"),   QStringLiteral("/org/gnome/Mutter/DisplayConfig"),
                                 QStringLiteral("-m")};
        QProcess state;
        state.start(QStringLiteral("gdbus"),
                    target + QStringList{QStringLiteral("org.gnome.Mutter.DisplayConfig.GetCurrentState")});
        state.waitForFinished(10000);
        const QString out = QString::fromUtf8(state.readAllStandardOutput());
        const QRegularExpressionMatch serial = QRegularExpression(QStringLiteral("^\\(uint32 (\\d+),")).match(out);
        if (!serial.hasMatch()) {
            *why = QStringLiteral("no display state: ") + out + QString::fromUtf8(state.readAllStandardError());
            return false;
        }
        QProcess apply;
        apply.start(QStringLiteral("gdbus"),
                    target + QStringList{QStringLiteral("org.gnome.Mutter.DisplayConfig.ApplyMonitorsConfig"),
                                         serial.captured(1), QStringLiteral("1"),
                                         QStringLiteral("[(0, 0, 1.0, uint32 %1, true, [('Meta-0', "
                                                        "'1280x720@60.000', @a{sv} {})])]")
                                             .arg(transform),
                                         QStringLiteral("{}")});
        apply.waitForFinished(10000);
        if (apply.exitCode() != 0) {
            *why = QString::fromUtf8(apply.readAllStandardError());
            return false;
        }
        return true;
    }
    // The owner's choice that lets the agent use Mutter's own interfaces (without it the
    // portal would ask the person at the desktop), as the host panel stores it.
    static bool allowUnattended(DevicePeers &peers) {
        QDir().mkpath(peers.dataDir());
        QFile f(peers.dataDir() + QStringLiteral("/host-settings.json"));
        return f.open(QIODevice::WriteOnly) && f.write(R"({"unattended":true})") > 0;
    }
    const QJsonObject *next(const QString &kind, int button = 0, int ms = 10000) {
        return m_win.waitFor(
            [&](const QJsonObject &e) { return e.value("e") == kind && (!button || e.value("b").toInt() == button); },
            ms);
    }

private Q_SLOTS:
    void initTestCase() {
        if (qEnvironmentVariableIsEmpty("VELMO_TEST_MUTTER_PID"))
            QSKIP("needs a headless Mutter with PipeWire from the test environment (packages mutter, pipewire, "
                  "wireplumber, gstreamer1.0-pipewire, xwayland, qt6-wayland)");
        QCOMPARE(objects.waitForWebRtc(), QString());
        QString error;
        QVERIFY2(m_win.start(&error), qPrintable(error));
        QCOMPARE(m_win.size(), QSize(1280, 720));
        // As in a real GNOME session: DISPLAY is the session's Xwayland, and it answers.
        const QString xwayland = qEnvironmentVariable("VELMO_TEST_MUTTER_XWAYLAND");
        QVERIFY(!xwayland.isEmpty());
        m_peers.setHostSource(QStringLiteral("screen"));
        m_peers.setHostEnv(QStringLiteral("DISPLAY"), xwayland);
        m_peers.setHostEnv(QStringLiteral("XDG_SESSION_TYPE"), QStringLiteral("wayland"));
        QVERIFY(allowUnattended(m_peers));
        QVERIFY(m_peers.startServer());
        QVERIFY(m_peers.startHost());
        QVERIFY(m_peers.waitForDevice());
        m_passcode = m_peers.useFixedPasscode(QStringLiteral("steady-code-1"));
        QVERIFY(!m_passcode.isEmpty());
    }

    void mutterBackEndChosenOverXwayland() {
        const QJsonObject status = m_peers.status();
        QCOMPARE(status.value("displayServer").toString(), QStringLiteral("xwayland"));
        QCOMPARE(status.value("backend").toString(), QStringLiteral("mutter"));
        QCOMPARE(status.value("unattended").toBool(), true);
        QCOMPARE(status.value("screenError").toString(), QString());
        QCOMPARE(status.value("screenPerm").toString(), QStringLiteral("unneeded"));
        QCOMPARE(status.value("inputPerm").toString(), QStringLiteral("unneeded"));
        const QJsonArray monitors = status.value("monitors").toArray();
        QCOMPARE(monitors.size(), 1);
        QCOMPARE(monitors[0].toObject().value("name").toString(), QStringLiteral("Meta-0"));
        QCOMPARE(monitors[0].toObject().value("w").toInt(), 1280);
        QCOMPARE(monitors[0].toObject().value("h").toInt(), 720);
    }

    void jpegAndH264PicturesAreTheMonitor() {
        QString why;
        auto jpeg = session(QStringLiteral("jpeg"));
        QVERIFY2(QTest::qWaitFor([&] { return jpeg->state() == State::Connected; }, 30000),
                 qPrintable(jpeg->failureText()));
        QCOMPARE(jpeg->videoMode(), QStringLiteral("jpeg"));
        jpeg->setQuality({30, 1.0, 90, 8000});
        auto expected = quarters();
        expected += {{{640, 360}, QColor(0, 0, 0)}};
        QVERIFY2(shows(*jpeg, {1280, 720}, expected, 12, &why), qPrintable(why));
        // A change on the monitor (Mutter streams a new picture) reaches the viewer.
        m_win.paint(QColor(255, 0, 255));
        QVERIFY2(shows(*jpeg, {1280, 720}, {{{640, 360}, QColor(255, 0, 255)}}, 12, &why), qPrintable(why));
        jpeg->close();

        auto h264 = session(QStringLiteral("h264"));
        QVERIFY2(QTest::qWaitFor([&] { return h264->state() == State::Connected; }, 30000),
                 qPrintable(h264->failureText()));
        QCOMPARE(h264->videoMode(), QStringLiteral("h264"));
        h264->setQuality({30, 1.0, 90, 8000});
        QVERIFY2(shows(*h264, {1280, 720}, quarters(), 40, &why), qPrintable(why));
        m_win.paint(QColor(0, 0, 0));
        QVERIFY2(shows(*h264, {1280, 720}, {{{640, 360}, QColor(0, 0, 0)}}, 40, &why), qPrintable(why));
        h264->close();
    }

    void pointerAndKeys() {
        auto v = halfSizeViewer();
        QVERIFY(v);
        m_win.clear();
        // Frame pixels at half size: two monitor pixels each.
        v->sendInput({{"t", "md"}, {"b", 0}, {"x", 100}, {"y", 50}});
        v->sendInput({{"t", "mu"}, {"b", 0}, {"x", 100}, {"y", 50}});
        const QJsonObject *down = next("down", 1);
        QVERIFY(down);
        QCOMPARE(QPointF(down->value("x").toDouble(), down->value("y").toDouble()), QPointF(200, 100));
        QVERIFY(next("up", 1));
        v->sendInput({{"t", "md"}, {"b", 2}, {"x", 600}, {"y", 300}});
        v->sendInput({{"t", "mu"}, {"b", 2}, {"x", 600}, {"y", 300}});
        down = next("down", 2); // Qt::RightButton
        QVERIFY(down);
        QCOMPARE(QPointF(down->value("x").toDouble(), down->value("y").toDouble()), QPointF(1200, 600));
        // One wheel step up.
        v->sendInput({{"t", "wh"}, {"dx", 0}, {"dy", -40}, {"x", 10}, {"y", 10}});
        const QJsonObject *wheel = next("wheel");
        QVERIFY(wheel);
        QVERIFY2(wheel->value("dy").toInt() > 0, qPrintable(QString::number(wheel->value("dy").toInt())));

        // Keys by their code, with Shift, and text.
        m_win.clear();
        v->sendInput({{"t", "kd"}, {"code", "KeyA"}});
        v->sendInput({{"t", "ku"}, {"code", "KeyA"}});
        v->sendInput({{"t", "kd"}, {"code", "ShiftLeft"}});
        v->sendInput({{"t", "kd"}, {"code", "KeyB"}});
        v->sendInput({{"t", "ku"}, {"code", "KeyB"}});
        v->sendInput({{"t", "ku"}, {"code", "ShiftLeft"}});
        v->sendInput({{"t", "text"}, {"s", QStringLiteral("zé→")}});
        v->sendInput({{"t", "kd"}, {"code", "KeyC"}});
        v->sendInput({{"t", "ku"}, {"code", "KeyC"}});
        // Mutter 43 types a keysym only where a key of the session's layout gives it ("No
        // keycode found for keyval e9 in current group"): é and → do not come through on a
        // US layout, and take nothing else with them.
        QTRY_COMPARE_WITH_TIMEOUT(m_win.typed(), QStringLiteral("aBzc"), 10000);
        QVERIFY(m_win.keysHeld().isEmpty());

        // Without the input right nothing arrives, at once.
        QCOMPARE(m_peers.post("perm", {{"sid", v->sid()}, {"input", false}, {"clip", false}, {"files", false}}), 200);
        QTRY_VERIFY_WITH_TIMEOUT(!v->last("perm").value("input").toBool(true), 10000);
        m_win.clear();
        v->sendInput({{"t", "md"}, {"b", 0}, {"x", 300}, {"y", 300}});
        v->sendInput({{"t", "mu"}, {"b", 0}, {"x", 300}, {"y", 300}});
        v->sendInput({{"t", "kd"}, {"code", "KeyQ"}});
        v->sendInput({{"t", "ku"}, {"code", "KeyQ"}});
        QVERIFY(!next("down", 1, 1500));
        QCOMPARE(m_win.typed(), QString());
    }

    void clipboardBothWays() {
        auto v = halfSizeViewer();
        QVERIFY(v);
        QCOMPARE(m_peers.post("perm", {{"sid", v->sid()}, {"input", true}, {"clip", true}, {"files", false}}), 200);
        QTRY_VERIFY_WITH_TIMEOUT(v->last("perm").value("clip").toBool(), 10000);
        // The viewer's text lands on Mutter's clipboard, where the window reads it.
        v->sendCtrl({{"t", "clip"}, {"id", 1}, {"part", 0}, {"parts", 1}, {"text", QStringLiteral("von Velmo ✓")}});
        const QJsonObject *pasted = nullptr;
        QVERIFY(QTest::qWaitFor(
            [&] {
                m_win.askPaste();
                pasted = m_win.waitFor(
                    [](const QJsonObject &e) {
                        return e.value("e") == "paste" && !e.value("text").toString().isEmpty();
                    },
                    300);
                return pasted && pasted->value("text").toString() == QStringLiteral("von Velmo ✓");
            },
            15000));
        // A text the window copies reaches the viewer (the window is clicked first: a
        // compositor takes a copy only from a client with recent input).
        const int before = v->count("clip");
        v->sendInput({{"t", "md"}, {"b", 0}, {"x", 100}, {"y", 50}});
        v->sendInput({{"t", "mu"}, {"b", 0}, {"x", 100}, {"y", 50}});
        QVERIFY(next("up", 1));
        m_win.copy(QStringLiteral("aus GNOME"));
        QTRY_VERIFY_WITH_TIMEOUT(v->count("clip") > before, 15000);
        QCOMPARE(v->last("clip").value("text").toString(), QStringLiteral("aus GNOME"));
    }

    void clipboardFilesBothWays() {
        auto s = session(QStringLiteral("jpeg"));
        QVERIFY2(QTest::qWaitFor([&] { return s->state() == State::Connected; }, 30000), qPrintable(s->failureText()));
        const QString problem = ClipboardFilesTrip::run(m_peers, s.get(), m_win);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
    }

    void nothingHeldAfterTheViewerVanishesMidDrag() {
        auto v = halfSizeViewer();
        QVERIFY(v);
        m_win.clear();
        v->sendInput({{"t", "kd"}, {"code", "ShiftLeft"}});
        v->sendInput({{"t", "md"}, {"b", 0}, {"x", 100}, {"y", 100}});
        v->sendInput({{"t", "mm"}, {"x", 150}, {"y", 120}});
        QVERIFY(next("down", 1));
        QVERIFY(m_win.waitFor(
            [](const QJsonObject &e) { return e.value("e") == "move" && e.value("x").toDouble() == 300; }));
        QVERIFY(m_win.keysHeld().contains(kShiftLeftScan));
        QCOMPARE(m_win.buttonsHeld(), QList<int>{1});
        v.reset(); // no "bye", no closed channels: the pipeline just stops
        // The host notices the silence and lets go of everything.
        QTRY_VERIFY_WITH_TIMEOUT(m_win.buttonsHeld().isEmpty() && m_win.keysHeld().isEmpty(), 30000);
        QVERIFY(m_peers.host().state() == QProcess::Running);
    }

    // The monitor is turned (Mutter's display configuration, as the desktop's settings do):
    // the status and the viewer follow without a reconnect; turned back likewise.
    void turnedMonitorReachesTheViewer() {
        auto jpeg = session(QStringLiteral("jpeg"));
        QVERIFY2(QTest::qWaitFor([&] { return jpeg->state() == State::Connected; }, 30000),
                 qPrintable(jpeg->failureText()));
        jpeg->setQuality({30, 1.0, 90, 8000});
        QString why;
        QVERIFY2(shows(*jpeg, {1280, 720}, {{{200, 150}, Qt::red}}, 12, &why), qPrintable(why));
        QVERIFY2(turn(1, &why), qPrintable(why)); // 90°
        QTRY_COMPARE_WITH_TIMEOUT(m_peers.status().value("monitors").toArray().at(0).toObject().value("w").toInt(), 720,
                                  20000);
        QCOMPARE(m_peers.status().value("monitors").toArray().at(0).toObject().value("h").toInt(), 1280);
        // The window fills the turned monitor: red is still its top left quarter.
        QVERIFY2(shows(*jpeg, {720, 1280}, {{{150, 200}, Qt::red}, {{600, 1100}, Qt::white}}, 12, &why),
                 qPrintable(why));
        QVERIFY2(turn(0, &why), qPrintable(why));
        QVERIFY2(shows(*jpeg, {1280, 720}, quarters(), 12, &why), qPrintable(why));
        jpeg->close();
        // Input goes through the session Mutter made anew.
        auto v = halfSizeViewer();
        QVERIFY(v);
        m_win.clear();
        v->sendInput({{"t", "md"}, {"b", 0}, {"x", 300}, {"y", 200}});
        v->sendInput({{"t", "mu"}, {"b", 0}, {"x", 300}, {"y", 200}});
        const QJsonObject *down = next("down", 1);
        QVERIFY(down);
        QCOMPARE(QPointF(down->value("x").toDouble(), down->value("y").toDouble()), QPointF(600, 400));
        QVERIFY(next("up", 1));
    }

    // Near the end: PipeWire is gone, so Mutter has no stream to give. An agent started now
    // says so (screen and input "denied" with the reason), and does not hang.
    void noStreamIsAClearState() {
        const qint64 pid = qEnvironmentVariable("VELMO_TEST_PIPEWIRE_PID").toLongLong();
        QVERIFY(pid > 0);
        QCOMPARE(::kill(pid_t(pid), SIGKILL), 0);
        QTest::qWait(500);
        DevicePeers late;
        late.setHostSource(QStringLiteral("screen"));
        late.setHostEnv(QStringLiteral("XDG_SESSION_TYPE"), QStringLiteral("wayland"));
        QVERIFY(allowUnattended(late));
        QVERIFY(late.startServer());
        QVERIFY(late.startHost());
        QVERIFY(late.waitForDevice());
        QCOMPARE(late.status().value("backend").toString(), QStringLiteral("mutter"));
        QTRY_COMPARE_WITH_TIMEOUT(late.status().value("screenPerm").toString(), QStringLiteral("denied"),
                                  kMutterWaitMs);
        const QJsonObject status = late.status();
        qInfo() << "the agent says:" << status.value("screenError").toString();
        QVERIFY2(status.value("screenError").toString().contains(QStringLiteral("Mutter")),
                 qPrintable(status.value("screenError").toString()));
        QCOMPARE(status.value("inputPerm").toString(), QStringLiteral("denied"));
        QVERIFY(late.host().state() == QProcess::Running);
    }

    // Last: the desktop goes away under the agent (the compositor crashes: nothing is closed).
    void mutterGoneIsAClearState() {
        const qint64 pid = qEnvironmentVariable("VELMO_TEST_MUTTER_PID").toLongLong();
        QVERIFY(pid > 0);
        QCOMPARE(::kill(pid_t(pid), SIGKILL), 0);
        QTRY_COMPARE_WITH_TIMEOUT(m_peers.status().value("screenPerm").toString(), QStringLiteral("denied"), 20000);
        const QJsonObject status = m_peers.status();
        QVERIFY2(status.value("screenError").toString().contains(QStringLiteral("Mutter")),
                 qPrintable(status.value("screenError").toString()));
        QCOMPARE(status.value("inputPerm").toString(), QStringLiteral("denied"));
        QVERIFY(m_peers.host().state() == QProcess::Running);
    }
};

int main(int argc, char **argv) {
    TestEnv env;
    QGuiApplication app(argc, argv);
    TestHostMutter t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_host_mutter.moc"

// The host on a wlroots desktop: a headless sway (scripts/with-test-env.sh, software
// rendering) with a real Wayland client window that paints known colours and records the
// events it receives. velmo-remote-host runs as in a real sway session, with DISPLAY set to
// the session's Xwayland: it must choose its wlroots back end (screencopy, virtual pointer
// and keyboard, data-control), never the Xwayland. The app's own viewer finds the colours
// in JPEG and H.264; clicks, wheel, keys and typed text arrive as real events; the
// clipboard goes both ways; nothing stays held when a viewer vanishes mid-drag.
#include "config/AppConfig.h"
#include "session/RemoteSession.h"
#include "support/ClipboardFilesTrip.h"
#include "support/DevicePeers.h"
#include "support/NoisePicture.h"
#include "support/PixelCheck.h"
#include "support/TestEnv.h"
#include "support/ViewerObjects.h"
#include "support/WaylandEventWindow.h"
#include "transfer/ClipImage.h"

#include <QBuffer>
#include <QGuiApplication>
#include <QImage>
#include <QJsonArray>
#include <QRandomGenerator>
#include <QTest>

#include <memory>

using State = RemoteSession::State;

namespace {
constexpr int kShiftLeftScan = 42 + 8;

} // namespace

class TestHostWlroots : public QObject {
    Q_OBJECT
    ViewerObjects objects;
    DevicePeers m_peers;
    QString m_passcode; // fixed: viewers come one after another
    WaylandEventWindow m_win;

    std::unique_ptr<RemoteSession> session(const QString &videoPref) {
        objects.config()->setVideoPref(videoPref);
        auto s = objects.sessionTo(m_peers, m_passcode, QStringLiteral("Sway"));
        s->start();
        return s;
    }
    static QImage picture(RemoteSession &s) {
        return s.videoMode() == QLatin1String("h264") ? s.snapshot() : s.image();
    }
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
            30000);
    }
    static QList<QPair<QPoint, QColor>> quarters() {
        return {{{200, 150}, Qt::red}, {{1100, 150}, Qt::green}, {{200, 600}, Qt::blue}, {{1100, 600}, Qt::white}};
    }
    // A scripted viewer with the input and clipboard rights, shown the output at half size.
    std::unique_ptr<DeviceTestViewer> halfSizeViewer() {
        auto v = m_peers.viewer(m_passcode);
        if (!QTest::qWaitFor([&] { return v->count("auth_ok") == 1 && v->channelsOpen(); }, 30000))
            return nullptr;
        if (m_peers.post("perm", {{"sid", v->sid()}, {"input", true}, {"clip", true}, {"files", false}}) != 200)
            return nullptr;
        v->sendCtrl({{"t", "quality"}, {"fps", 30}, {"scale", 0.5}, {"q", 60}, {"kbps", 2000}});
        // Frames come when the output changes: the window changes its middle now and then
        // (a scripted viewer does not acknowledge frames, so the first ones may be held back).
        int tick = 0;
        if (!QTest::qWaitFor(
                [&] {
                    if (++tick % 10 == 0)
                        m_win.paint(tick % 20 ? QColor(0, 0, 0) : QColor(40, 40, 40));
                    return !v->frameSizes.isEmpty() && v->frameSizes.last() == QSize(640, 360);
                },
                30000))
            return nullptr;
        return v;
    }
    const QJsonObject *next(const QString &kind, int button = 0, int ms = 10000) {
        return m_win.waitFor(
            [&](const QJsonObject &e) { return e.value("e") == kind && (!button || e.value("b").toInt() == button); },
            ms);
    }

private Q_SLOTS:
    void initTestCase() {
        if (qEnvironmentVariableIsEmpty("VELMO_TEST_SWAYSOCK"))
            QSKIP("needs a headless sway from the test environment (packages sway, xwayland, qt6-wayland)");
        QCOMPARE(objects.waitForWebRtc(), QString());
        QString error;
        QVERIFY2(m_win.start(&error), qPrintable(error));
        QCOMPARE(m_win.size(), QSize(1280, 720));
        // As in a real sway session: DISPLAY is the session's Xwayland, and it answers.
        const QString xwayland = qEnvironmentVariable("VELMO_TEST_XWAYLAND");
        QVERIFY(!xwayland.isEmpty());
        m_peers.setHostSource(QStringLiteral("screen"));
        m_peers.setHostEnv(QStringLiteral("DISPLAY"), xwayland);
        m_peers.setHostEnv(QStringLiteral("XDG_SESSION_TYPE"), QStringLiteral("wayland"));
        QVERIFY(m_peers.startServer());
        QVERIFY(m_peers.startHost());
        QVERIFY(m_peers.waitForDevice());
        m_passcode = m_peers.useFixedPasscode(QStringLiteral("steady-code-1"));
        QVERIFY(!m_passcode.isEmpty());
    }

    void waylandBackEndChosenOverXwayland() {
        const QJsonObject status = m_peers.status();
        QCOMPARE(status.value("displayServer").toString(), QStringLiteral("xwayland"));
        QCOMPARE(status.value("backend").toString(), QStringLiteral("wlroots"));
        QCOMPARE(status.value("screenError").toString(), QString());
        QCOMPARE(status.value("screenPerm").toString(), QStringLiteral("unneeded"));
        QCOMPARE(status.value("inputPerm").toString(), QStringLiteral("unneeded"));
        const QJsonArray monitors = status.value("monitors").toArray();
        QCOMPARE(monitors.size(), 1);
        QCOMPARE(monitors[0].toObject().value("name").toString(), QStringLiteral("HEADLESS-1"));
        QCOMPARE(monitors[0].toObject().value("w").toInt(), 1280);
        QCOMPARE(monitors[0].toObject().value("h").toInt(), 720);
    }

    void jpegAndH264PicturesAreTheOutput() {
        QString why;
        auto jpeg = session(QStringLiteral("jpeg"));
        QVERIFY2(QTest::qWaitFor([&] { return jpeg->state() == State::Connected; }, 30000),
                 qPrintable(jpeg->failureText()));
        QCOMPARE(jpeg->videoMode(), QStringLiteral("jpeg"));
        jpeg->setQuality({30, 1.0, 90, 8000});
        auto expected = quarters();
        expected += {{{640, 360}, QColor(0, 0, 0)}};
        QVERIFY2(shows(*jpeg, {1280, 720}, expected, 12, &why), qPrintable(why));
        // A change on the output (the compositor reports damage) reaches the viewer.
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

    void pointerKeysAndText() {
        auto v = halfSizeViewer();
        QVERIFY(v);
        m_win.clear();
        // Frame pixels at half size: two output pixels each.
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

        // Keys by their code, with Shift, and text with characters no key of the keymap gives.
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
        QTRY_COMPARE_WITH_TIMEOUT(m_win.typed(), QStringLiteral("aBzé→c"), 10000);
        QVERIFY(m_win.keysHeld().isEmpty());
    }

    void clipboardBothWays() {
        auto v = halfSizeViewer();
        QVERIFY(v);
        // The viewer's text lands on the compositor's clipboard, where the window reads it.
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
            10000));
        // A text the window copies reaches the viewer. The compositor takes a copy only from
        // a client whose latest input is newer than the selection in force (as a person's
        // Ctrl+C would be): the window is clicked first.
        const int before = v->count("clip");
        v->sendInput({{"t", "md"}, {"b", 0}, {"x", 100}, {"y", 50}});
        v->sendInput({{"t", "mu"}, {"b", 0}, {"x", 100}, {"y", 50}});
        QVERIFY(next("up", 1));
        m_win.copy(QStringLiteral("aus Sway"));
        QTRY_VERIFY_WITH_TIMEOUT(v->count("clip") > before, 10000);
        QCOMPARE(v->last("clip").value("text").toString(), QStringLiteral("aus Sway"));
    }

    void clipboardFilesBothWays() {
        auto s = session(QStringLiteral("jpeg"));
        QVERIFY2(QTest::qWaitFor([&] { return s->state() == State::Connected; }, 30000), qPrintable(s->failureText()));
        const QString problem = ClipboardFilesTrip::run(m_peers, s.get(), m_win);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
    }

    void clipboardPictures() {
        auto v = halfSizeViewer();
        QVERIFY(v);
        // The viewer's PNG (several parts) lands on the compositor's clipboard, where the
        // window pastes it byte for byte.
        const QByteArray mine = noisePng(200, 120);
        for (const QJsonObject &part : ClipImage::split(mine, 41))
            v->sendCtrl(part);
        QVERIFY(QTest::qWaitFor(
            [&] {
                m_win.askPasteImage();
                const QJsonObject *pasted =
                    m_win.waitFor([](const QJsonObject &e) { return e.value("e") == "pasteimg"; }, 300);
                return pasted && QByteArray::fromBase64(pasted->value("png").toString().toLatin1()) == mine;
            },
            10000));
        // A picture the window copies reaches the viewer whole (the window is clicked
        // first, as for text: the compositor takes a copy only after newer input).
        const qsizetype before = v->ctrl.size();
        v->sendInput({{"t", "md"}, {"b", 0}, {"x", 100}, {"y", 50}});
        v->sendInput({{"t", "mu"}, {"b", 0}, {"x", 100}, {"y", 50}});
        QVERIFY(next("up", 1));
        const QByteArray theirs = noisePng(150, 90);
        m_win.copyImage(theirs);
        ClipImage in;
        std::optional<QByteArray> got;
        qsizetype seen = before;
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                for (; seen < v->ctrl.size(); ++seen)
                    if (v->ctrl[seen].value("t").toString() == ClipImage::tag)
                        if (auto png = in.add(v->ctrl[seen]))
                            got = png;
                return got.has_value();
            }(),
            10000);
        QCOMPARE(*got, theirs);

        // Without the clip right the agent takes nothing from the viewer, even from one
        // that sends anyway, and sends it nothing.
        QCOMPARE(m_peers.post("perm", {{"sid", v->sid()}, {"input", true}, {"clip", false}, {"files", false}}), 200);
        QTRY_VERIFY_WITH_TIMEOUT(!v->last("perm").value("clip").toBool(true), 10000);
        for (const QJsonObject &part : ClipImage::split(noisePng(30, 30), 42))
            v->sendCtrl(part);
        v->sendCtrl({{"t", "clip"}, {"id", 43}, {"part", 0}, {"parts", 1}, {"text", QStringLiteral("verboten")}});
        QTest::qWait(1500);
        m_win.askPasteImage();
        const QJsonObject *kept = m_win.waitFor([](const QJsonObject &e) { return e.value("e") == "pasteimg"; });
        QVERIFY(kept);
        QCOMPARE(QByteArray::fromBase64(kept->value("png").toString().toLatin1()), theirs);
        const qsizetype quiet = v->ctrl.size();
        v->sendInput({{"t", "md"}, {"b", 0}, {"x", 100}, {"y", 50}});
        v->sendInput({{"t", "mu"}, {"b", 0}, {"x", 100}, {"y", 50}});
        QVERIFY(next("up", 1));
        m_win.copyImage(noisePng(20, 20));
        QTest::qWait(1500);
        for (qsizetype i = quiet; i < v->ctrl.size(); ++i)
            QVERIFY(v->ctrl[i].value("t").toString() != ClipImage::tag);
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
};

int main(int argc, char **argv) {
    TestEnv env;
    QGuiApplication app(argc, argv);
    TestHostWlroots t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_host_wlroots.moc"

// The viewer as a user drives it: the connect panel's fields and button, the
// session window that opens, the moving picture, a click and a key reaching the
// device, and "切断". Against real velmo-rendezvous and velmo-remote-host child
// processes on 127.0.0.1 (the host logs what arrives on "input").
#include "config/AppConfig.h"
#include "rendezvous/Signaling.h"
#include "session/SessionStore.h"
#include "support/DevicePeers.h"
#include "support/TestEnv.h"
#include "support/ViewerObjects.h"
#include "util/StringUtils.h"
#include "viewer/ConnectView.h"
#include "viewer/RemoteScreenView.h"
#include "viewer/SessionView.h"
#include "viewer/SessionWindowView.h"
#include "viewer/SessionWindows.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

namespace {
int authedSessions(DevicePeers &peers) {
    int n = 0;
    for (const QJsonValue &v : peers.status().value("sessions").toArray())
        n += v.toObject().value("authed").toBool() ? 1 : 0;
    return n;
}

// Whether any pixel of the rectangle is not black (the test pattern is a
// light ball moving over black).
bool anyLight(const QImage &image, const QRect &r) {
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            if (qGray(image.pixel(x, y)) > 64)
                return true;
    return false;
}
} // namespace

class TestViewerEndToEnd : public QObject {
    Q_OBJECT

    TestEnv env;
    ViewerObjects objects;
    SessionWindows windows{objects.store(), objects.config()};
    DevicePeers peers;

private Q_SLOTS:
    void initTestCase();
    void connectWatchClickTypeDisconnect_data();
    void connectWatchClickTypeDisconnect();
    void cleanup();
};

void TestViewerEndToEnd::cleanup() {
    // A failed run leaves nothing behind for the next one.
    objects.store()->closeAll();
    QTRY_COMPARE(windows.count(), 0);
}

void TestViewerEndToEnd::initTestCase() {
    QVERIFY(peers.startServer());
    QVERIFY(peers.startHost("input_log"));
    QVERIFY(peers.waitForDevice());
    objects.config()->setServer(peers.serverUrl());
}

void TestViewerEndToEnd::connectWatchClickTypeDisconnect_data() {
    QTest::addColumn<QString>("videoPref");
    QTest::newRow("jpeg") << "jpeg";
    QTest::newRow("h264") << "h264";
}

void TestViewerEndToEnd::connectWatchClickTypeDisconnect() {
    QFETCH(QString, videoPref);
    objects.config()->setVideoPref(videoPref);
    QFile::remove(peers.dataDir() + "/device-input.jsonl");
    SessionStore *store = objects.store();
    const int windowsBefore = windows.count();

    // The connect panel, as in the main window.
    ConnectView panel(objects.config(), objects.signaling(), objects.api(), objects.trust(), store,
                      [this](const QString &opened) { windows.open(opened); });
    panel.resize(900, 640);
    panel.show();
    QVERIFY(QTest::qWaitForWindowExposed(&panel));
    auto *idField = panel.findChild<QLineEdit *>("targetId");
    auto *passField = panel.findChild<QLineEdit *>("passcode");
    QTest::mouseClick(idField, Qt::LeftButton);
    QTest::keyClicks(idField, peers.deviceId());
    QCOMPARE(idField->text(), formattedId(peers.deviceId()));
    QTest::mouseClick(passField, Qt::LeftButton);
    QTest::keyClicks(passField, peers.autoPasscode());
    QTest::mouseClick(panel.findChild<QPushButton *>("connect"), Qt::LeftButton);

    // One session window opens and reaches the picture.
    QTRY_COMPARE_WITH_TIMEOUT(windows.count(), windowsBefore + 1, 10000);
    QCOMPARE(store->count(), 1);
    const QString sid = store->ids().first();
    QPointer<SessionWindowView> window = windows.window(sid);
    QVERIFY(window);
    QPointer<RemoteSession> session = store->session(sid);
    QTRY_COMPARE_WITH_TIMEOUT(session->state(), RemoteSession::State::Connected, 20000);
    QCOMPARE(session->videoMode(), videoPref);
    QCOMPARE(panel.passcode(), QString());
    QCOMPARE(authedSessions(peers), 1);
    RemoteScreenView *screen = window->findChild<RemoteScreenView *>("screen");
    QVERIFY(screen);
    QTRY_VERIFY(screen->isVisible());
    QSignalSpy painted(screen, &RemoteScreenView::framePainted);
    QTRY_VERIFY_WITH_TIMEOUT(screen->frameSize().width() > 0 && painted.count() >= 3, 15000);
    const QImage shot = screen->grab().toImage();
    const QRect content = screen->contentRect().toAlignedRect().intersected(shot.rect());
    if (!anyLight(shot, content))
        shot.save(QDir::tempPath() + "/velmo-e2e-black.png");
    QVERIFY2(anyLight(shot, content), "the painted picture is black");
    // Frames keep coming: the picture moves.
    const quint64 paintedBefore = screen->paintedFrames();
    QTRY_VERIFY_WITH_TIMEOUT(screen->paintedFrames() >= paintedBefore + 5, 10000);

    // A click and a key, into the real widget.
    const QPoint local = content.center() + QPoint(content.width() / 5, -content.height() / 7);
    const auto remote = RemoteScreenView::remotePoint(local, QSizeF(screen->size()), screen->frameSize());
    QVERIFY(remote);
    QTest::mouseClick(screen, Qt::LeftButton, {}, local);
    QVERIFY(screen->hasFocus());
    // A key with its X11 keycode (evdev 30 + 8 = KeyA), as a keyboard gives it.
    QKeyEvent press(QEvent::KeyPress, Qt::Key_A, {}, 38, 0, 0, "a");
    QApplication::sendEvent(screen, &press);
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_A, {}, 38, 0, 0, "a");
    QApplication::sendEvent(screen, &release);
    // And the key bar's Tab.
    QTest::mouseClick(window->findChild<QPushButton *>("key_Tab"), Qt::LeftButton);

    auto has = [&](const QJsonObject &want) {
        for (const QJsonObject &m : peers.inputLog()) {
            bool all = true;
            for (auto it = want.begin(); it != want.end(); ++it)
                all = all && m.value(it.key()) == it.value();
            if (all)
                return true;
        }
        return false;
    };
    const QJsonObject md{{"t", "md"}, {"b", 0}, {"x", remote->x()}, {"y", remote->y()}};
    const QJsonObject mu{{"t", "mu"}, {"b", 0}, {"x", remote->x()}, {"y", remote->y()}};
    QTRY_VERIFY_WITH_TIMEOUT(has(md), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(has(mu), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(has({{"t", "kd"}, {"code", "KeyA"}, {"ch", "a"}}), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(has({{"t", "ku"}, {"code", "KeyA"}}), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(has({{"t", "kd"}, {"code", "Tab"}}), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(has({{"t", "ku"}, {"code", "Tab"}}), 5000);
    // In order: the press before the release.
    QStringList kinds;
    for (const QJsonObject &m : peers.inputLog())
        if (m.value("t").toString() != "mm")
            kinds << m.value("t").toString();
    QCOMPARE(kinds.mid(0, 4), QStringList({"md", "mu", "kd", "ku"}));

    // "切断" closes the window and the session, and the device sees it go.
    QTest::mouseClick(window->findChild<QPushButton *>("disconnect"), Qt::LeftButton);
    QTRY_VERIFY(!window);
    QVERIFY(!store->contains(sid));
    QTRY_VERIFY(!session);
    QCOMPARE(windows.count(), windowsBefore);
    QTRY_COMPARE_WITH_TIMEOUT(authedSessions(peers), 0, 10000);
}

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    TestViewerEndToEnd test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_viewer_e2e.moc"

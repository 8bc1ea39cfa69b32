// The host user's approval of real viewers: the app's own RemoteSession against a real
// velmo-rendezvous and velmo-remote-host with "approval" set to "ask". Each outcome —
// admitted, refused, timed out, withdrawn — is checked where the viewer sees it and in
// the agent's status, and the viewer's introduction ("hello") must reach the status as
// the session's name, info and icon.
#include "agent/AgentController.h"
#include "config/AppConfig.h"
#include "media/PeerConnectionFactory.h"
#include "session/RemoteSession.h"
#include "sharing/AskWindow.h"
#include "sharing/AskWindows.h"
#include "support/DevicePeers.h"
#include "support/DeviceTestViewer.h"
#include "support/TestEnv.h"
#include "support/ViewerObjects.h"
#include "support/WsSignalingPort.h"
#include "viewer/SessionView.h"

#include <QApplication>
#include <QDateTime>
#include <QImage>
#include <QJsonArray>
#include <QLabel>
#include <QPushButton>
#include <QSet>
#include <QSysInfo>
#include <QTest>

#include <memory>

using State = RemoteSession::State;

namespace {
TestEnv *g_env = nullptr;

std::unique_ptr<RemoteSession> connectViewer(ViewerObjects &objects, DevicePeers &peers) {
    auto s = objects.sessionTo(peers, peers.autoPasscode());
    s->start();
    return s;
}

QJsonArray asks(DevicePeers &peers) {
    return peers.status().value("asks").toArray();
}

QJsonObject sessionOf(DevicePeers &peers, const QString &sid) {
    for (const QJsonValue &v : peers.status().value("sessions").toArray())
        if (v.toObject().value("sid").toString() == sid)
            return v.toObject();
    return {};
}

// The one pending request, once it is listed.
QJsonObject waitForAsk(DevicePeers &peers) {
    QJsonObject ask;
    (void)QTest::qWaitFor(
        [&] {
            const QJsonArray a = asks(peers);
            if (a.size() == 1)
                ask = a.first().toObject();
            return !ask.isEmpty();
        },
        20000);
    return ask;
}

} // namespace

class TestDeviceApproval : public QObject {
    Q_OBJECT
    ViewerObjects objects;

private Q_SLOTS:
    void initTestCase() {
        // The viewer's picture, sent scaled down with its introduction.
        QImage face(100, 80, QImage::Format_RGB32);
        face.fill(QColor(200, 30, 40));
        QVERIFY(face.save(g_env->home() + QStringLiteral("/.face"), "PNG"));
        objects.config()->setVideoPref(QStringLiteral("jpeg"));
        QCOMPARE(objects.waitForWebRtc(), QString());
    }

    void admittedAndIntroduced() {
        DevicePeers peers;
        QVERIFY(peers.startServer());
        QVERIFY(peers.startHost());
        QVERIFY(peers.waitForDevice());
        QCOMPARE(peers.status().value("approval").toString(), QStringLiteral("passcode"));
        QCOMPARE(peers.post("approval", {{"mode", "sometimes"}}), 400);
        QCOMPARE(peers.post("approval", {{"mode", "ask"}}), 200);
        QCOMPARE(peers.status().value("approval").toString(), QStringLiteral("ask"));

        auto s = connectViewer(objects, peers);
        SessionView view(s.get(), objects.config(), nullptr);
        view.show();
        const QJsonObject ask = waitForAsk(peers);
        QVERIFY2(!ask.isEmpty(), "no request listed");
        const QString sid = ask.value("sid").toString();
        // The viewer's window says whom it waits for and how long it may still take.
        auto secondsLeft = [&] {
            const QString text = view.findChild<QLabel *>("progressText")->text();
            const QString head = QStringLiteral("相手の許可を待っています(残り "), tail = QStringLiteral(" 秒)");
            if (!text.startsWith(head) || !text.endsWith(tail))
                return -1;
            bool ok = false;
            const int n = text.mid(head.size(), text.size() - head.size() - tail.size()).toInt(&ok);
            return ok ? n : -1;
        };
        QTRY_VERIFY2_WITH_TIMEOUT(secondsLeft() > 0, qPrintable(view.findChild<QLabel *>("progressText")->text()),
                                  5000);
        const int first = secondsLeft();
        QVERIFY2(first <= 60, qPrintable(QString::number(first)));
        QTRY_VERIFY_WITH_TIMEOUT(secondsLeft() >= 0 && secondsLeft() < first, 5000);
        // The introduction follows the proof, so the request already names the viewer.
        QTRY_VERIFY_WITH_TIMEOUT(asks(peers).first().toObject().value("name").toString().endsWith(
                                     QLatin1Char('@') + QSysInfo::machineHostName()),
                                 5000);
        QCOMPARE(ask.value("ip").toString(), QStringLiteral("127.0.0.1"));
        QVERIFY(std::abs(ask.value("at").toInteger() - QDateTime::currentSecsSinceEpoch()) < 60);
        // Waiting: proven, but not in.
        QTest::qWait(500);
        QCOMPARE(s->state(), State::Authenticating);
        QVERIFY(peers.sessionListed(sid, false));

        QCOMPARE(peers.post("asks/answer", {{"sid", sid}, {"ok", true}}), 200);
        QVERIFY2(QTest::qWaitFor([&] { return s->state() == State::Connected; }, 10000), qPrintable(s->failureText()));
        QTRY_VERIFY_WITH_TIMEOUT(!s->image().isNull(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(peers.sessionListed(sid, true), 5000);
        QVERIFY(asks(peers).isEmpty());
        const QJsonObject session = sessionOf(peers, sid);
        QVERIFY(session.value("name").toString().endsWith(QLatin1Char('@') + QSysInfo::machineHostName()));
        const QJsonObject info = session.value("info").toObject();
        QCOMPARE(info.value("app").toString(), QStringLiteral("Velmo Remote"));
        QCOMPARE(info.value("ver").toString(), QStringLiteral(VELMO_VERSION));
        QCOMPARE(info.value("os").toString(), QSysInfo::prettyProductName());
        const QString icon = session.value("icon").toString();
        QVERIFY(icon.startsWith(QLatin1String("data:image/png;base64,")));
        const QImage picture = QImage::fromData(QByteArray::fromBase64(icon.mid(22).toLatin1()), "PNG");
        QCOMPARE(picture.size(), QSize(48, 38));
        QCOMPARE(QColor(picture.pixel(24, 19)), QColor(200, 30, 40));
        s->close();
        QTRY_VERIFY_WITH_TIMEOUT(peers.sessionGone(sid), 5000);

        // The policy outlives the agent.
        peers.killHost();
        QVERIFY(peers.startHost());
        QCOMPARE(peers.status().value("approval").toString(), QStringLiteral("ask"));
    }

    void refusedAndTimedOut() {
        DevicePeers peers;
        peers.setHostEnv(QStringLiteral("VELMO_HOST_ASK_TIMEOUT_MS"), QStringLiteral("2500"));
        QVERIFY(peers.startServer());
        QVERIFY(peers.startHost());
        QVERIFY(peers.waitForDevice());
        QCOMPARE(peers.post("approval", {{"mode", "ask"}}), 200);

        auto refused = connectViewer(objects, peers);
        const QString sid = waitForAsk(peers).value("sid").toString();
        QVERIFY(!sid.isEmpty());
        QCOMPARE(peers.post("asks/answer", {{"sid", sid}, {"ok", false}}), 200);
        QVERIFY(QTest::qWaitFor([&] { return refused->state() == State::Failed; }, 10000));
        QCOMPARE(refused->failureText(), QStringLiteral("相手が接続を拒否しました"));
        QTRY_VERIFY_WITH_TIMEOUT(peers.sessionGone(sid), 10000);
        QVERIFY(asks(peers).isEmpty());
        // The connection ended; the viewer still says why.
        QTest::qWait(1500);
        QCOMPARE(refused->failureText(), QStringLiteral("相手が接続を拒否しました"));
        refused->close();

        auto late = connectViewer(objects, peers);
        const QString lateSid = waitForAsk(peers).value("sid").toString();
        QVERIFY(!lateSid.isEmpty());
        QVERIFY(QTest::qWaitFor([&] { return late->state() == State::Failed; }, 15000));
        QCOMPARE(late->failureText(), QStringLiteral("エラー: 接続の許可を待ちましたが、応答がありませんでした"));
        QVERIFY(asks(peers).isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(peers.sessionGone(lateSid), 10000);
        // Too late to answer.
        QCOMPARE(peers.post("asks/answer", {{"sid", lateSid}, {"ok", true}}), 404);
        late->close();
    }

    void withdrawnByLeavingViewer() {
        DevicePeers peers;
        QVERIFY(peers.startServer());
        QVERIFY(peers.startHost());
        QVERIFY(peers.waitForDevice());
        QCOMPARE(peers.post("approval", {{"mode", "ask"}}), 200);
        auto s = connectViewer(objects, peers);
        const QString sid = waitForAsk(peers).value("sid").toString();
        QVERIFY(!sid.isEmpty());
        s->close();
        QTRY_VERIFY_WITH_TIMEOUT(asks(peers).isEmpty(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(peers.sessionGone(sid), 5000);
        QCOMPARE(peers.post("asks/answer", {{"sid", sid}, {"ok", true}}), 404);

        // Back to the passcode alone: the next viewer comes straight in, named.
        QCOMPARE(peers.post("approval", {{"mode", "passcode"}}), 200);
        auto direct = connectViewer(objects, peers);
        QVERIFY(QTest::qWaitFor([&] { return direct->state() == State::Connected; }, 15000));
        QVERIFY(asks(peers).isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(
            peers.status().value("sessions").toArray().size() == 1 &&
                !peers.status().value("sessions").toArray().first().toObject().value("name").toString().isEmpty(),
            5000);
        direct->close();
    }

    void approvalWindowsServeRealViewers() {
        // The application's own prompts, fed by its supervisor attached to the agent.
        DevicePeers peers;
        peers.setHostDataDir(g_env->dataDir());
        QVERIFY(peers.startServer());
        QVERIFY(peers.startHost());
        QVERIFY(peers.waitForDevice());
        QCOMPARE(peers.post("approval", {{"mode", "ask"}}), 200);
        AgentController agent;
        agent.start(QString());
        QTRY_VERIFY_WITH_TIMEOUT(agent.status().has_value() && agent.status()->approval == QLatin1String("ask"), 10000);
        AskWindows windows;
        windows.start(&agent);

        auto answer = [&](RemoteSession &viewer, const QString &button) {
            QTRY_VERIFY_WITH_TIMEOUT(windows.count() == 1, 20000);
            AskWindow *w = windows.window(windows.openSids().first());
            QVERIFY(w);
            // The prompt names the viewer from its introduction.
            QTRY_VERIFY_WITH_TIMEOUT(agent.status()->asks.size() == 1 &&
                                         agent.status()->asks.first().name.endsWith(QSysInfo::machineHostName()),
                                     5000);
            auto *b = w->findChild<QPushButton *>(button);
            QVERIFY(b);
            b->click();
            QTRY_COMPARE_WITH_TIMEOUT(windows.count(), 0, 5000);
            Q_UNUSED(viewer);
        };
        const QString firstCode = peers.autoPasscode();
        auto allowed = connectViewer(objects, peers);
        answer(*allowed, QStringLiteral("allow"));
        QVERIFY(QTest::qWaitFor([&] { return allowed->state() == State::Connected; }, 10000));
        allowed->close();
        // The session that used the automatic passcode has ended: the next viewer needs the new one.
        QTRY_VERIFY_WITH_TIMEOUT(peers.autoPasscode() != firstCode, 10000);

        auto refused = connectViewer(objects, peers);
        answer(*refused, QStringLiteral("refuse"));
        QVERIFY(QTest::qWaitFor([&] { return refused->state() == State::Failed; }, 10000));
        QCOMPARE(refused->failureText(), QStringLiteral("相手が接続を拒否しました"));
        refused->close();
        windows.closeAll();
        agent.stop();
    }

    // Two viewers that call themselves the same ask at once: each request carries what
    // tells them apart (the server's ID of the viewer and the short fingerprint of the
    // certificate its proof is bound to) and when it runs out; each viewer hears that it
    // waits for the host user and for how long.
    void requestsTellViewersApartAndViewersHearTheyWait() {
        DevicePeers peers;
        peers.setHostEnv(QStringLiteral("VELMO_HOST_ASK_TIMEOUT_MS"), QStringLiteral("20000"));
        QVERIFY(peers.startServer());
        QVERIFY(peers.startHost());
        QVERIFY(peers.waitForDevice());
        QCOMPARE(peers.post("approval", {{"mode", "ask"}}), 200);
        std::unique_ptr<DeviceTestViewer> viewers[2];
        for (auto &v : viewers) {
            v = peers.viewer(peers.autoPasscode());
            QTRY_VERIFY_WITH_TIMEOUT(v->count("approval_wait") == 1, 15000);
            QCOMPARE(v->last("approval_wait").value("sec").toInt(), 20);
            QCOMPARE(v->count("auth_ok"), 0);
            v->sendCtrl({{"t", "hello"}, {"user", "root"}, {"machine", "vm"}});
        }
        QTRY_VERIFY_WITH_TIMEOUT(asks(peers).size() == 2 &&
                                     asks(peers).at(1).toObject().value("name").toString() == "root@vm" &&
                                     asks(peers).at(0).toObject().value("name").toString() == "root@vm",
                                 10000);
        const auto shortFp = [](const DeviceTestViewer &v) {
            const QString full = DeviceTestViewer::fingerprint(v.offerSdp());
            return full.left(4) + '-' + full.mid(4, 4) + '-' + full.mid(8, 4) + '-' + full.mid(12, 4);
        };
        QSet<QString> viewerIds;
        for (const QJsonValue &value : asks(peers)) {
            const QJsonObject a = value.toObject();
            const auto &v = a.value("sid").toString() == viewers[0]->sid() ? viewers[0] : viewers[1];
            QCOMPARE(a.value("sid").toString(), v->sid());
            QCOMPARE(a.value("fingerprint").toString(), shortFp(*v));
            QVERIFY(a.value("viewer").toString().startsWith('v'));
            QCOMPARE(a.value("expires").toInteger() - a.value("at").toInteger(), 20);
            viewerIds.insert(a.value("viewer").toString());
        }
        // (Both viewers live in this one process and so share its DTLS certificate: their
        // fingerprints agree here, as they would not between two machines.)
        QCOMPARE(viewerIds.size(), 2);
        QCOMPARE(peers.post("asks/answer", {{"sid", viewers[0]->sid()}, {"ok", true}}), 200);
        QTRY_VERIFY_WITH_TIMEOUT(viewers[0]->count("auth_ok") == 1, 10000);
        // The admitted session keeps its fingerprint in the status.
        QCOMPARE(sessionOf(peers, viewers[0]->sid()).value("fingerprint").toString(), shortFp(*viewers[0]));
        for (auto &v : viewers)
            v->close();
    }

    void introductionIsBounded() {
        // A viewer of another make: its introduction comes after "auth_ok", and whatever
        // it holds is cut to size before it reaches the status.
        DevicePeers peers;
        QVERIFY(peers.startServer());
        QVERIFY(peers.startHost());
        QVERIFY(peers.waitForDevice());
        DeviceTestViewer::Options early;
        early.passcode = peers.autoPasscode();
        early.autoProve = false;
        auto unproven = std::make_unique<DeviceTestViewer>(peers.serverUrl(), peers.deviceId(), early);
        unproven->start();
        QTRY_VERIFY_WITH_TIMEOUT(unproven->count("challenge") == 1, 15000);
        unproven->sendCtrl({{"t", "hello"}, {"user", "early"}, {"machine", "bird"}});

        auto v = peers.viewer(peers.autoPasscode());
        QTRY_VERIFY_WITH_TIMEOUT(v->count("auth_ok") == 1, 15000);
        QTRY_VERIFY_WITH_TIMEOUT(peers.sessionListed(v->sid(), true), 5000);
        v->sendCtrl({{"t", "hello"},
                     {"user", QString(300, u'u') + QStringLiteral("\n\t")},
                     {"machine", QStringLiteral("ma\u0007ch\u202Eine")},
                     {"os", QString(5000, u'o')},
                     {"app", 42},
                     {"ver", QStringLiteral("1.0")},
                     {"icon", QStringLiteral("data:image/png;base64,!!not base64!!")}});
        v->sendCtrl({{"t", "hello"}, {"user", "second"}, {"machine", "ignored"}});
        QTRY_VERIFY_WITH_TIMEOUT(!sessionOf(peers, v->sid()).value("name").toString().isEmpty(), 5000);
        QTest::qWait(300); // the second one would have arrived by now
        const QJsonObject session = sessionOf(peers, v->sid());
        QCOMPARE(session.value("name").toString(), QString(64, u'u') + QStringLiteral("@machine"));
        const QJsonObject info = session.value("info").toObject();
        QCOMPARE(info.value("os").toString().size(), 128);
        QCOMPARE(info.value("app").toString(), QString());
        QCOMPARE(info.value("ver").toString(), QStringLiteral("1.0"));
        QCOMPARE(session.value("icon").toString(), QString());
        // The one that spoke before proving anything stays nameless.
        QCOMPARE(sessionOf(peers, unproven->sid()).value("name").toString(), QString());
        v->close();
        unproven->close();
    }
};

int main(int argc, char **argv) {
    TestEnv env;
    g_env = &env;
    QApplication app(argc, argv);
    TestDeviceApproval t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_device_approval.moc"

// The viewer session end to end: velmo-rendezvous and velmo-remote-host as child
// processes on 127.0.0.1, the session through the shared signaling and REST
// clients. Both video paths, the passcode modes and failure texts, the host's
// hang-up and the viewer's, and what reaches "input" when.
#include "config/AppConfig.h"
#include "media/PeerConnectionFactory.h"
#include "media/VideoFrameTap.h"
#include "session/RemoteSession.h"
#include "support/DevicePeers.h"
#include "support/TestEnv.h"
#include "support/ViewerObjects.h"

#include <QApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using State = RemoteSession::State;

namespace {
std::unique_ptr<RemoteSession> startSession(ViewerObjects &objects, DevicePeers &peers, const QString &passcode) {
    objects.config()->setServer(peers.serverUrl());
    auto s = std::make_unique<RemoteSession>(peers.deviceId(), passcode, QStringLiteral("Viewer"), objects.context());
    s->start();
    return s;
}

bool reach(RemoteSession &s, State state, int ms = 15000) {
    return QTest::qWaitFor([&] { return s.state() == state; }, ms);
}

QJsonArray sessions(DevicePeers &peers) {
    return peers.status().value("sessions").toArray();
}

bool authed(DevicePeers &peers, const QString &sid) {
    for (const QJsonValue &v : sessions(peers))
        if (v.toObject().value("sid").toString() == sid)
            return v.toObject().value("authed").toBool();
    return false;
}

bool started(DevicePeers &peers, const QString &hooks = {}) {
    return peers.startServer() && peers.startHost(hooks) && peers.waitForDevice();
}
} // namespace

class TestSessionE2e : public QObject {
    Q_OBJECT
    ViewerObjects objects;

private Q_SLOTS:
    void initTestCase() { QCOMPARE(objects.waitForWebRtc(), QString()); }
    void cleanup() { objects.factory()->waitForRetired(); }

    void jpegSession() {
        DevicePeers peers;
        QVERIFY(started(peers, QStringLiteral("input_log")));
        objects.config()->setVideoPref(QStringLiteral("jpeg"));
        auto s = startSession(objects, peers, peers.autoPasscode());
        // Before connected nothing goes out on "input".
        s->sendInput(QJsonObject{{"t", "early"}});
        QVERIFY(QTest::qWaitFor([&] { return s->state() != State::Connecting; }, 15000));
        s->sendInput(QJsonObject{{"t", "early"}});
        QVERIFY2(reach(*s, State::Connected), qPrintable(s->failureText()));
        QCOMPARE(s->videoMode(), QStringLiteral("jpeg"));
        QVERIFY(!s->monitors().isEmpty());
        QTRY_VERIFY2_WITH_TIMEOUT(!s->image().isNull(),
                                  QJsonDocument(s->stats()).toJson(QJsonDocument::Compact).constData(), 10000);
        QVERIFY(s->frameSize().width() > 0 && s->frameSize().height() > 0);
        QVERIFY(!s->snapshot().isNull());
        QTRY_VERIFY_WITH_TIMEOUT(authed(peers, s->sid()), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(!s->stats().isEmpty(), 5000);

        s->sendInput(QJsonObject{{"t", "mm"}, {"x", 10}, {"y", 20}});
        QTRY_VERIFY_WITH_TIMEOUT(!peers.inputLog().isEmpty(), 5000);
        for (const QJsonObject &m : peers.inputLog())
            QVERIFY2(m.value("t").toString() != QLatin1String("early"), "input reached the host before connected");

        QByteArray still;
        s->setOnStill([&](const QByteArray &b) { still = b; });
        s->requestStill();
        QTRY_VERIFY_WITH_TIMEOUT(!still.isEmpty(), 5000);
        QVERIFY(!QImage::fromData(still).isNull());

        // close() hangs up: the host forgets the session.
        const QString sid = s->sid();
        s->close();
        QCOMPARE(s->state(), State::Closed);
        QTRY_VERIFY_WITH_TIMEOUT(sessions(peers).isEmpty(), 5000);
        Q_UNUSED(sid);
    }

    void h264Session() {
        DevicePeers peers;
        QVERIFY(started(peers));
        QCOMPARE(peers.post("audio", {{"on", true}, {"source", "system"}}), 200);
        objects.config()->setVideoPref(QStringLiteral("h264"));
        auto s = startSession(objects, peers, peers.autoPasscode());
        QSignalSpy frames(s.get(), &RemoteSession::videoFrameAvailable);
        QVERIFY2(reach(*s, State::Connected), qPrintable(s->failureText()));
        QCOMPARE(s->videoMode(), QStringLiteral("h264"));
        QTRY_VERIFY_WITH_TIMEOUT(s->videoTrack(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(frames.size() > 0, 15000);
        QVERIFY(!s->tap()->latestImage().isNull());
        // The published size follows the decoded picture through the event loop; the
        // viewer's quality may change it right after the first frames.
        QTRY_COMPARE_WITH_TIMEOUT(QSizeF(s->tap()->latestImage().size()), s->frameSize(), 5000);
        QVERIFY(!s->snapshot().isNull());
        QVERIFY(s->audioAvailable());
        // Frames keep coming: the repaint request re-arms after each fetch.
        const quint64 before = s->tap()->frameCount();
        QTRY_VERIFY_WITH_TIMEOUT(s->tap()->frameCount() > before + 5, 10000);
        s->setMuted(true);
        s->setVolume(0.35);
        s->close();
    }

    void passcodeModes() {
        DevicePeers peers;
        QVERIFY(started(peers));
        objects.config()->setVideoPref(QStringLiteral("jpeg"));
        QCOMPARE(peers.post("passcode/fixed", {{"passcode", "fixed-secret"}}), 200);
        // A null passcode stands for the automatic one as it is when the case runs: it
        // changes after every session that was admitted with it.
        struct Case {
            const char *mode;
            QString passcode;
            bool ok;
        };
        const QList<Case> cases{{"auto", QString(), true},       {"auto", "fixed-secret", false},
                                {"fixed", "fixed-secret", true}, {"fixed", QString(), false},
                                {"both", QString(), true},       {"both", "fixed-secret", true}};
        for (const Case &c : cases) {
            QCOMPARE(peers.post("passcode/mode", {{"mode", c.mode}}), 200);
            const QString passcode = c.passcode.isNull() ? peers.autoPasscode() : c.passcode;
            auto s = startSession(objects, peers, passcode);
            if (c.ok) {
                QVERIFY2(reach(*s, State::Connected),
                         qPrintable(QStringLiteral("%1: %2").arg(c.mode, s->failureText())));
            } else {
                QVERIFY(reach(*s, State::Failed));
                QVERIFY2(s->failureText().startsWith(QStringLiteral("パスコードが違います(残り ")),
                         qPrintable(s->failureText()));
            }
            s->close();
            QTRY_VERIFY_WITH_TIMEOUT(sessions(peers).isEmpty(), 5000);
        }
    }

    void repeatedWrongPasscodeLocks() {
        DevicePeers peers;
        QVERIFY(started(peers));
        objects.config()->setVideoPref(QStringLiteral("jpeg"));
        QStringList texts;
        for (int i = 0; i < 8 && !(texts.size() && texts.last().contains(QStringLiteral("受け付けません"))); ++i) {
            auto s = startSession(objects, peers, QStringLiteral("wrong"));
            QVERIFY(reach(*s, State::Failed));
            texts.append(s->failureText());
            s->close();
        }
        QVERIFY2(texts.first().startsWith(QStringLiteral("パスコードが違います(残り ")), qPrintable(texts.first()));
        QVERIFY2(texts.last().startsWith(
                     QStringLiteral("パスコードを続けて間違えたため、この端末は接続を受け付けません(あと ")),
                 qPrintable(texts.join(" | ")));
        QVERIFY(texts.last().endsWith(QStringLiteral(" 分)")));
    }

    void wrongHostFingerprint() {
        DevicePeers peers;
        QVERIFY(started(peers, QStringLiteral("wrong_fp")));
        objects.config()->setVideoPref(QStringLiteral("jpeg"));
        auto s = startSession(objects, peers, peers.autoPasscode());
        QVERIFY(reach(*s, State::Failed));
        QCOMPARE(s->failureText(), RemoteSession::fingerprintText());
        // No proof was sent: the host never authenticates the viewer.
        QTest::qWait(500);
        QVERIFY(!authed(peers, s->sid()));
        QCOMPARE(s->state(), State::Failed);
        s->close();
    }

    void hostHangsUp() {
        DevicePeers peers;
        QVERIFY(started(peers));
        objects.config()->setVideoPref(QStringLiteral("jpeg"));
        auto s = startSession(objects, peers, peers.autoPasscode());
        QSignalSpy closed(s.get(), &RemoteSession::closed);
        QVERIFY2(reach(*s, State::Connected), qPrintable(s->failureText()));
        QCOMPARE(peers.post("disconnect", {{"sid", s->sid()}}), 200);
        QVERIFY(reach(*s, State::Closed, 5000));
        QCOMPARE(closed.size(), 1);
    }
};

int main(int argc, char **argv) {
    TestEnv env;
    qputenv("VELMO_AUDIO_SINK", "fakesink sync=false");
    QApplication app(argc, argv);
    TestSessionE2e t;
    return QTest::qExec(&t, argc, argv);
}
#include "tst_session_e2e.moc"

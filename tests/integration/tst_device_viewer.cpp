// The app's own viewer session against the real device: velmo-rendezvous and
// velmo-remote-host as child processes, RemoteSession speaking to them over a real
// "/ws/viewer" socket, both video paths, the failure texts and the host's side of ending.
#include "config/AppConfig.h"
#include "media/PeerConnectionFactory.h"
#include "rendezvous/SignalingPort.h"
#include "session/RemoteSession.h"
#include "support/DevicePeers.h"
#include "support/TestEnv.h"
#include "support/ViewerObjects.h"
#include "support/WsSignalingPort.h"

#include <QJsonDocument>
#include <QMap>
#include <QPointer>
#include <QWebSocket>

#include <QGuiApplication>
#include <QJsonArray>
#include <QTest>

#include <memory>

using State = RemoteSession::State;

class TestDeviceViewer : public QObject {
    Q_OBJECT
    ViewerObjects objects;

private:
    std::unique_ptr<RemoteSession> session(DevicePeers &peers, const QString &passcode) {
        auto s = objects.sessionTo(peers, passcode);
        s->start();
        return s;
    }
    static bool reach(RemoteSession &s, State state, int ms = 15000) {
        return QTest::qWaitFor([&] { return s.state() == state; }, ms);
    }
    static bool authedSessions(DevicePeers &peers, int n) {
        int count = 0;
        for (const QJsonValue &v : peers.status().value("sessions").toArray())
            count += v.toObject().value("authed").toBool();
        return count == n;
    }

private Q_SLOTS:
    void initTestCase() { QCOMPARE(objects.waitForWebRtc(), QString()); }

    // A screen that cannot be shared (no X display here) is said so, in the status and in
    // the picture, rather than replaced by the test pattern.
    void unsharableScreenIsSaidSo() {
        DevicePeers peers;
        peers.setHostSource(QStringLiteral("screen"));
        peers.setHostEnv(QStringLiteral("DISPLAY"), QStringLiteral(":9731"));
        QVERIFY(peers.startServer());
        QVERIFY(peers.startHost());
        QVERIFY(peers.waitForDevice());
        const QJsonObject status = peers.status();
        QCOMPARE(status.value("screenPerm").toString(), QStringLiteral("denied"));
        QCOMPARE(status.value("backend").toString(), QStringLiteral("none"));
        QVERIFY2(status.value("screenError").toString().contains(":9731"),
                 qPrintable(status.value("screenError").toString()));
        QCOMPARE(status.value("monitors").toArray().size(), 1);
        objects.config()->setVideoPref(QStringLiteral("jpeg"));
        auto s = session(peers, peers.autoPasscode());
        QVERIFY2(reach(*s, State::Connected), qPrintable(s->failureText()));
        QCOMPARE(s->monitors().size(), 1);
        QCOMPARE(s->monitors().first().name, QStringLiteral("画面を共有できません"));
        // A dark grey field with light text in the middle; neither the ball on black nor bars.
        QTRY_VERIFY_WITH_TIMEOUT(!s->image().isNull(), 10000);
        const QImage img = s->image();
        // 1280 × 720, or smaller when the quality in force scales it down.
        QVERIFY2(img.width() >= 480 && std::abs(img.width() * 9 - img.height() * 16) <= 32,
                 qPrintable(QStringLiteral("%1x%2").arg(img.width()).arg(img.height())));
        const int w = img.width(), h = img.height();
        for (const QPoint p : {QPoint(10, 10), QPoint(w - 10, 10), QPoint(10, h - 10), QPoint(w - 10, h - 10)}) {
            const QRgb px = img.pixel(p);
            QVERIFY2(std::abs(qRed(px) - 0x20) <= 6 && std::abs(qGreen(px) - 0x21) <= 6 &&
                         std::abs(qBlue(px) - 0x24) <= 6,
                     qPrintable(QStringLiteral("%1,%2: %3 %4 %5")
                                    .arg(p.x())
                                    .arg(p.y())
                                    .arg(qRed(px))
                                    .arg(qGreen(px))
                                    .arg(qBlue(px))));
        }
        int light = 0;
        for (int y = h * 36 / 100; y < h * 64 / 100; ++y)
            for (int x = w * 16 / 100; x < w * 84 / 100; ++x)
                light += qGray(img.pixel(x, y)) > 160;
        QVERIFY2(light > w * h / 2000, qPrintable(QString::number(light)));
        s->close();
    }

    void jpegAndH264Sessions() {
        DevicePeers peers;
        QVERIFY(peers.startServer());
        QVERIFY(peers.startHost());
        QVERIFY(peers.waitForDevice());
        QCOMPARE(peers.post("audio", {{"on", true}, {"source", "system"}}), 200);

        objects.config()->setVideoPref(QStringLiteral("jpeg"));
        auto s = session(peers, peers.autoPasscode());
        QVERIFY2(reach(*s, State::Connected), qPrintable(s->failureText()));
        QCOMPARE(s->videoMode(), QStringLiteral("jpeg"));
        QCOMPARE(s->monitors().size(), 2);
        QTRY_VERIFY_WITH_TIMEOUT(!s->image().isNull(), 10000);
        QVERIFY(s->frameSize().width() > 0);
        // The pattern's black background decodes as black: its JPEGs are full range.
        QCOMPARE(s->image().pixel(4, 4), qRgb(0, 0, 0));
        QTRY_VERIFY_WITH_TIMEOUT(s->stats().value("codec").toString() == QLatin1String("jpeg"), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(authedSessions(peers, 1), 5000);
        QByteArray still;
        s->setOnStill([&](const QByteArray &b) { still = b; });
        s->requestStill();
        QTRY_VERIFY_WITH_TIMEOUT(!still.isEmpty(), 5000);
        QVERIFY(!QImage::fromData(still).isNull());
        s->close();
        QTRY_VERIFY_WITH_TIMEOUT(authedSessions(peers, 0), 5000);

        objects.config()->setVideoPref(QStringLiteral("h264"));
        auto h = session(peers, peers.autoPasscode());
        QVERIFY2(reach(*h, State::Connected), qPrintable(h->failureText()));
        QCOMPARE(h->videoMode(), QStringLiteral("h264"));
        QVERIFY(h->audioAvailable());
        QTRY_VERIFY_WITH_TIMEOUT(h->videoTrack(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(h->frameSize().width() > 0, 15000);
        h->close();
    }

    void failureTexts() {
        DevicePeers peers;
        QVERIFY(peers.startServer());
        QVERIFY(peers.startHost());
        QVERIFY(peers.waitForDevice());
        objects.config()->setVideoPref(QStringLiteral("jpeg"));
        for (int remaining = 4; remaining >= 1; --remaining) {
            auto s = session(peers, QStringLiteral("999999x"));
            QVERIFY(reach(*s, State::Failed));
            QCOMPARE(s->failureText(), RemoteSession::authFailText(remaining));
            s->close();
        }
        auto locked = session(peers, QStringLiteral("999999x"));
        QVERIFY(reach(*locked, State::Failed));
        QCOMPARE(locked->failureText(),
                 QStringLiteral("パスコードを続けて間違えたため、この端末は接続を受け付けません(あと 5 分)"));
    }

    void wrongFingerprintAndHostEnding() {
        DevicePeers peers;
        QVERIFY(peers.startServer());
        QVERIFY(peers.startHost(QStringLiteral("wrong_fp")));
        QVERIFY(peers.waitForDevice());
        objects.config()->setVideoPref(QStringLiteral("jpeg"));
        auto s = session(peers, peers.autoPasscode());
        QVERIFY(reach(*s, State::Failed));
        QCOMPARE(s->failureText(), QStringLiteral("端末の証明書指紋が一致しません(中間者の可能性)"));
        QTest::qWait(300);
        QCOMPARE(s->state(), State::Failed);
        s->close();

        DevicePeers plain;
        QVERIFY(plain.startServer());
        QVERIFY(plain.startHost());
        QVERIFY(plain.waitForDevice());
        // The host disconnects the viewer: its "bye" closes the session.
        auto byed = session(plain, plain.autoPasscode());
        QVERIFY(reach(*byed, State::Connected));
        const QString sid = plain.status().value("sessions").toArray().first().toObject().value("sid").toString();
        QCOMPARE(plain.post("disconnect", {{"sid", sid}}), 200);
        QVERIFY(reach(*byed, State::Closed, 5000));
    }
};

int main(int argc, char **argv) {
    TestEnv env;
    QGuiApplication app(argc, argv);
    TestDeviceViewer t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_device_viewer.moc"

#include "config/AppConfig.h"
#include "media/PeerConnectionFactory.h"
#include "session/RemoteSession.h"
#include "support/DevicePeers.h"
#include "support/TestEnv.h"
#include "support/WsSignalingPort.h"

#include <QGuiApplication>
#include <QTest>

using State = RemoteSession::State;

class TestSessionExtras : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void dump() {
        DevicePeers peers;
        QVERIFY(peers.startServer() && peers.startHost() && peers.waitForDevice());
        for (QString pref : {QStringLiteral("h264"), QStringLiteral("jpeg")}) {
            AppConfig::shared()->setVideoPref(pref);
            RemoteSession s(peers.deviceId(), peers.autoPasscode(), QStringLiteral("x"),
                            std::make_shared<WsSignalingPort>(peers.serverUrl()));
            s.start();
            QVERIFY(QTest::qWaitFor([&] { return s.state() == State::Connected; }, 15000));
            QTest::qWait(3000);
            bool got = false;
            s.debugStats([&](const QString &t) { qInfo().noquote() << t; got = true; });
            QTRY_VERIFY(got);
            s.close();
        }
    }
};

int main(int argc, char **argv) {
    TestEnv env;
    qputenv("VELMO_AUDIO_SINK", "fakesink sync=false");
    QGuiApplication app(argc, argv);
    TestSessionExtras t;
    return QTest::qExec(&t, argc, argv);
}
#include "tst_session_extras.moc"

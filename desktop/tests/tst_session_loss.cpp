// A device process that dies without a word (SIGKILL) is noticed by the viewer
// and reported as "接続が切れました". Nothing but ICE consent can tell: the bound
// measured here is printed (about 50 s with Debian's libnice).
#include "AppConfig.h"
#include "DevicePeers.h"
#include "PeerConnectionFactory.h"
#include "RemoteSession.h"
#include "TestEnv.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>

using State = RemoteSession::State;

class TestSessionLoss : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void killedHostIsNoticed() {
        DevicePeers peers;
        QVERIFY(peers.startServer() && peers.startHost() && peers.waitForDevice());
        AppConfig::shared()->setServer(peers.serverUrl());
        AppConfig::shared()->setVideoPref(QStringLiteral("jpeg"));
        RemoteSession s(peers.deviceId(), peers.autoPasscode(), QStringLiteral("Viewer"));
        s.start();
        QVERIFY(QTest::qWaitFor([&] { return s.state() == State::Connected; }, 15000));
        QTRY_VERIFY_WITH_TIMEOUT(!s.image().isNull(), 10000);
        QElapsedTimer t;
        t.start();
        peers.killHost();
        QVERIFY(QTest::qWaitFor([&] { return s.state() == State::Failed; }, 58000));
        qInfo("killed host noticed after %lld ms", t.elapsed());
        QCOMPARE(s.failureText(), RemoteSession::lostText());
        s.close();
        QCOMPARE(s.state(), State::Closed);
        PeerConnectionFactory::shared()->waitForRetired();
    }
};

int main(int argc, char **argv) {
    TestEnv env;
    qputenv("VELMO_AUDIO_SINK", "fakesink sync=false");
    QApplication app(argc, argv);
    TestSessionLoss t;
    return QTest::qExec(&t, argc, argv);
}
#include "tst_session_loss.moc"

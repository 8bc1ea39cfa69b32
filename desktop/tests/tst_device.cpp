// The device side of velmo-remote-host, end to end: a real velmo-rendezvous, a real
// host registered with it, and a scripted webrtcbin viewer in this process.
#include "DevicePeers.h"
#include "DeviceTestViewer.h"
#include "TestEnv.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QRegularExpression>
#include <QTest>

#include <gst/gst.h>

#include <memory>

class TestDevice : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<DeviceTestViewer> viewer(DevicePeers &peers, const QString &passcode, bool h264 = false) {
        DeviceTestViewer::Options o;
        o.passcode = passcode;
        o.h264 = h264;
        auto v = std::make_unique<DeviceTestViewer>(peers.serverUrl(), peers.deviceId(), o);
        v->start();
        return v;
    }
    static bool sessionListed(DevicePeers &peers, const QString &sid, bool authed) {
        for (const QJsonValue &s : peers.status().value("sessions").toArray())
            if (s.toObject().value("sid").toString() == sid)
                return s.toObject().value("authed").toBool() == authed;
        return false;
    }
    static bool sessionGone(DevicePeers &peers, const QString &sid) {
        for (const QJsonValue &s : peers.status().value("sessions").toArray())
            if (s.toObject().value("sid").toString() == sid)
                return false;
        return true;
    }

private Q_SLOTS:
    void initTestCase() { gst_init(nullptr, nullptr); }

    void jpegSessionStreamsAndObeys() {
        DevicePeers peers;
        QVERIFY(peers.startServer());
        QVERIFY(peers.startHost());
        QVERIFY(peers.waitForDevice());
        QVERIFY(!peers.autoPasscode().isEmpty());

        auto v = viewer(peers, peers.autoPasscode());
        QTRY_VERIFY_WITH_TIMEOUT(v->count("challenge") == 1, 10000);
        const QJsonObject ch = v->last("challenge");
        QCOMPARE(ch.value("iters").toInt(), 100000);
        QCOMPARE(QByteArray::fromBase64(ch.value("nonce").toString().toLatin1()).size(), 32);
        QVERIFY(!ch.value("auto_salt").toString().isEmpty());
        QVERIFY(ch.value("auto_salt") != ch.value("fixed_salt"));
        QCOMPARE(ch.value("host_fp").toString(), DeviceTestViewer::fingerprint(v->answerSdp()));
        QCOMPARE(ch.value("host_fp").toString().size(), 64);
        // Listed before the proof, not authenticated.
        QTRY_VERIFY_WITH_TIMEOUT(sessionListed(peers, v->sid(), false) || v->count("auth_ok") == 1, 5000);

        QTRY_VERIFY_WITH_TIMEOUT(v->count("auth_ok") == 1, 10000);
        const QJsonObject ok = v->last("auth_ok");
        QCOMPARE(ok.value("video").toString(), QStringLiteral("jpeg"));
        QCOMPARE(ok.value("audio").toString(), QStringLiteral("none"));
        const QJsonArray monitors = ok.value("monitors").toArray();
        QCOMPARE(monitors.size(), 2);
        QCOMPARE(monitors[0].toObject().value("w").toInt(), 1280);
        QVERIFY(monitors[0].toObject().value("primary").toBool());
        QVERIFY(ok.value("name").isString());
        QTRY_VERIFY_WITH_TIMEOUT(sessionListed(peers, v->sid(), true), 5000);

        // A moving picture: frames decode and differ.
        QTRY_VERIFY_WITH_TIMEOUT(v->frames.size() >= 5, 10000);
        QCOMPARE(v->frameSizes.last(), QSize(1280, 720));
        QCOMPARE(v->frames.last().size(), QSize(1280, 720));
        QVERIFY(v->frames.first() != v->frames.last());
        QTRY_VERIFY_WITH_TIMEOUT(v->count("stats") >= 1 && v->count("cursor") >= 1, 5000);
        const QJsonObject stats = v->last("stats");
        QCOMPARE(stats.value("codec").toString(), QStringLiteral("jpeg"));
        QVERIFY(stats.contains("enc") && stats.contains("fps") && stats.contains("kbps") && stats.contains("relay"));
        QCOMPARE(v->last("audio_state").value("on").toBool(true), false);

        // Quality: half scale.
        v->sendCtrl({{"t", "quality"}, {"fps", 10}, {"scale", 0.5}, {"q", 40}, {"kbps", 1000}});
        QTRY_VERIFY_WITH_TIMEOUT(v->frameSizes.last() == QSize(640, 360), 5000);
        QCOMPARE(v->frames.last().size(), QSize(640, 360));
        // The second display.
        v->sendCtrl({{"t", "select"}, {"mode", "single"}, {"id", 2}});
        QTRY_VERIFY_WITH_TIMEOUT(v->frameSizes.last() == QSize(400, 300), 5000);
        // A still is the unscaled picture of the selected display.
        v->sendCtrl({{"t", "still"}});
        QTRY_VERIFY_WITH_TIMEOUT(v->stills.size() == 1, 5000);
        const QImage still = QImage::fromData(v->stills.first());
        QCOMPARE(still.size(), QSize(800, 600));

        v->close();
        QTRY_VERIFY_WITH_TIMEOUT(sessionGone(peers, v->sid()), 5000);
    }
};

int main(int argc, char **argv) {
    TestEnv env;
    QCoreApplication app(argc, argv);
    TestDevice t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_device.moc"

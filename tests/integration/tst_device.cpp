// The device side of velmo-remote-host, end to end: a real velmo-rendezvous, a real
// host registered with it, and a scripted webrtcbin viewer in this process.
#include "support/DevicePeers.h"
#include "support/DeviceTestViewer.h"
#include "support/TestEnv.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <gst/gst.h>

#include <csignal>
#include <cstdio>
#include <memory>

class TestDevice : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { gst_init(nullptr, nullptr); }

    void registrationIsVisibleOnTheServer() {
        DevicePeers peers;
        QVERIFY(peers.startServer());
        QVERIFY(peers.startHost());
        QVERIFY(peers.waitForDevice());
        const QString id = peers.deviceId();
        QCOMPARE(peers.post("name", {{"name", "Desk 7"}}), 200);
        QTRY_VERIFY_WITH_TIMEOUT(peers.rest("api/v1/devices/" + id).value("name").toString() == "Desk 7", 5000);
        const QJsonObject info = peers.rest("api/v1/devices/" + id);
        QCOMPARE(info.value("platform").toString(), QStringLiteral("Linux"));
        QVERIFY(info.value("online").toBool());
        // A thumbnail of the test picture.
        QByteArray thumb;
        QTRY_VERIFY_WITH_TIMEOUT(!(thumb = peers.restBytes("api/v1/devices/" + id + "/thumb")).isEmpty(), 5000);
        QCOMPARE(QImage::fromData(thumb).size(), QSize(320, 180));
        // The secret is kept private in the data directory.
        QFile secret(peers.dataDir() + "/device.json");
        QVERIFY(secret.exists());
        QCOMPARE(secret.permissions() & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());

        // A killed device goes offline; started again on the same data it keeps its ID.
        peers.killHost();
        QTRY_VERIFY_WITH_TIMEOUT(!peers.rest("api/v1/devices/" + id).value("online").toBool(true), 10000);
        QVERIFY(peers.startHost());
        QVERIFY(peers.waitForDevice());
        QCOMPARE(peers.deviceId(), id);
        QVERIFY(peers.rest("api/v1/devices/" + id).value("online").toBool());
    }

    void serverRestartKeepsDeviceAndSessions() {
        DevicePeers peers;
        QVERIFY(peers.startServer());
        QVERIFY(peers.startHost());
        QVERIFY(peers.waitForDevice());
        const QString id = peers.deviceId();
        auto v = peers.viewer(peers.autoPasscode());
        QTRY_VERIFY_WITH_TIMEOUT(v->count("auth_ok") == 1, 10000);

        // The server dies: the device shows it is not connected, the live session goes on.
        peers.killServer();
        QTRY_VERIFY_WITH_TIMEOUT(!peers.status().value("connected").toBool(true), 5000);
        const qsizetype before = v->frameSizes.size();
        QTRY_VERIFY_WITH_TIMEOUT(v->frameSizes.size() > before + 10, 5000);
        QVERIFY(peers.sessionListed(v->sid(), true));
        // Long enough for reconnection attempts to be refused.
        QTest::qWait(2500);

        // Back on the same port and registry: the device registers again under its ID.
        QVERIFY(peers.restartServer());
        QVERIFY(peers.waitForDevice(20000));
        QCOMPARE(peers.deviceId(), id);
        auto second = peers.viewer(peers.autoPasscode());
        QTRY_VERIFY_WITH_TIMEOUT(second->count("auth_ok") == 1, 10000);
    }

    void jpegSessionStreamsAndObeys() {
        DevicePeers peers;
        QVERIFY(peers.startServer());
        QVERIFY(peers.startHost());
        QVERIFY(peers.waitForDevice());
        QVERIFY(!peers.autoPasscode().isEmpty());

        QElapsedTimer setup;
        setup.start();
        auto v = peers.viewer(peers.autoPasscode());
        QTRY_VERIFY_WITH_TIMEOUT(v->count("challenge") == 1, 10000);
        const qint64 toChallenge = setup.elapsed();
        const QJsonObject ch = v->last("challenge");
        QCOMPARE(ch.value("iters").toInt(), 100000);
        QCOMPARE(QByteArray::fromBase64(ch.value("nonce").toString().toLatin1()).size(), 32);
        QVERIFY(!ch.value("auto_salt").toString().isEmpty());
        QVERIFY(ch.value("auto_salt") != ch.value("fixed_salt"));
        QCOMPARE(ch.value("host_fp").toString(), DeviceTestViewer::fingerprint(v->answerSdp()));
        QCOMPARE(ch.value("host_fp").toString().size(), 64);
        // Listed before the proof, not authenticated.
        QTRY_VERIFY_WITH_TIMEOUT(peers.sessionListed(v->sid(), false) || v->count("auth_ok") == 1, 15000);

        QTRY_VERIFY_WITH_TIMEOUT(v->count("auth_ok") == 1, 10000);
        qInfo("offer to challenge %lld ms, to auth_ok %lld ms", toChallenge, setup.elapsed());
        const QJsonObject ok = v->last("auth_ok");
        QCOMPARE(ok.value("video").toString(), QStringLiteral("jpeg"));
        QCOMPARE(ok.value("audio").toString(), QStringLiteral("none"));
        const QJsonArray monitors = ok.value("monitors").toArray();
        QCOMPARE(monitors.size(), 2);
        QCOMPARE(monitors[0].toObject().value("w").toInt(), 1280);
        QVERIFY(monitors[0].toObject().value("primary").toBool());
        QVERIFY(ok.value("name").isString());
        QTRY_VERIFY_WITH_TIMEOUT(peers.sessionListed(v->sid(), true), 5000);
        // The viewer's address is the loopback one, and nothing is relayed.
        QTRY_VERIFY_WITH_TIMEOUT(peers.status().value("sessions").toArray().first().toObject().value("ip").toString() ==
                                     QLatin1String("127.0.0.1"),
                                 5000);
        QVERIFY(!peers.status().value("sessions").toArray().first().toObject().value("relay").toBool(true));

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
        QTRY_VERIFY_WITH_TIMEOUT(peers.sessionGone(v->sid()), 5000);
    }

    void h264TrackWithOpusAudio() {
        DevicePeers peers;
        QVERIFY(peers.startServer());
        QVERIFY(peers.startHost());
        QVERIFY(peers.waitForDevice());
        QCOMPARE(peers.post("audio", {{"on", true}, {"source", "system"}}), 200);

        auto v = peers.viewer(peers.autoPasscode(), true);
        QTRY_VERIFY_WITH_TIMEOUT(v->count("auth_ok") == 1, 10000);
        QCOMPARE(v->last("auth_ok").value("video").toString(), QStringLiteral("h264"));
        QCOMPARE(v->last("auth_ok").value("audio").toString(), QStringLiteral("opus"));
        QTRY_VERIFY_WITH_TIMEOUT(v->count("audio_state") >= 1, 5000);
        QVERIFY(v->last("audio_state").value("on").toBool());
        QTRY_VERIFY_WITH_TIMEOUT(v->h264Frames >= 5, 15000);
        // The size is handed over from the decoder thread after the count.
        QTRY_COMPARE(v->h264Size, QSize(1280, 720));
        QTRY_VERIFY_WITH_TIMEOUT(v->audioBuffers > 0, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(v->count("stats") >= 1, 5000);
        QCOMPARE(v->last("stats").value("codec").toString(), QStringLiteral("h264"));
        // The host user sees the same figures under the session.
        const auto linkOfSession = [&] {
            for (const QJsonValue &s : peers.status().value("sessions").toArray())
                if (s.toObject().value("sid").toString() == v->sid())
                    return s.toObject().value("link").toObject();
            return QJsonObject();
        };
        QTRY_VERIFY_WITH_TIMEOUT(linkOfSession().value("fps").toInt() > 0 && linkOfSession().value("kbps").toInt() > 0,
                                 10000);
        QCOMPARE(linkOfSession().value("codec").toString(), QStringLiteral("h264"));
        // Nothing goes over the JPEG channel in this mode.
        QVERIFY(v->frameSizes.isEmpty());

        v->sendCtrl({{"t", "quality"}, {"fps", 15}, {"scale", 0.5}, {"q", 60}, {"kbps", 800}});
        QTRY_VERIFY_WITH_TIMEOUT(v->h264Size == QSize(640, 360), 10000);
        // Stills still come over the data channel.
        v->sendCtrl({{"t", "still"}});
        QTRY_VERIFY_WITH_TIMEOUT(v->stills.size() == 1, 5000);
        QCOMPARE(QImage::fromData(v->stills.first()).size(), QSize(1280, 720));

        // The host switches audio off and on again during the session.
        QCOMPARE(peers.post("audio", {{"on", false}, {"source", "system"}}), 200);
        QTRY_VERIFY_WITH_TIMEOUT(!v->last("audio_state").value("on").toBool(true), 5000);
        QCOMPARE(peers.post("audio", {{"on", true}, {"source", "system"}}), 200);
        QTRY_VERIFY_WITH_TIMEOUT(v->last("audio_state").value("on").toBool(false), 5000);
    }

    void qualityBurstsKeepThePictureFlowing_data() {
        QTest::addColumn<bool>("h264");
        QTest::newRow("jpeg") << false;
        QTest::newRow("h264") << true;
    }
    void qualityBurstsKeepThePictureFlowing() {
        QFETCH(bool, h264);
        DevicePeers peers;
        QVERIFY(peers.startServer());
        QVERIFY(peers.startHost());
        QVERIFY(peers.waitForDevice());
        auto v = peers.viewer(peers.autoPasscode(), h264);
        QTRY_VERIFY_WITH_TIMEOUT(v->count("auth_ok") == 1, 10000);
        // Changes while frames are on their way, as a viewer sends its preset right after "auth_ok".
        for (int i = 0; i < 30; ++i) {
            v->sendCtrl(
                {{"t", "quality"}, {"fps", i % 2 ? 30 : 12}, {"scale", i % 3 ? 0.5 : 1.0}, {"q", 50}, {"kbps", 1500}});
            if (i % 10 == 5)
                v->sendCtrl({{"t", "select"}, {"mode", "single"}, {"id", i % 20 == 5 ? 2 : 1}});
            QTest::qWait(15);
        }
        v->sendCtrl({{"t", "select"}, {"mode", "all"}, {"id", 0}});
        v->sendCtrl({{"t", "quality"}, {"fps", 20}, {"scale", 0.25}, {"q", 50}, {"kbps", 1500}});
        if (h264) {
            QTRY_VERIFY_WITH_TIMEOUT(v->h264Size == QSize(320, 180), 10000);
            const int before = v->h264Frames;
            QTRY_VERIFY_WITH_TIMEOUT(v->h264Frames > before + 10, 5000);
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(!v->frames.isEmpty() && v->frames.last().size() == QSize(320, 180), 10000);
            const qsizetype before = v->frameSizes.size();
            QTRY_VERIFY_WITH_TIMEOUT(v->frameSizes.size() > before + 10, 5000);
        }
    }

    void hostEndsAndRefusesSessions() {
        DevicePeers peers;
        // Unreachable STUN/TURN servers handed out by the server must not get in the way.
        QVERIFY(peers.startServer(
            {"--stun", "stun:127.0.0.1:9", "--turn", "turn:127.0.0.1:9?transport=udp", "--turn-secret", "s3cret"}));
        QVERIFY(peers.startHost());
        QVERIFY(peers.waitForDevice());
        auto v = peers.viewer(peers.autoPasscode());
        QTRY_VERIFY_WITH_TIMEOUT(peers.sessionListed(v->sid(), true), 10000);
        QCOMPARE(peers.post("disconnect", {{"sid", v->sid()}}), 200);
        QTRY_VERIFY_WITH_TIMEOUT(v->gotBye, 5000);
        QVERIFY(peers.sessionGone(v->sid()));

        QCOMPARE(peers.post("sharing", {{"on", false}}), 200);
        auto refused = peers.viewer(peers.autoPasscode());
        QTRY_VERIFY_WITH_TIMEOUT(!refused->signals_.isEmpty(), 10000);
        QCOMPARE(refused->signals_.first().value("type").toString(), QStringLiteral("error"));
        QCOMPARE(refused->signals_.first().value("error").toString(), QStringLiteral("接続を拒否しました"));
        QVERIFY(peers.sessionGone(refused->sid()));
    }

    // Eight viewers (H.264 and JPEG) come and go: once the last has left, the agent gives
    // back most of the memory their sessions took (malloc keeps freed memory otherwise).
    void memoryReturnsAfterViewersLeave() {
#if defined(__SANITIZE_ADDRESS__)
        // AddressSanitizer's allocator keeps freed memory in quarantine and malloc_trim
        // does not reach it: the resident size says nothing about the agent's own pools.
        QSKIP("the resident size is the sanitizer's under AddressSanitizer");
#endif
        DevicePeers peers;
        QVERIFY(peers.startServer());
        QVERIFY(peers.startHost());
        QVERIFY(peers.waitForDevice());
        const qint64 pid = peers.host().processId();
        const auto rssKb = [pid] {
            QFile f(QStringLiteral("/proc/%1/status").arg(pid));
            if (!f.open(QIODevice::ReadOnly))
                return qint64(-1);
            const auto m =
                QRegularExpression(QStringLiteral("VmRSS:\\s+(\\d+) kB")).match(QString::fromLatin1(f.readAll()));
            return m.hasMatch() ? m.captured(1).toLongLong() : qint64(-1);
        };
        const auto flowing = [](const DeviceTestViewer &v, bool h264) {
            return h264 ? v.h264Frames >= 5 : v.frameSizes.size() >= 5;
        };
        // One viewer first, so that what stays loaded for good (plug-ins, the encoders'
        // set-up) is in the baseline.
        {
            auto warm = peers.viewer(peers.autoPasscode(), true);
            QTRY_VERIFY_WITH_TIMEOUT(flowing(*warm, true), 20000);
            warm->close();
            QTRY_VERIFY_WITH_TIMEOUT(peers.status().value("sessions").toArray().isEmpty(), 10000);
        }
        QTest::qWait(3000);
        const qint64 before = rssKb();
        std::vector<std::unique_ptr<DeviceTestViewer>> viewers;
        const QString passcode = peers.autoPasscode();
        for (int i = 0; i < 8; ++i)
            viewers.push_back(peers.viewer(passcode, i % 2 == 0));
        for (int i = 0; i < 8; ++i)
            QTRY_VERIFY_WITH_TIMEOUT(flowing(*viewers[size_t(i)], i % 2 == 0), 30000);
        const qint64 during = rssKb();
        for (auto &v : viewers)
            v->close();
        QTRY_VERIFY_WITH_TIMEOUT(peers.status().value("sessions").toArray().isEmpty(), 15000);
        viewers.clear();
        QTest::qWait(4000); // the sessions' pipelines stop, then the agent trims
        const qint64 after = rssKb();
        qInfo("agent RSS: %lld kB before, %lld kB with eight viewers, %lld kB after they left", before, during, after);
        QVERIFY(before > 0 && during > before);
        QVERIFY2(after - before < (during - before) / 2, "less than half of the sessions' memory came back");
    }

    void vanishedViewerIsNoticed() {
        DevicePeers peers;
        QVERIFY(peers.startServer());
        QVERIFY(peers.startHost());
        QVERIFY(peers.waitForDevice());
        // A viewer in a child process, killed outright: nothing is closed or said.
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--viewer-child"), peers.serverUrl(), peers.deviceId(), peers.autoPasscode()});
        QTRY_VERIFY_WITH_TIMEOUT(child.canReadLine(), 15000);
        const QString sid = QString::fromUtf8(child.readLine()).trimmed();
        QTRY_VERIFY_WITH_TIMEOUT(peers.sessionListed(sid, true), 10000);
        ::kill(pid_t(child.processId()), SIGKILL);
        child.waitForFinished(3000);
        QElapsedTimer t;
        t.start();
        QTRY_VERIFY_WITH_TIMEOUT(peers.sessionGone(sid), 60000);
        qInfo("vanished viewer dropped after %lld ms", t.elapsed());
    }
};

// The child of vanishedViewerIsNoticed: a viewer that prints its sid once authenticated.
static int viewerChild(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    gst_init(nullptr, nullptr);
    DeviceTestViewer::Options o;
    o.passcode = QString::fromUtf8(argv[4]);
    DeviceTestViewer v(QString::fromUtf8(argv[2]), QString::fromUtf8(argv[3]), o);
    QObject::connect(&v, &DeviceTestViewer::ctrlReceived, &app, [&v](const QJsonObject &msg) {
        if (msg.value("t").toString() == QLatin1String("auth_ok"))
            std::printf("%s\n", qPrintable(v.sid())), std::fflush(stdout);
    });
    v.start();
    return app.exec();
}

int main(int argc, char **argv) {
    if (argc == 5 && qstrcmp(argv[1], "--viewer-child") == 0)
        return viewerChild(argc, argv);
    TestEnv env;
    QCoreApplication app(argc, argv);
    TestDevice t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_device.moc"

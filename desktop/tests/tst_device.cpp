// The device side of velmo-remote-host, end to end: a real velmo-rendezvous, a real
// host registered with it, and a scripted webrtcbin viewer in this process.
#include "DevicePeers.h"
#include "DeviceTestViewer.h"
#include "TestEnv.h"

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

        QElapsedTimer setup;
        setup.start();
        auto v = viewer(peers, peers.autoPasscode());
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
        QTRY_VERIFY_WITH_TIMEOUT(sessionListed(peers, v->sid(), false) || v->count("auth_ok") == 1, 5000);

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

    void h264TrackWithOpusAudio() {
        DevicePeers peers;
        QVERIFY(peers.startServer());
        QVERIFY(peers.startHost());
        QVERIFY(peers.waitForDevice());
        QCOMPARE(peers.post("audio", {{"on", true}, {"source", "system"}}), 200);

        auto v = viewer(peers, peers.autoPasscode(), true);
        QTRY_VERIFY_WITH_TIMEOUT(v->count("auth_ok") == 1, 10000);
        QCOMPARE(v->last("auth_ok").value("video").toString(), QStringLiteral("h264"));
        QCOMPARE(v->last("auth_ok").value("audio").toString(), QStringLiteral("opus"));
        QTRY_VERIFY_WITH_TIMEOUT(v->count("audio_state") >= 1, 5000);
        QVERIFY(v->last("audio_state").value("on").toBool());
        QTRY_VERIFY_WITH_TIMEOUT(v->h264Frames >= 5, 15000);
        QCOMPARE(v->h264Size, QSize(1280, 720));
        QTRY_VERIFY_WITH_TIMEOUT(v->audioBuffers > 0, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(v->count("stats") >= 1, 5000);
        QCOMPARE(v->last("stats").value("codec").toString(), QStringLiteral("h264"));
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

    void passcodeModes() {
        DevicePeers peers;
        QVERIFY(peers.startServer());
        QVERIFY(peers.startHost());
        QVERIFY(peers.waitForDevice());
        const QString fixed = QStringLiteral("fixed-pass-9");
        QCOMPARE(peers.post("passcode/fixed", {{"passcode", fixed}}), 200);
        const QString autoCode = peers.autoPasscode();

        struct Row {
            const char *mode;
            QString passcode;
            bool ok;
        };
        // Each success resets the failure count, so the lockout never comes into play here.
        const Row rows[] = {{"auto", autoCode, true},   {"auto", fixed, false},   {"fixed", fixed, true},
                            {"fixed", autoCode, false}, {"both", autoCode, true}, {"both", fixed, true}};
        for (const Row &row : rows) {
            QCOMPARE(peers.post("passcode/mode", {{"mode", row.mode}}), 200);
            auto v = viewer(peers, row.passcode);
            QTRY_VERIFY_WITH_TIMEOUT(v->count("auth_ok") + v->count("auth_fail") == 1, 10000);
            QVERIFY2(v->count(row.ok ? "auth_ok" : "auth_fail") == 1, row.mode);
            if (!row.ok) {
                QCOMPARE(v->last("auth_fail").value("remaining").toInt(), 4);
                QVERIFY(sessionListed(peers, v->sid(), false));
            }
            v->close();
            QTRY_VERIFY_WITH_TIMEOUT(sessionGone(peers, v->sid()), 5000);
        }
    }

    void repeatedWrongPasscodesLock() {
        DevicePeers peers;
        QVERIFY(peers.startServer());
        QVERIFY(peers.startHost());
        QVERIFY(peers.waitForDevice());
        for (int remaining = 4; remaining >= 1; --remaining) {
            auto v = viewer(peers, QStringLiteral("000000x"));
            QTRY_VERIFY_WITH_TIMEOUT(v->count("auth_fail") == 1, 10000);
            QCOMPARE(v->last("auth_fail").value("remaining").toInt(), remaining);
            // A refused viewer gets no picture, and a second proof on the same connection is ignored.
            v->sendCtrl({{"t", "auth"}, {"a", "x"}, {"f", "y"}});
            v->sendCtrl({{"t", "still"}});
            QTest::qWait(200);
            QVERIFY(v->frameSizes.isEmpty() && v->stills.isEmpty());
            QCOMPARE(v->count("auth_fail") + v->count("locked"), 1);
            v->close();
        }
        auto fifth = viewer(peers, QStringLiteral("000000x"));
        QTRY_VERIFY_WITH_TIMEOUT(fifth->count("locked") == 1, 10000);
        const qint64 retry = qint64(fifth->last("locked").value("retry_sec").toDouble());
        QVERIFY(retry > 240 && retry <= 300);
        fifth->close();

        // While locked even the right passcode is refused, before any proof is asked for.
        auto right = viewer(peers, peers.autoPasscode());
        QTRY_VERIFY_WITH_TIMEOUT(right->count("locked") == 1, 10000);
        QCOMPARE(right->count("challenge"), 0);
        QCOMPARE(right->count("auth_ok"), 0);
    }

    void wrongHostFingerprintGetsNoProof() {
        DevicePeers peers;
        QVERIFY(peers.startServer());
        QVERIFY(peers.startHost(QStringLiteral("wrong_fp")));
        QVERIFY(peers.waitForDevice());
        auto v = viewer(peers, peers.autoPasscode());
        QTRY_VERIFY_WITH_TIMEOUT(v->count("challenge") == 1, 10000);
        const QString sent = v->last("challenge").value("host_fp").toString();
        const QString real = DeviceTestViewer::fingerprint(v->answerSdp());
        QCOMPARE(sent.size(), 64);
        QVERIFY(sent != real);
        QVERIFY(!v->proofSent);
        QTest::qWait(500);
        QCOMPARE(v->count("auth_ok"), 0);
        QVERIFY(sessionListed(peers, v->sid(), false));
    }

    void requestsBeforeTheProofAreIgnored() {
        DevicePeers peers;
        QVERIFY(peers.startServer());
        QVERIFY(peers.startHost(QStringLiteral("input_log")));
        QVERIFY(peers.waitForDevice());
        DeviceTestViewer::Options o;
        o.autoProve = false;
        DeviceTestViewer v(peers.serverUrl(), peers.deviceId(), o);
        v.start();
        QTRY_VERIFY_WITH_TIMEOUT(v.count("challenge") == 1, 10000);
        v.sendCtrl({{"t", "still"}});
        v.sendCtrl({{"t", "quality"}, {"fps", 5}, {"scale", 0.2}, {"q", 10}, {"kbps", 100}});
        v.sendInput({{"t", "md"}, {"b", 0}, {"x", 1}, {"y", 2}});
        QTest::qWait(1000);
        QVERIFY(v.frameSizes.isEmpty());
        QVERIFY(v.stills.isEmpty());
        QCOMPARE(v.count("stats"), 0);
        QCOMPARE(v.count("cursor"), 0);
        QVERIFY(!QFile::exists(peers.dataDir() + "/device-input.jsonl"));
        QVERIFY(sessionListed(peers, v.sid(), false));
    }

    void malformedChunksFilesAndInput() {
        DevicePeers peers;
        QVERIFY(peers.startServer());
        QVERIFY(peers.startHost(QStringLiteral("bad_chunks,file,input_log")));
        QVERIFY(peers.waitForDevice());
        auto v = viewer(peers, peers.autoPasscode());
        QTRY_VERIFY_WITH_TIMEOUT(v->count("auth_ok") == 1, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(v->frames.size() >= 15, 15000);
        QVERIFY(v->malformedVideo >= 2);
        // Two interleaved transfers, each in order; the events and the rejects.
        QTRY_COMPARE_WITH_TIMEOUT(v->fileEvents.size(), 4, 5000);
        QCOMPARE(v->files.value(1), QByteArray("helloworld"));
        QCOMPARE(v->files.value(2), QByteArray("abcdef"));
        QCOMPARE(v->fileEvents.first().value("t").toString(), QStringLiteral("file_start"));
        QCOMPARE(v->fileRejects.size(), 4);

        v->sendInput({{"t", "md"}, {"b", 0}, {"x", 17}, {"y", 23}});
        v->sendInput({{"t", "kd"}, {"code", "KeyA"}, {"ch", "a"}});
        v->sendInput(QJsonObject{});
        QFile log(peers.dataDir() + "/device-input.jsonl");
        QTRY_VERIFY_WITH_TIMEOUT(log.size() > 0 && QFile(log.fileName()).size() >= 40, 5000);
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = log.readAll().split('\n');
        QVERIFY(lines.size() >= 2);
        QCOMPARE(QJsonDocument::fromJson(lines[0]).object().value("x").toInt(), 17);
        QCOMPARE(QJsonDocument::fromJson(lines[1]).object().value("code").toString(), QStringLiteral("KeyA"));
    }

    void hostEndsAndRefusesSessions() {
        DevicePeers peers;
        // Unreachable STUN/TURN servers handed out by the server must not get in the way.
        QVERIFY(peers.startServer(
            {"--stun", "stun:127.0.0.1:9", "--turn", "turn:127.0.0.1:9?transport=udp", "--turn-secret", "s3cret"}));
        QVERIFY(peers.startHost());
        QVERIFY(peers.waitForDevice());
        auto v = viewer(peers, peers.autoPasscode());
        QTRY_VERIFY_WITH_TIMEOUT(sessionListed(peers, v->sid(), true), 10000);
        QCOMPARE(peers.post("disconnect", {{"sid", v->sid()}}), 200);
        QTRY_VERIFY_WITH_TIMEOUT(v->gotBye, 5000);
        QVERIFY(sessionGone(peers, v->sid()));

        QCOMPARE(peers.post("sharing", {{"on", false}}), 200);
        auto refused = viewer(peers, peers.autoPasscode());
        QTRY_VERIFY_WITH_TIMEOUT(!refused->signals_.isEmpty(), 10000);
        QCOMPARE(refused->signals_.first().value("type").toString(), QStringLiteral("error"));
        QCOMPARE(refused->signals_.first().value("error").toString(), QStringLiteral("接続を拒否しました"));
        QVERIFY(sessionGone(peers, refused->sid()));
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
        QTRY_VERIFY_WITH_TIMEOUT(sessionListed(peers, sid, true), 10000);
        ::kill(pid_t(child.processId()), SIGKILL);
        child.waitForFinished(3000);
        QElapsedTimer t;
        t.start();
        QTRY_VERIFY_WITH_TIMEOUT(sessionGone(peers, sid), 60000);
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

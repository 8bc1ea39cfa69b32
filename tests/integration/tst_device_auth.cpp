// The device side of velmo-remote-host, end to end: who gets in (passcode modes, the
// lockout, the fingerprint, half-open connections) and what a viewer gets before and
// after the proof (malformed chunks, files, input).
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

class TestDeviceAuth : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { gst_init(nullptr, nullptr); }

    void passcodeModes() {
        DevicePeers peers;
        QVERIFY(peers.startServer());
        QVERIFY(peers.startHost());
        QVERIFY(peers.waitForDevice());
        const QString fixed = QStringLiteral("fixed-pass-9");
        QCOMPARE(peers.post("passcode/fixed", {{"passcode", fixed}}), 200);
        struct Row {
            const char *mode;
            bool useAuto; // the automatic passcode in force at the time, else the fixed one
            bool ok;
        };
        // Each success resets the failure count, so the lockout never comes into play here.
        const Row rows[] = {{"auto", true, true},   {"auto", false, false}, {"fixed", false, true},
                            {"fixed", true, false}, {"both", true, true},   {"both", false, true}};
        for (const Row &row : rows) {
            QCOMPARE(peers.post("passcode/mode", {{"mode", row.mode}}), 200);
            auto v = peers.viewer(row.useAuto ? peers.autoPasscode() : fixed);
            QTRY_VERIFY_WITH_TIMEOUT(v->count("auth_ok") + v->count("auth_fail") == 1, 20000);
            QVERIFY2(v->count(row.ok ? "auth_ok" : "auth_fail") == 1, row.mode);
            if (!row.ok) {
                QCOMPARE(v->last("auth_fail").value("remaining").toInt(), 4);
                QVERIFY(peers.sessionListed(v->sid(), false));
            }
            v->close();
            QTRY_VERIFY_WITH_TIMEOUT(peers.sessionGone(v->sid()), 20000);
        }
    }

    // The automatic passcode is one per session: a session admitted with it that ends for
    // good (the viewer's "bye", the host's disconnect) makes a new one at once, and the old
    // one opens nothing more; a viewer that is only lost may come back with it within the
    // reconnect grace, and after the grace without one the code changes too. The fixed
    // passcode never changes.
    void autoPasscodeChangesAfterEachSession() {
        DevicePeers peers;
        // Long enough for a second viewer's whole handshake on a loaded machine.
        peers.setHostEnv(QStringLiteral("VELMO_HOST_RECONNECT_GRACE_MS"), QStringLiteral("20000"));
        QVERIFY(peers.startServer());
        QVERIFY(peers.startHost());
        QVERIFY(peers.waitForDevice());
        const QString fixed = QStringLiteral("fixed-pass-7");
        QCOMPARE(peers.post("passcode/fixed", {{"passcode", fixed}}), 200);
        QCOMPARE(peers.post("passcode/mode", {{"mode", "both"}}), 200);
        const auto admitted = [&](const QString &passcode) {
            auto v = peers.viewer(passcode);
            (void)QTest::qWaitFor([&] { return v->count("auth_ok") + v->count("auth_fail") == 1; }, 15000);
            return v;
        };

        // Ended by the viewer's "bye".
        const QString first = peers.autoPasscode();
        auto v = admitted(first);
        QCOMPARE(v->count("auth_ok"), 1);
        QCOMPARE(peers.autoPasscode(), first); // unchanged while the session runs
        v->close();
        QTRY_VERIFY_WITH_TIMEOUT(peers.autoPasscode() != first, 20000);
        const QString second = peers.autoPasscode();
        QCOMPARE(admitted(first)->count("auth_fail"), 1);

        // Ended by the host.
        v = admitted(second);
        QCOMPARE(v->count("auth_ok"), 1);
        QCOMPARE(peers.post("disconnect", {{"sid", v->sid()}}), 200);
        QTRY_VERIFY_WITH_TIMEOUT(peers.autoPasscode() != second, 20000);

        // With the fixed passcode: the automatic one stays.
        const QString third = peers.autoPasscode();
        v = admitted(fixed);
        QCOMPARE(v->count("auth_ok"), 1);
        v->close();
        QTRY_VERIFY_WITH_TIMEOUT(peers.sessionGone(v->sid()), 20000);
        QCOMPARE(peers.autoPasscode(), third);

        // Lost without a word (the viewer's pipeline just stops): the code still opens for a
        // reconnect within the grace; that session's "bye" then changes it.
        v = admitted(third);
        QCOMPARE(v->count("auth_ok"), 1);
        const QString lostSid = v->sid();
        v.reset();
        QTRY_VERIFY_WITH_TIMEOUT(peers.sessionGone(lostSid), 30000);
        QCOMPARE(peers.autoPasscode(), third);
        v = admitted(third);
        QCOMPARE(v->count("auth_ok"), 1);
        QTest::qWait(20500); // past the grace: the reconnected session holds the code
        QCOMPARE(peers.autoPasscode(), third);
        v->close();
        QTRY_VERIFY_WITH_TIMEOUT(peers.autoPasscode() != third, 20000);

        // Lost, and nobody comes back: the code changes once the grace is over.
        const QString fourth = peers.autoPasscode();
        v = admitted(fourth);
        QCOMPARE(v->count("auth_ok"), 1);
        const QString goneSid = v->sid();
        v.reset();
        QTRY_VERIFY_WITH_TIMEOUT(peers.sessionGone(goneSid), 30000);
        QCOMPARE(peers.autoPasscode(), fourth);
        QTRY_VERIFY_WITH_TIMEOUT(peers.autoPasscode() != fourth, 25000);
    }

    void repeatedWrongPasscodesLock() {
        DevicePeers peers;
        QVERIFY(peers.startServer());
        QVERIFY(peers.startHost());
        QVERIFY(peers.waitForDevice());
        for (int remaining = 4; remaining >= 1; --remaining) {
            auto v = peers.viewer(QStringLiteral("000000x"));
            QTRY_VERIFY_WITH_TIMEOUT(v->count("auth_fail") == 1, 20000);
            QCOMPARE(v->last("auth_fail").value("remaining").toInt(), remaining);
            // A refused viewer gets no picture, and a second proof on the same connection is ignored.
            v->sendCtrl({{"t", "auth"}, {"a", "x"}, {"f", "y"}});
            v->sendCtrl({{"t", "still"}});
            QTest::qWait(200);
            QVERIFY(v->frameSizes.isEmpty() && v->stills.isEmpty());
            QCOMPARE(v->count("auth_fail") + v->count("locked"), 1);
            v->close();
        }
        auto fifth = peers.viewer(QStringLiteral("000000x"));
        QTRY_VERIFY_WITH_TIMEOUT(fifth->count("locked") == 1, 20000);
        const qint64 retry = qint64(fifth->last("locked").value("retry_sec").toDouble());
        QVERIFY(retry > 240 && retry <= 300);
        fifth->close();

        // While locked even the right passcode is refused, before any proof is asked for.
        auto right = peers.viewer(peers.autoPasscode());
        QTRY_VERIFY_WITH_TIMEOUT(right->count("locked") == 1, 20000);
        QCOMPARE(right->count("challenge"), 0);
        QCOMPARE(right->count("auth_ok"), 0);
    }

    void lockoutEnds() {
        DevicePeers peers;
        QVERIFY(peers.startServer());
        QVERIFY(peers.startHost(QStringLiteral("short_lock")));
        QVERIFY(peers.waitForDevice());
        for (int i = 0; i < 5; ++i) {
            auto v = peers.viewer(QStringLiteral("wrong"));
            QTRY_VERIFY_WITH_TIMEOUT(v->count("auth_fail") + v->count("locked") == 1, 20000);
            QCOMPARE(v->count("locked"), i == 4 ? 1 : 0);
            if (i == 4)
                QCOMPARE(v->last("locked").value("retry_sec").toInt(), 3);
            v->close();
        }
        // Once the time is up the right passcode opens the device, and the count starts afresh.
        QTest::qWait(3200);
        auto right = peers.viewer(peers.autoPasscode());
        QTRY_VERIFY_WITH_TIMEOUT(right->count("auth_ok") == 1, 20000);
        auto wrong = peers.viewer(QStringLiteral("wrong"));
        QTRY_VERIFY_WITH_TIMEOUT(wrong->count("auth_fail") == 1, 20000);
        QCOMPARE(wrong->last("auth_fail").value("remaining").toInt(), 4);
    }

    void wrongHostFingerprintGetsNoProof() {
        DevicePeers peers;
        QVERIFY(peers.startServer());
        QVERIFY(peers.startHost(QStringLiteral("wrong_fp")));
        QVERIFY(peers.waitForDevice());
        auto v = peers.viewer(peers.autoPasscode());
        QTRY_VERIFY_WITH_TIMEOUT(v->count("challenge") == 1, 20000);
        const QString sent = v->last("challenge").value("host_fp").toString();
        const QString real = DeviceTestViewer::fingerprint(v->answerSdp());
        QCOMPARE(sent.size(), 64);
        QVERIFY(sent != real);
        QVERIFY(!v->proofSent);
        QTest::qWait(500);
        QCOMPARE(v->count("auth_ok"), 0);
        QVERIFY(peers.sessionListed(v->sid(), false));
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
        QTRY_VERIFY_WITH_TIMEOUT(v.count("challenge") == 1, 20000);
        v.sendCtrl({{"t", "still"}});
        v.sendCtrl({{"t", "quality"}, {"fps", 5}, {"scale", 0.2}, {"q", 10}, {"kbps", 100}});
        v.sendInput({{"t", "md"}, {"b", 0}, {"x", 1}, {"y", 2}});
        QTest::qWait(1000);
        QVERIFY(v.frameSizes.isEmpty());
        QVERIFY(v.stills.isEmpty());
        QCOMPARE(v.count("stats"), 0);
        QCOMPARE(v.count("cursor"), 0);
        QVERIFY(!QFile::exists(peers.dataDir() + "/device-input.jsonl"));
        QVERIFY(peers.sessionListed(v.sid(), false));
    }

    void halfOpenSessionsGiveWay() {
        DevicePeers peers;
        QVERIFY(peers.startServer());
        QVERIFY(peers.startHost());
        QVERIFY(peers.waitForDevice());
        // Eight connections that never prove anything fill every slot...
        std::vector<std::unique_ptr<DeviceTestViewer>> idle;
        for (int i = 0; i < 8; ++i) {
            DeviceTestViewer::Options o;
            o.autoProve = false;
            idle.push_back(std::make_unique<DeviceTestViewer>(peers.serverUrl(), peers.deviceId(), o));
            idle.back()->start();
            QTRY_VERIFY_WITH_TIMEOUT(idle.back()->count("challenge") == 1, 20000);
        }
        QCOMPARE(peers.status().value("sessions").toArray().size(), 8);
        // ...and the next viewer still gets in: the oldest idle one is dropped with "bye".
        auto v = peers.viewer(peers.autoPasscode());
        QTRY_VERIFY_WITH_TIMEOUT(v->count("auth_ok") == 1, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(idle.front()->gotBye, 20000);
        QVERIFY(!idle.back()->gotBye);
        QCOMPARE(peers.status().value("sessions").toArray().size(), 8);
    }

    void malformedChunksFilesAndInput() {
        DevicePeers peers;
        QVERIFY(peers.startServer());
        QVERIFY(peers.startHost(QStringLiteral("bad_chunks,file,input_log")));
        QVERIFY(peers.waitForDevice());
        auto v = peers.viewer(peers.autoPasscode());
        QTRY_VERIFY_WITH_TIMEOUT(v->count("auth_ok") == 1, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(v->frames.size() >= 15, 15000);
        QVERIFY(v->malformedVideo >= 2);
        // Two interleaved transfers, each in order; the events and the rejects.
        QTRY_COMPARE_WITH_TIMEOUT(v->fileEvents.size(), 4, 20000);
        QCOMPARE(v->files.value(1), QByteArray("helloworld"));
        QCOMPARE(v->files.value(2), QByteArray("abcdef"));
        QCOMPARE(v->fileEvents.first().value("t").toString(), QStringLiteral("file_start"));
        QCOMPARE(v->fileRejects.size(), 4);

        v->sendInput({{"t", "md"}, {"b", 0}, {"x", 17}, {"y", 23}});
        v->sendInput({{"t", "kd"}, {"code", "KeyA"}, {"ch", "a"}});
        v->sendInput(QJsonObject{});
        QFile log(peers.dataDir() + "/device-input.jsonl");
        QTRY_VERIFY_WITH_TIMEOUT(log.size() > 0 && QFile(log.fileName()).size() >= 40, 20000);
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = log.readAll().split('\n');
        QVERIFY(lines.size() >= 2);
        QCOMPARE(QJsonDocument::fromJson(lines[0]).object().value("x").toInt(), 17);
        QCOMPARE(QJsonDocument::fromJson(lines[1]).object().value("code").toString(), QStringLiteral("KeyA"));
        // The reported pointer follows the viewer's.
        QTRY_VERIFY_WITH_TIMEOUT(
            v->last("cursor").value("x").toInt() == 17 && v->last("cursor").value("y").toInt() == 23, 5000);

        // Input switched off for this viewer by the host: nothing more arrives.
        QCOMPARE(peers.post("perm", {{"sid", v->sid()}, {"input", false}, {"clip", true}, {"files", true}}), 200);
        const qint64 sizeBefore = QFile(log.fileName()).size();
        v->sendInput({{"t", "mm"}, {"x", 99}, {"y", 99}});
        QTest::qWait(500);
        QCOMPARE(QFile(log.fileName()).size(), sizeBefore);
        QCOMPARE(v->last("cursor").value("x").toInt(), 17);
    }
};

int main(int argc, char **argv) {
    TestEnv env;
    QCoreApplication app(argc, argv);
    TestDeviceAuth t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_device_auth.moc"

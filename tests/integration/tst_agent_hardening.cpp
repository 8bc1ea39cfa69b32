// velmo-remote-host against hostile local users and viewers: proofs raced from many
// sessions at once, idle connections piled on the control API, planted files in the
// data directory, and an endless controller list.
#include "support/DevicePeers.h"
#include "support/DeviceTestViewer.h"
#include "support/HostProcess.h"
#include "support/TestEnv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTcpSocket>
#include <QTest>

#include <gst/gst.h>

#include <memory>
#include <sys/stat.h>

namespace {

int modeOf(const QString &path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 0777) : -1;
}

std::vector<std::unique_ptr<QTcpSocket>> idleConnections(quint16 port, int count) {
    std::vector<std::unique_ptr<QTcpSocket>> out;
    for (int i = 0; i < count; ++i) {
        auto s = std::make_unique<QTcpSocket>();
        s->connectToHost(QHostAddress::LocalHost, port);
        if (!s->waitForConnected(2000))
            break;
        // Half of them promise a request that never comes.
        if (i % 2)
            s->write("GET /status HTTP/1.1\r\nAuthorization: Bearer ");
        out.push_back(std::move(s));
    }
    return out;
}

} // namespace

class TestAgentHardening : public QObject {
    Q_OBJECT
    TestEnv m_env;

private Q_SLOTS:
    void initTestCase() { gst_init(nullptr, nullptr); }

    void proofsRacedFromManySessionsAreCountedFirst() {
        DevicePeers peers;
        QVERIFY(peers.startServer());
        QVERIFY(peers.startHost());
        QVERIFY(peers.waitForDevice());
        // Eight sessions wait with their challenge; their proofs then go out together.
        DeviceTestViewer::Options o;
        o.autoProve = false;
        std::vector<std::unique_ptr<DeviceTestViewer>> viewers;
        for (int i = 0; i < 8; ++i) {
            viewers.push_back(std::make_unique<DeviceTestViewer>(peers.serverUrl(), peers.deviceId(), o));
            viewers.back()->start();
        }
        for (const auto &v : viewers)
            QTRY_VERIFY_WITH_TIMEOUT(v->count("challenge") == 1, 20000);
        // The right proof for the last one, worked out before anything is sent.
        DeviceTestViewer &last = *viewers.back();
        const QJsonObject c = last.last("challenge");
        const auto right = DeviceTestViewer::pythonProof(
            peers.autoPasscode(), QByteArray::fromBase64(c.value("nonce").toString().toLatin1()),
            QByteArray::fromBase64(c.value("auto_salt").toString().toLatin1()),
            QByteArray::fromBase64(c.value("fixed_salt").toString().toLatin1()),
            DeviceTestViewer::fingerprint(last.offerSdp()), DeviceTestViewer::fingerprint(last.answerSdp()),
            qint64(c.value("iters").toDouble()));

        // Seven wrong proofs race each other: each reserves a try before its (slow) check.
        for (int i = 0; i < 7; ++i)
            viewers[i]->sendCtrl({{"t", "auth"}, {"a", "d3Jvbmc="}, {"f", "d3Jvbmc="}});
        auto answered = [&](const DeviceTestViewer &v) {
            return v.count("auth_fail") + v.count("locked") + v.count("auth_ok");
        };
        for (int i = 0; i < 7; ++i)
            QTRY_VERIFY_WITH_TIMEOUT(answered(*viewers[i]) == 1, 20000);
        // The right proof comes once the device is locked. (Sent on another peer connection,
        // it could overtake the wrong ones on a loaded machine if it went out with them.)
        last.sendCtrl({{"t", "auth"}, {"a", right.first}, {"f", right.second}});
        QTRY_VERIFY_WITH_TIMEOUT(answered(last) == 1, 20000);
        int fails = 0, locked = 0;
        for (int i = 0; i < 7; ++i) {
            fails += viewers[i]->count("auth_fail");
            locked += viewers[i]->count("locked");
        }
        // Only five tries were ever checked: four said so, the fifth locked the device,
        // and the rest were refused as locked without a check.
        QCOMPARE(fails, 4);
        QCOMPARE(locked, 3);
        // The right proof came after five tries were spent: refused, not let in.
        QCOMPARE(last.count("auth_ok"), 0);
        QCOMPARE(last.count("locked"), 1);
        QVERIFY(!peers.sessionListed(last.sid(), true));
    }

    void controlApiHoldsUnderIdleConnections() {
        DevicePeers peers;
        QVERIFY(peers.startServer());
        QVERIFY(peers.startHost());
        QVERIFY(peers.waitForDevice());
        const QJsonObject cj = HostProcess::readControlJson(peers.dataDir());
        const quint16 port = quint16(cj.value("port").toInt());
        QVERIFY(port > 0);

        // More idle and half-sent connections than the agent keeps.
        auto idle = idleConnections(port, 320);
        QCOMPARE(int(idle.size()), 320);
        QTest::qWait(200);
        // The owner still gets answers, and the device side carries on.
        QByteArray body;
        QCOMPARE(testHttp("GET", port, "status", cj.value("token").toString().toUtf8(), {}, &body), 200);
        QCOMPARE(QJsonDocument::fromJson(body)["connected"], QJsonValue(true));
        QCOMPARE(peers.rest("/api/v1/devices/" + peers.deviceId()).value("online"), QJsonValue(true));
        auto v = peers.viewer(peers.autoPasscode());
        QTRY_VERIFY_WITH_TIMEOUT(v->count("auth_ok") == 1, 20000);
        // The oldest of the idle ones made room.
        QTRY_COMPARE(idle.front()->state(), QAbstractSocket::UnconnectedState);
        int open = 0;
        for (const auto &s : idle)
            open += s->state() == QAbstractSocket::ConnectedState ? 1 : 0;
        QVERIFY(open < 256);
    }

    void dataFilesArePrivate() {
        const QString dir = m_env.dataDir() + "/private";
        const QString victim = m_env.home() + "/someone-elses-file";
        {
            QFile f(victim);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("precious\n");
        }
        QVERIFY(QDir().mkpath(dir));
        QVERIFY(::chmod(QFile::encodeName(dir).constData(), 0755) == 0);
        QVERIFY(QFile::link(victim, dir + "/control.json"));

        QProcess host;
        host.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        host.start(VELMO_HOST_BIN, {"--data", dir, "--test-hooks"});
        QVERIFY(host.waitForStarted(5000));
        QVERIFY(QTest::qWaitFor([&] { return host.readAllStandardOutput().contains("listening"); }, 10000));
        // control.json was replaced, never written through the link.
        QFile check(victim);
        QVERIFY(check.open(QIODevice::ReadOnly));
        QCOMPARE(check.readAll(), QByteArray("precious\n"));
        const QFileInfo cj(dir + "/control.json");
        QVERIFY(!cj.isSymLink() && cj.isFile());
        QCOMPARE(modeOf(cj.filePath()), 0600);
        QCOMPARE(modeOf(dir), 0700);
        host.terminate();
        QVERIFY(host.waitForFinished(5000));

        // A device.json that others may read is not trusted; the status says why.
        DevicePeers peers;
        QVERIFY(peers.startServer());
        QVERIFY(QDir().mkpath(peers.dataDir()));
        const QString deviceJson = peers.dataDir() + "/device.json";
        {
            QFile f(deviceJson);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(R"({"secret":"planted-secret-known-to-others"})");
        }
        QVERIFY(::chmod(QFile::encodeName(deviceJson).constData(), 0644) == 0);
        QVERIFY(peers.startHost());
        QTRY_VERIFY(peers.status().value("problem").toString().contains("device.json"));
        QCOMPARE(peers.status().value("connected"), QJsonValue(false));
        QVERIFY(peers.status().value("id").toString().isEmpty());
    }

    void controllerListIsBounded() {
        HostProcess h(m_env.dataDir() + "/controllers");
        QVERIFY(h.ok());
        for (int i = 0; i < 256; ++i)
            QCOMPARE(h.post("controller/add", {{"label", QString("k%1").arg(i)}, {"pub", QString("key-%1").arg(i)}}),
                     200);
        QByteArray answer;
        QCOMPARE(h.post("controller/add", {{"label", "one more"}, {"pub", "key-extra"}}, &answer), 400);
        QVERIFY(QString::fromUtf8(answer).contains("256"));
        // Relabelling a listed key is still fine; removing one makes room.
        QCOMPARE(h.post("controller/add", {{"label", "renamed"}, {"pub", "key-7"}}), 200);
        QCOMPARE(h.post("controller/remove", {{"pub", "key-0"}}), 200);
        QCOMPARE(h.post("controller/add", {{"label", "one more"}, {"pub", "key-extra"}}), 200);
        QByteArray status;
        QCOMPARE(h.get("status", &status), 200);
        QCOMPARE(QJsonDocument::fromJson(status)["controllers"].toArray().size(), 256);
    }
};

QTEST_GUILESS_MAIN(TestAgentHardening)
#include "tst_agent_hardening.moc"

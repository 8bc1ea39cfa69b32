// A session relayed by a real TURN server: coturn (started by the test environment with a
// shared secret) checks the credentials that velmo-rendezvous hands out, and a viewer that
// may only use relayed candidates reaches the real host through it.
#include "support/DevicePeers.h"
#include "support/DeviceTestViewer.h"
#include "support/TestEnv.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMessageAuthenticationCode>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTest>

#include <gst/gst.h>

class TestSessionRelay : public QObject {
    Q_OBJECT

    QString turnUrl = qEnvironmentVariable("VELMO_TEST_TURN_URL");
    QString secret = qEnvironmentVariable("VELMO_TEST_TURN_SECRET");

    static QJsonObject turnCredentials(const QString &server) {
        QNetworkAccessManager nam;
        QNetworkRequest req{QUrl(server + "/api/v1/turn-credentials")};
        req.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        QNetworkReply *reply = nam.post(req, QByteArray("{}"));
        QSignalSpy done(reply, &QNetworkReply::finished);
        if (!reply->isFinished())
            done.wait(5000);
        reply->deleteLater();
        return QJsonDocument::fromJson(reply->readAll()).object();
    }
    static QJsonObject session(DevicePeers &peers, const QString &sid) {
        for (const QJsonValue &s : peers.status().value("sessions").toArray()) {
            if (s.toObject().value("sid").toString() == sid)
                return s.toObject();
        }
        return {};
    }
    DeviceTestViewer::Options relayOnly(DevicePeers &peers, const QJsonObject &ice) {
        DeviceTestViewer::Options o;
        o.passcode = peers.autoPasscode();
        for (const QJsonValue &u : ice.value("urls").toArray())
            o.iceUrls.append(u.toString());
        o.iceUsername = ice.value("username").toString();
        o.iceCredential = ice.value("credential").toString();
        o.relayOnly = true;
        return o;
    }

private Q_SLOTS:
    void initTestCase() {
        gst_init(nullptr, nullptr);
        QVERIFY2(!turnUrl.isEmpty() && !secret.isEmpty(),
                 "run through scripts/with-test-env.sh with VELMO_TEST_TURN=1");
    }

    void relayOnlySessionGoesThroughCoturn() {
        DevicePeers peers;
        QVERIFY(peers.startServer({"--turn", turnUrl, "--turn-secret", secret, "--turn-ttl", "600"}));
        QVERIFY(peers.startHost());
        QVERIFY(peers.waitForDevice());

        // Time-limited credentials in the shared-secret scheme coturn checks.
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        const QJsonObject ice = turnCredentials(peers.serverUrl());
        QCOMPARE(ice.value("urls").toArray(), QJsonArray{turnUrl});
        const QString username = ice.value("username").toString();
        const qint64 expiry = username.section(u':', 0, 0).toLongLong();
        QCOMPARE(username.section(u':', 1), QString("velmo"));
        QVERIFY2(expiry >= now + 590 && expiry <= now + 610, qPrintable(username));
        QCOMPARE(ice.value("credential").toString(),
                 QString::fromLatin1(
                     QMessageAuthenticationCode::hash(username.toUtf8(), secret.toUtf8(), QCryptographicHash::Sha1)
                         .toBase64()));

        DeviceTestViewer v(peers.serverUrl(), peers.deviceId(), relayOnly(peers, ice));
        v.start();
        QTRY_VERIFY_WITH_TIMEOUT(v.count("auth_ok") == 1, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(v.frames.size() >= 3, 10000);
        // The host sees its viewer through the relay.
        QTRY_VERIFY_WITH_TIMEOUT(session(peers, v.sid()).value("relay").toBool(), 10000);
        QVERIFY(session(peers, v.sid()).value("authed").toBool());
        v.close();
    }

    void relayRefusesWrongCredentials() {
        DevicePeers peers;
        QVERIFY(peers.startServer({"--turn", turnUrl, "--turn-secret", "not-the-servers-secret"}));
        QVERIFY(peers.startHost());
        QVERIFY(peers.waitForDevice());
        // Credentials signed with another secret get no allocation, and a viewer that may
        // only relay gets nowhere.
        DeviceTestViewer v(peers.serverUrl(), peers.deviceId(), relayOnly(peers, turnCredentials(peers.serverUrl())));
        v.start();
        QTest::qWait(8000);
        QVERIFY(!v.channelsOpen());
        QCOMPARE(v.count("auth_ok"), 0);
        QVERIFY(!v.answerSdp().isEmpty()); // signaling itself went through
        v.close();
    }
};

int main(int argc, char **argv) {
    TestEnv env;
    QCoreApplication app(argc, argv);
    TestSessionRelay t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_session_relay.moc"

// Several velmo-rendezvous instances acting as one: a shared registry in PostgreSQL and
// signaling and presence through Redis, all real processes started by the test environment.
// Devices and viewers sit on different instances; an instance is killed, Redis stalls.
#include "support/DevicePeers.h"
#include "support/DeviceTestViewer.h"
#include "support/RendezvousProcess.h"
#include "support/ScriptedPeer.h"
#include "support/TcpForwarder.h"
#include "support/TestEnv.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMap>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QWebSocket>

#include <gst/gst.h>

#include <algorithm>
#include <csignal>
#include <memory>

namespace {

const QString textUnreachable = QStringLiteral("端末が見つからないか、オフラインです");

QJsonObject offer(const QString &to, const QString &sid) {
    return QJsonObject{{"type", "connect"}, {"to", to}, {"sid", sid}, {"payload", QJsonObject{{"sdp", "v=0 offer"}}}};
}

} // namespace

class TestRendezvousCluster : public QObject {
    Q_OBJECT

    QNetworkAccessManager nam;
    int secrets = 0;

    QString newSecret() { return QStringLiteral("cluster-secret-%1-abcdefghijklmnop").arg(++secrets); }

    QJsonDocument get(const QString &url, int *status = nullptr, const QByteArray &token = {}) {
        QNetworkRequest req{QUrl(url)};
        if (!token.isEmpty())
            req.setRawHeader("Authorization", "Bearer " + token);
        QNetworkReply *reply = nam.get(req);
        QSignalSpy done(reply, &QNetworkReply::finished);
        if (!reply->isFinished())
            done.wait(5000);
        if (status)
            *status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        reply->deleteLater();
        return QJsonDocument::fromJson(reply->readAll());
    }
    QJsonValue online(RendezvousProcess &server, const QString &id) {
        return get(server.url() + "/api/v1/devices/" + id).object().value("online");
    }
    int httpDelete(const QString &url, const QByteArray &token) {
        QNetworkRequest req{QUrl(url)};
        req.setRawHeader("Authorization", "Bearer " + token);
        QNetworkReply *reply = nam.deleteResource(req);
        QSignalSpy done(reply, &QNetworkReply::finished);
        if (!reply->isFinished())
            done.wait(5000);
        reply->deleteLater();
        return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    }

    static std::unique_ptr<ScriptedPeer> device(RendezvousProcess &server, const QString &secret) {
        auto d = std::make_unique<ScriptedPeer>();
        if (!d->registerAt(server.wsUrl("/ws/device"), secret, QStringLiteral("Desk")))
            return nullptr;
        return d;
    }
    // A viewer socket; `id` gets the id its "hello" gave.
    static std::unique_ptr<ScriptedPeer> viewer(RendezvousProcess &server, QString *id = nullptr) {
        auto v = std::make_unique<ScriptedPeer>();
        if (!v->open(server.wsUrl("/ws/viewer")))
            return nullptr;
        const auto hello = v->take("hello");
        if (!hello)
            return nullptr;
        if (id)
            *id = hello->value("id").toString();
        return v;
    }
    // Two instances on one registry and one bus.
    static bool startPair(RendezvousProcess &a, RendezvousProcess &b) {
        if (!a.start({"--admin-token", "admin"}))
            return false;
        b.setDatabase(a.database());
        return b.start({"--admin-token", "admin"});
    }

private Q_SLOTS:
    void initTestCase() {
        gst_init(nullptr, nullptr);
        QVERIFY2(qEnvironmentVariableIsSet("VELMO_TEST_PG_URL") && qEnvironmentVariableIsSet("VELMO_TEST_REDIS_URL"),
                 "run through scripts/with-test-env.sh with VELMO_TEST_POSTGRES=1 VELMO_TEST_REDIS=1");
    }

    // Instances starting together on a fresh database migrate it once between them; one
    // that finds a newer schema than it knows refuses to start.
    void schemaMigrations() {
        const QString db = RendezvousProcess::createPostgresDatabase();
        QVERIFY(!db.isEmpty());
        QProcess first, second;
        for (QProcess *p : {&first, &second})
            p->start(QStringLiteral(VELMO_SERVER_BIN), {"--listen", "127.0.0.1:0", "--db", db});
        for (QProcess *p : {&first, &second})
            QVERIFY(QTest::qWaitFor([p] { return p->canReadLine() || p->state() == QProcess::NotRunning; }, 15000) &&
                    p->readLine().startsWith("velmo-rendezvous listening on"));
        auto psql = [&](const QString &sql) {
            QProcess p;
            p.start(qEnvironmentVariable("VELMO_TEST_PG_BIN") + "/psql", {"-tA", db, "-c", sql});
            p.waitForFinished(10000);
            return p.readAllStandardOutput().trimmed();
        };
        QCOMPARE(psql("SELECT string_agg(version::text, ',') FROM schema_version"), QByteArray("1"));
        for (QProcess *p : {&first, &second}) {
            p->terminate();
            QVERIFY(p->waitForFinished(5000));
        }

        psql("INSERT INTO schema_version VALUES (99)");
        QProcess newer;
        newer.start(QStringLiteral(VELMO_SERVER_BIN), {"--listen", "127.0.0.1:0", "--db", db});
        QVERIFY(newer.waitForFinished(10000));
        QCOMPARE(newer.exitCode(), 2);
        QVERIFY(newer.readAllStandardError().contains("schema version 99"));
    }

    // IDs come from the database: devices registering on both instances at once get IDs that
    // are distinct and scattered, and one secret registering on both at once gets one ID.
    void idsAreAllocatedInTheDatabase() {
        RendezvousProcess a, b;
        QVERIFY(a.start({"--register-rate", "100000"}));
        b.setDatabase(a.database());
        QVERIFY(b.start({"--register-rate", "100000"}));
        constexpr int devices = 60;
        std::vector<std::unique_ptr<QWebSocket>> sockets;
        QMap<int, QStringList> ids; // device → the IDs its two sockets were given
        for (int i = 0; i < devices; ++i) {
            const QString secret = QStringLiteral("cluster-race-%1-abcdefghijklmnop").arg(i);
            for (RendezvousProcess *server : {&a, &b}) {
                auto socket = std::make_unique<QWebSocket>();
                QWebSocket *s = socket.get();
                connect(s, &QWebSocket::connected, s, [s, secret] {
                    s->sendTextMessage(QString::fromUtf8(
                        QJsonDocument(QJsonObject{{"type", "register"}, {"secret", secret}, {"name", "Race"}})
                            .toJson(QJsonDocument::Compact)));
                });
                connect(s, &QWebSocket::textMessageReceived, s, [&ids, i](const QString &text) {
                    const QJsonObject o = QJsonDocument::fromJson(text.toUtf8()).object();
                    if (o.value("type") == QJsonValue("registered"))
                        ids[i].append(o.value("id").toString());
                });
                s->open(QUrl(server->wsUrl("/ws/device")));
                sockets.push_back(std::move(socket));
            }
        }
        QTRY_VERIFY_WITH_TIMEOUT(
            std::all_of(ids.cbegin(), ids.cend(), [](const QStringList &l) { return l.size() == 2; }) &&
                ids.size() == devices,
            20000);
        QSet<QString> distinct;
        for (const QStringList &pair : std::as_const(ids)) {
            QCOMPARE(pair.first(), pair.last());
            QVERIFY(QRegularExpression("^[1-9][0-9]{8}$").match(pair.first()).hasMatch());
            distinct.insert(pair.first());
        }
        QCOMPARE(distinct.size(), devices);
        // Scattered over the range rather than counted up: sixty random draws span more than a
        // hundred million but for a vanishing chance; sixty from a counter span fifty-nine.
        QList<qint64> sorted;
        for (const QString &id : std::as_const(distinct))
            sorted.append(id.toLongLong());
        std::sort(sorted.begin(), sorted.end());
        QVERIFY(sorted.last() - sorted.first() > 100'000'000);
    }

    void signalingReachesTheOtherInstance() {
        RendezvousProcess a, b;
        QVERIFY(startPair(a, b));
        auto d = device(a, newSecret());
        QVERIFY(d);
        const QString id = d->id();
        QTRY_COMPARE(online(b, id), QJsonValue(true));

        // Offer, answer and candidates both ways between a viewer on B and the device on A.
        QString viewerId;
        auto v = viewer(b, &viewerId);
        QVERIFY(v);
        QVERIFY(!viewerId.isEmpty());
        v->send(offer(id, "s1"));
        const auto connect = d->take("connect", "s1");
        QVERIFY(connect);
        QCOMPARE(connect->value("from").toString(), viewerId);
        QCOMPARE(connect->value("payload").toObject().value("sdp").toString(), QString("v=0 offer"));
        QVERIFY(!connect->contains("to"));
        d->send({{"type", "answer"}, {"sid", "s1"}, {"payload", QJsonObject{{"sdp", "v=0 answer"}}}});
        const auto answer = v->take("answer", "s1");
        QVERIFY(answer);
        QCOMPARE(answer->value("from").toString(), id);
        v->send({{"type", "ice"}, {"to", id}, {"sid", "s1"}, {"payload", QJsonObject{{"candidate", "c1"}}}});
        QCOMPARE(d->take("ice", "s1")->value("payload").toObject().value("candidate").toString(), QString("c1"));
        d->send({{"type", "ice"}, {"sid", "s1"}, {"payload", QJsonObject{{"candidate", "c2"}}}});
        QCOMPARE(v->take("ice", "s1")->value("payload").toObject().value("candidate").toString(), QString("c2"));

        // The session is the first viewer's on every instance.
        auto thief = viewer(a);
        QVERIFY(thief);
        thief->send(offer(id, "s1"));
        QCOMPARE(thief->take("error", "s1")->value("error").toString(), QString("セッションIDが使用中です"));
        QVERIFY(d->nothing("connect"));
        thief->send({{"type", "ice"}, {"to", id}, {"sid", "s1"}, {"payload", QJsonObject{{"candidate", "x"}}}});
        QCOMPARE(thief->take("error", "s1")->value("error").toString(), QString("セッションがありません"));
        // ...and on a third instance, where neither the viewer nor the device is: the device's
        // instance refuses, and the third drops the session it had begun.
        RendezvousProcess c;
        c.setDatabase(a.database());
        QVERIFY(c.start());
        auto third = viewer(c);
        QVERIFY(third);
        third->send(offer(id, "s1"));
        QCOMPARE(third->take("error", "s1")->value("error").toString(), QString("セッションIDが使用中です"));
        third->send({{"type", "ice"}, {"to", id}, {"sid", "s1"}, {"payload", QJsonObject{{"candidate", "x"}}}});
        QCOMPARE(third->take("error", "s1")->value("error").toString(), QString("セッションがありません"));
        QVERIFY(d->nothing("connect"));

        // A viewer gone before the answer: the device hears "bye" from the server itself.
        {
            auto quitter = viewer(b);
            QVERIFY(quitter);
            quitter->send(offer(id, "s2"));
            QVERIFY(d->take("connect", "s2"));
            quitter->close();
            const auto bye = d->take("bye", "s2");
            QVERIFY(bye);
            QVERIFY(!bye->contains("from"));
        }
        // A viewer's "bye" goes through with its id; the device's "bye" ends the session on B.
        v->send({{"type", "bye"}, {"to", id}, {"sid", "s1"}});
        QCOMPARE(d->take("bye", "s1")->value("from").toString(), viewerId);
        v->send({{"type", "ice"}, {"to", id}, {"sid", "s1"}, {"payload", QJsonObject{{"candidate", "late"}}}});
        QCOMPARE(v->take("error", "s1")->value("error").toString(), QString("セッションがありません"));

        // The device leaves before answering: the viewer on B is told.
        v->send(offer(id, "s3"));
        QVERIFY(d->take("connect", "s3"));
        d->close();
        QCOMPARE(v->take("error", "s3")->value("error").toString(), QString("端末との接続が切れました"));
        QTRY_COMPARE(online(b, id), QJsonValue(false));
        v->send(offer(id, "s4"));
        QCOMPARE(v->take("error", "s4")->value("error").toString(), textUnreachable);
    }

    void registryAndPresenceAreShared() {
        RendezvousProcess a, b;
        QVERIFY(startPair(a, b));
        const QString secret = newSecret();
        auto first = device(a, secret);
        QVERIFY(first);
        auto other = device(b, newSecret());
        QVERIFY(other);
        QVERIFY(first->id() != other->id());
        // One registry: both instances list both devices, online wherever they are held.
        for (RendezvousProcess *s : {&a, &b}) {
            int status = 0;
            const QJsonArray all = get(s->url() + "/api/v1/devices", &status, "admin").array();
            QCOMPARE(status, 200);
            QCOMPARE(all.size(), 2);
            for (const QJsonValue &d : all)
                QCOMPARE(d.toObject().value("online"), QJsonValue(true));
        }

        // The same device registering on B takes over from its socket on A (closed as replaced)
        // and keeps its ID; a viewer on A reaches it on B.
        auto moved = device(b, secret);
        QVERIFY(moved);
        QCOMPARE(moved->id(), first->id());
        QTRY_VERIFY(first->closed());
        QCOMPARE(first->closeCode(), 4409);
        QString viewerId;
        auto v = viewer(a, &viewerId);
        QVERIFY(v);
        v->send(offer(moved->id(), "m1"));
        QCOMPARE(moved->take("connect", "m1")->value("from").toString(), viewerId);
        QCOMPARE(online(a, moved->id()), QJsonValue(true));

        // Deleted on A while held by B: B disconnects it as deleted.
        QCOMPARE(httpDelete(a.url() + "/api/v1/devices/" + moved->id(), "admin"), 200);
        QTRY_VERIFY(moved->closed());
        QCOMPARE(moved->closeCode(), 4410);
        int status = 0;
        get(b.url() + "/api/v1/devices/" + moved->id(), &status);
        QCOMPARE(status, 404);

        // An instance that stops cleanly hands its devices' presence back at once (well
        // within the 10 s it would take to run out).
        auto last = device(a, newSecret());
        QVERIFY(last);
        QTRY_COMPARE(online(b, last->id()), QJsonValue(true));
        a.stop();
        QTRY_COMPARE_WITH_TIMEOUT(online(b, last->id()), QJsonValue(false), 5000);
    }

    void deviceOnOneInstanceStreamsToViewerOnTheOther() {
        RendezvousProcess a, b;
        QVERIFY(startPair(a, b));
        DevicePeers peers;
        peers.useServer(a.url());
        QVERIFY(peers.startHost());
        QVERIFY(peers.waitForDevice());
        DeviceTestViewer::Options o;
        o.passcode = peers.autoPasscode();
        DeviceTestViewer v(b.url(), peers.deviceId(), o);
        v.start();
        QTRY_VERIFY_WITH_TIMEOUT(v.count("auth_ok") == 1, 15000);
        QTRY_VERIFY_WITH_TIMEOUT(v.frames.size() >= 3, 10000);
        QVERIFY(v.frames.first() != v.frames.last());
        QVERIFY(peers.sessionListed(v.sid(), true));
        v.close();
        QTRY_VERIFY_WITH_TIMEOUT(peers.sessionGone(v.sid()), 10000);
    }

    void killedInstanceHandsItsDevicesToTheOther() {
        RendezvousProcess a, b;
        QVERIFY(startPair(a, b));
        TcpForwarder balancer;
        QVERIFY(balancer.listen());
        balancer.setTarget(a.port());
        DevicePeers peers;
        peers.useServer(balancer.url());
        QVERIFY(peers.startHost());
        QVERIFY(peers.waitForDevice());
        const QString id = peers.deviceId();
        QCOMPARE(online(b, id), QJsonValue(true));

        // A dies without a word; nothing takes the device's reconnections for now. Its
        // presence runs out on its own.
        balancer.setTarget(0);
        a.kill();
        QTRY_COMPARE_WITH_TIMEOUT(online(b, id), QJsonValue(false), 20000);
        auto lost = viewer(b);
        QVERIFY(lost);
        lost->send(offer(id, "k1"));
        QCOMPARE(lost->take("error", "k1")->value("error").toString(), textUnreachable);

        // The balancer sends the device to B: same ID (one registry), online, and it streams.
        balancer.setTarget(b.port());
        QTRY_COMPARE_WITH_TIMEOUT(online(b, id), QJsonValue(true), 40000);
        QVERIFY(peers.waitForDevice());
        QCOMPARE(peers.deviceId(), id);
        DeviceTestViewer::Options o;
        o.passcode = peers.autoPasscode();
        DeviceTestViewer v(b.url(), id, o);
        v.start();
        QTRY_VERIFY_WITH_TIMEOUT(v.count("auth_ok") == 1, 15000);
        QTRY_VERIFY_WITH_TIMEOUT(v.frames.size() >= 3, 10000);
    }

    void stalledRedisGivesErrorsNotHangs() {
        const qint64 redis = qEnvironmentVariableIntValue("VELMO_TEST_REDIS_PID");
        QVERIFY(redis > 0);
        RendezvousProcess a, b;
        QVERIFY(startPair(a, b));
        auto d = device(a, newSecret());
        QVERIFY(d);
        QTRY_COMPARE(online(b, d->id()), QJsonValue(true));
        auto remote = viewer(b);
        auto local = viewer(a);
        QVERIFY(remote && local);

        ::kill(pid_t(redis), SIGSTOP);
        // The other instance's device cannot be reached: an error within seconds, no hang.
        remote->send(offer(d->id(), "r1"));
        const auto error = remote->take("error", "r1", 15000);
        ::kill(pid_t(redis), SIGCONT);
        QVERIFY(error);
        QCOMPARE(error->value("error").toString(), textUnreachable);

        // Back: the bus reconnects and relays again; a device on the viewer's own instance
        // never needed it.
        local->send(offer(d->id(), "r2"));
        QVERIFY(d->take("connect", "r2"));
        QTRY_VERIFY_WITH_TIMEOUT(get(b.url() + "/healthz").object().value("bus") == QJsonValue("up"), 15000);
        QTRY_COMPARE_WITH_TIMEOUT(online(b, d->id()), QJsonValue(true), 10000);
        auto again = viewer(b);
        QVERIFY(again);
        again->send(offer(d->id(), "r3"));
        QVERIFY(d->take("connect", "r3", 10000));
    }
};

int main(int argc, char **argv) {
    TestEnv env;
    QCoreApplication app(argc, argv);
    TestRendezvousCluster t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_rendezvous_cluster.moc"

// velmo-rendezvous as a black box: REST, device registration, and the relay between viewer
// and device sockets, with the bad input a hostile or broken peer sends.
#include "support/RendezvousProcess.h"
#include "support/ScriptedPeer.h"
#include "support/TestEnv.h"
#include "support/WsFrames.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMessageAuthenticationCode>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

namespace {

struct Http {
    int status = 0;
    QByteArray body;
    QByteArray contentType;
};

const QByteArray jpeg = QByteArray("\xFF\xD8\xFF\xE0", 4) + QByteArray("fake jpeg body");
const QByteArray png = QByteArray("\x89PNG\r\n\x1A\n", 8) + QByteArray("fake png body");

} // namespace

class TestRendezvous : public QObject {
    Q_OBJECT

    TestEnv env;
    RendezvousProcess server;
    QNetworkAccessManager nam;
    int secretCounter = 0;

    Http request(const QByteArray &verb, const QString &path, const QByteArray &token = {},
                 const QByteArray &scheme = "Bearer ") {
        QNetworkRequest req(QUrl(server.url() + path));
        if (!token.isEmpty())
            req.setRawHeader("Authorization", scheme + token);
        QNetworkReply *reply = nam.sendCustomRequest(req, verb);
        QSignalSpy done(reply, &QNetworkReply::finished);
        if (!reply->isFinished())
            done.wait(5000);
        Http out{reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll(),
                 reply->header(QNetworkRequest::ContentTypeHeader).toByteArray()};
        reply->deleteLater();
        return out;
    }

    QString newSecret() { return QStringLiteral("test-secret-%1-abcdefghijklmnop").arg(++secretCounter); }

    std::unique_ptr<ScriptedPeer> device(const QString &secret, const QString &name = QStringLiteral("Desk")) {
        auto d = std::make_unique<ScriptedPeer>();
        if (!d->registerAt(server.wsUrl("/ws/device"), secret, name))
            return nullptr;
        return d;
    }

    std::unique_ptr<ScriptedPeer> viewer() {
        auto v = std::make_unique<ScriptedPeer>();
        if (!v->open(server.wsUrl("/ws/viewer")) || !v->take("hello"))
            return nullptr;
        return v;
    }

    static QJsonObject offer(const QString &to, const QString &sid) {
        return QJsonObject{
            {"type", "connect"}, {"to", to}, {"sid", sid}, {"payload", QJsonObject{{"sdp", "v=0 offer"}}}};
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(server.start({"--admin-token", "admin-secret", "--stun", "stun:stun.example.org:3478", "--turn",
                              "turn:turn.example.org:3478?transport=udp", "--turn-secret", "turn-shared"}));
    }

    void deviceIdsInPathsThatAreNotNineDigitsAre404() {
        for (const QString id : {"12345678", "1234567890", "abcdefghi", "12345678a",
                                 "%EF%BC%91%EF%BC%92%EF%BC%93"
                                 "%EF%BC%94%EF%BC%95%EF%BC%96"
                                 "%EF%BC%97%EF%BC%98%EF%BC%99",
                                 "123456789%27%20OR%201=1", ""}) {
            const Http info = request("GET", "/api/v1/devices/" + id);
            QCOMPARE(info.status, 404);
            QVERIFY(QJsonDocument::fromJson(info.body).isObject());
            QCOMPARE(request("GET", "/api/v1/devices/" + id + "/thumb").status, 404);
            QCOMPARE(request("DELETE", "/api/v1/devices/" + id, "admin-secret").status, 404);
        }
        QCOMPARE(request("GET", "/api/v1/devices/123456789").status, 404);
        QCOMPARE(request("GET", "/api/v1/nothing").status, 404);
        QCOMPARE(request("GET", "/").status, 404);
        QCOMPARE(request("GET", "/api/v1/turn-credentials").status, 405);
        QCOMPARE(request("POST", "/api/v1/devices", "admin-secret").status, 405);
    }

    void registrationGivesAStableIdAcrossRestarts() {
        const QString secret = newSecret();
        QString id;
        {
            auto d = device(secret, "First name");
            QVERIFY(d);
            id = d->id();
            QVERIFY(QRegularExpression("^[1-9][0-9]{8}$").match(id).hasMatch());
            const Http info = request("GET", "/api/v1/devices/" + id);
            QCOMPARE(info.status, 200);
            const QJsonObject o = QJsonDocument::fromJson(info.body).object();
            QCOMPARE(o.value("id").toString(), id);
            QCOMPARE(o.value("name").toString(), QString("First name"));
            QCOMPARE(o.value("platform").toString(), QString("Linux"));
            QCOMPARE(o.value("online"), QJsonValue(true));
        }
        // The socket is gone: registered but offline.
        QTRY_COMPARE(QJsonDocument::fromJson(request("GET", "/api/v1/devices/" + id).body)["online"],
                     QJsonValue(false));

        QVERIFY(server.restart());
        auto again = device(secret, "Renamed");
        QVERIFY(again);
        QCOMPARE(again->id(), id);
        QCOMPARE(QJsonDocument::fromJson(request("GET", "/api/v1/devices/" + id).body)["name"].toString(),
                 QString("Renamed"));
        auto other = device(newSecret());
        QVERIFY(other);
        QVERIFY(other->id() != id);

        // Name and platform updates; absurd lengths are cut, not refused.
        again->send(QJsonObject{{"type", "update"}, {"name", QString(1000, u'x')}, {"platform", QJsonValue::Null}});
        QTRY_COMPARE(QJsonDocument::fromJson(request("GET", "/api/v1/devices/" + id).body)["name"].toString().size(),
                     128);
        QCOMPARE(QJsonDocument::fromJson(request("GET", "/api/v1/devices/" + id).body)["platform"],
                 QJsonValue(QJsonValue::Null));
    }

    void badRegistrationsAreClosedWithTheirCodes() {
        struct Case {
            const char *what;
            QString frame;
            int code;
        };
        const QList<Case> cases = {
            {"not json", "{{{", 4400},
            {"wrong first type", R"({"type":"answer","sid":"ab12cd34"})", 4400},
            {"short secret", R"({"type":"register","secret":"short"})", 4400},
            {"secret with spaces", R"({"type":"register","secret":"has spaces in it but long enough"})", 4400},
            {"numeric secret", R"({"type":"register","secret":12345678901234567890})", 4400},
            {"name not a string", R"({"type":"register","secret":"abcdefghijklmnopqrstuvwxyz","name":5})", 4400},
        };
        for (const Case &c : cases) {
            ScriptedPeer d;
            QVERIFY(d.open(server.wsUrl("/ws/device")));
            d.sendText(c.frame);
            QTRY_VERIFY2(d.closed(), c.what);
            QCOMPARE(d.closeCode(), c.code);
            QVERIFY2(d.take("error", {}, 100).has_value(), c.what);
        }
        ScriptedPeer binaryFirst;
        QVERIFY(binaryFirst.open(server.wsUrl("/ws/device")));
        binaryFirst.sendBinary(jpeg);
        QTRY_VERIFY(binaryFirst.closed());
        QCOMPARE(binaryFirst.closeCode(), 4400);

        ScriptedPeer unknownPath;
        QVERIFY(unknownPath.open(server.wsUrl("/ws/other")));
        QTRY_VERIFY(unknownPath.closed());
        QCOMPARE(unknownPath.closeCode(), 1008);

        // Silence after opening: closed after the registration time.
        ScriptedPeer silent;
        QVERIFY(silent.open(server.wsUrl("/ws/device")));
        QTRY_VERIFY_WITH_TIMEOUT(silent.closed(), 15000);
        QCOMPARE(silent.closeCode(), 4408);
    }

    void aSecondSocketOfTheSameDeviceReplacesTheFirst() {
        const QString secret = newSecret();
        auto first = device(secret);
        QVERIFY(first);
        auto v = viewer();
        QVERIFY(v);
        v->send(offer(first->id(), "s1"));
        QVERIFY(first->take("connect", "s1"));
        first->send(QJsonObject{{"type", "answer"}, {"sid", "s1"}, {"payload", QJsonObject{{"sdp", "a"}}}});
        QVERIFY(v->take("answer", "s1"));

        auto second = device(secret);
        QVERIFY(second);
        QCOMPARE(second->id(), first->id());
        QTRY_VERIFY(first->closed());
        QCOMPARE(first->closeCode(), 4409);
        QCOMPARE(QJsonDocument::fromJson(request("GET", "/api/v1/devices/" + second->id()).body)["online"],
                 QJsonValue(true));
        // The session's route survived the reconnection, and the viewer saw no error.
        second->send(QJsonObject{{"type", "ice"}, {"sid", "s1"}, {"payload", QJsonObject{{"candidate", "c"}}}});
        QVERIFY(v->take("ice", "s1"));
        QVERIFY(v->nothing("error", 100));
    }

    void administratorCalls() {
        auto d = device(newSecret(), "To delete");
        QVERIFY(d);
        QCOMPARE(request("GET", "/api/v1/devices").status, 401);
        QCOMPARE(request("GET", "/api/v1/devices", "wrong").status, 401);
        QCOMPARE(request("DELETE", "/api/v1/devices/" + d->id()).status, 401);
        QCOMPARE(request("DELETE", "/api/v1/devices/" + d->id(), "admin-secret").status, 200);

        // Deleting a connected device closed its socket; its ID is gone.
        QTRY_VERIFY(d->closed());
        QCOMPARE(d->closeCode(), 4410);
        QCOMPARE(request("GET", "/api/v1/devices/" + d->id()).status, 404);
        QCOMPARE(request("DELETE", "/api/v1/devices/" + d->id(), "admin-secret").status, 404);

        auto kept = device(newSecret(), "Kept");
        QVERIFY(kept);
        const Http list = request("GET", "/api/v1/devices", "admin-secret");
        QCOMPARE(list.status, 200);
        const QJsonArray array = QJsonDocument::fromJson(list.body).array();
        QVERIFY(!array.isEmpty());
        QStringList ids;
        bool seen = false;
        for (const QJsonValue &v : array) {
            ids << v["id"].toString();
            if (v["id"].toString() == kept->id()) {
                seen = true;
                QCOMPARE(v["name"].toString(), QString("Kept"));
                QCOMPARE(v["online"], QJsonValue(true));
            }
            QVERIFY(v["id"].toString() != d->id());
        }
        QVERIFY(seen);
        QStringList sorted = ids;
        sorted.sort();
        QCOMPARE(ids, sorted);

        // A server without a token refuses administration outright.
        RendezvousProcess bare;
        QVERIFY(bare.start());
        QNetworkRequest req(QUrl(bare.url() + "/api/v1/devices"));
        req.setRawHeader("Authorization", "Bearer ");
        QNetworkReply *reply = nam.get(req);
        QSignalSpy done(reply, &QNetworkReply::finished);
        QVERIFY(done.wait(5000));
        QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 403);
        reply->deleteLater();
    }

    // A device removes its own registration with its secret (as its uninstaller does),
    // and only its own: another device's secret, a wrong one or none is refused alike.
    void aDeviceDeletesItselfWithItsSecret() {
        const QString secret = newSecret();
        auto d = device(secret, "Leaving");
        auto other = device(newSecret(), "Staying");
        QVERIFY(d && other);
        const QString path = "/api/v1/devices/" + d->id();
        QCOMPARE(request("DELETE", path, secret.toUtf8() + "x", "Device ").status, 401);
        QCOMPARE(request("DELETE", "/api/v1/devices/" + other->id(), secret.toUtf8(), "Device ").status, 401);
        QCOMPARE(request("DELETE", path, " ", "Device ").status, 401);
        QCOMPARE(request("GET", path).status, 200);
        QCOMPARE(request("DELETE", path, secret.toUtf8(), "Device ").status, 200);
        QTRY_VERIFY(d->closed());
        QCOMPARE(d->closeCode(), 4410);
        QCOMPARE(request("GET", path).status, 404);
        QCOMPARE(request("DELETE", path, secret.toUtf8(), "Device ").status, 401);
        QVERIFY(!other->closed());
        QCOMPARE(request("GET", "/api/v1/devices/" + other->id()).status, 200);
    }

    void thumbnails() {
        auto d = device(newSecret());
        QVERIFY(d);
        const QString path = "/api/v1/devices/" + d->id() + "/thumb";
        QCOMPARE(request("GET", path).status, 404);

        d->sendBinary(jpeg);
        QTRY_COMPARE(request("GET", path).status, 200);
        Http got = request("GET", path);
        QCOMPARE(got.body, jpeg);
        QCOMPARE(got.contentType, QByteArray("image/jpeg"));

        // Refused: not an image, too large, bad base64. The stored one stays.
        d->sendBinary("GIF89a not accepted");
        QVERIFY(d->take("error").has_value());
        d->sendBinary(QByteArray("\xFF\xD8\xFF", 3) + QByteArray(300 * 1024, 'x'));
        QVERIFY(d->take("error").has_value());
        d->send(QJsonObject{{"type", "thumb"}, {"data", "!!!not base64!!!"}});
        QVERIFY(d->take("error").has_value());
        QVERIFY(d->isOpen());
        QCOMPARE(request("GET", path).body, jpeg);

        // The text form, after the minimum interval.
        QTest::qWait(1100);
        d->send(QJsonObject{{"type", "thumb"}, {"data", QString::fromLatin1(png.toBase64())}});
        QTRY_COMPARE(request("GET", path).body, png);
        QCOMPARE(request("GET", path).contentType, QByteArray("image/png"));
        // Sent again at once: dropped by the rate limit.
        d->sendBinary(jpeg);
        QTest::qWait(200);
        QCOMPARE(request("GET", path).body, png);

        // A device message larger than the cap closes only that socket.
        d->sendBinary(QByteArray(600 * 1024, 'x'));
        QTRY_VERIFY(d->closed());
        QCOMPARE(d->closeCode(), 1009);
    }

    void relayBetweenViewerAndDevice() {
        auto d = device(newSecret());
        QVERIFY(d);
        ScriptedPeer v;
        QVERIFY(v.open(server.wsUrl("/ws/viewer")));
        const auto hello = v.take("hello");
        QVERIFY(hello);
        const QString viewerId = hello->value("id").toString();
        QVERIFY(!viewerId.isEmpty());
        QVERIFY(!hello->contains("sid"));

        v.send(offer(d->id(), "ab12cd34"));
        auto connect = d->take("connect", "ab12cd34");
        QVERIFY(connect);
        QCOMPARE(connect->value("from").toString(), viewerId);
        QCOMPARE(connect->value("payload")["sdp"].toString(), QString("v=0 offer"));
        QVERIFY(!connect->contains("to"));

        const QJsonObject cand{
            {"candidate", "candidate:1 1 UDP 1 127.0.0.1 5000 typ host"}, {"sdpMid", "0"}, {"sdpMLineIndex", 0}};
        v.send(QJsonObject{{"type", "ice"}, {"to", d->id()}, {"sid", "ab12cd34"}, {"payload", cand}});
        auto ice = d->take("ice", "ab12cd34");
        QVERIFY(ice);
        QCOMPARE(ice->value("payload").toObject(), cand);

        d->send(QJsonObject{{"type", "answer"}, {"sid", "ab12cd34"}, {"payload", QJsonObject{{"sdp", "v=0 answer"}}}});
        auto answer = v.take("answer", "ab12cd34");
        QVERIFY(answer);
        QCOMPARE(answer->value("payload")["sdp"].toString(), QString("v=0 answer"));
        QCOMPARE(answer->value("from").toString(), d->id());
        d->send(QJsonObject{{"type", "ice"}, {"sid", "ab12cd34"}, {"payload", cand}});
        QCOMPARE(v.take("ice", "ab12cd34")->value("payload").toObject(), cand);
        d->send(QJsonObject{{"type", "error"}, {"sid", "ab12cd34"}, {"error", "接続を拒否しました"}});
        QCOMPARE(v.take("error", "ab12cd34")->value("error").toString(), QString("接続を拒否しました"));

        // A message from the device for a session nobody opened goes nowhere.
        d->send(QJsonObject{{"type", "answer"}, {"sid", "zz"}, {"payload", QJsonObject{}}});
        QVERIFY(v.nothing("answer", 100));

        // The viewer hangs up: the device hears it and the route is gone.
        v.send(QJsonObject{{"type", "bye"}, {"to", d->id()}, {"sid", "ab12cd34"}});
        QCOMPARE(d->take("bye", "ab12cd34")->value("from").toString(), viewerId);
        v.send(QJsonObject{{"type", "ice"}, {"to", d->id()}, {"sid", "ab12cd34"}, {"payload", cand}});
        QCOMPARE(v.take("error", "ab12cd34")->value("error").toString(), QString("セッションがありません"));

        // The device hangs up another session.
        v.send(offer(d->id(), "s2"));
        QVERIFY(d->take("connect", "s2"));
        d->send(QJsonObject{{"type", "bye"}, {"sid", "s2"}});
        QVERIFY(v.take("bye", "s2"));
    }

    void viewerErrorsAndNoise() {
        auto d = device(newSecret());
        QVERIFY(d);
        auto offline = device(newSecret());
        QVERIFY(offline);
        const QString offlineId = offline->id();
        offline->close();
        QTRY_VERIFY(offline->closed());
        auto v = viewer();
        QVERIFY(v);

        auto errorFor = [&](const QJsonObject &msg) {
            v->send(msg);
            const auto e = v->take("error", msg.value("sid").toString());
            return e ? e->value("error").toString() : QStringLiteral("<none>");
        };
        // Unknown and offline look alike: a prober learns nothing about which IDs exist.
        const QString unreachable = QStringLiteral("端末が見つからないか、オフラインです");
        QCOMPARE(errorFor(offer("987654321", "e1")), unreachable);
        QCOMPARE(errorFor(offer("12345", "e2")), unreachable);
        QCOMPARE(errorFor(QJsonObject{{"type", "connect"}, {"sid", "e3"}, {"payload", QJsonObject{}}}), unreachable);
        QTRY_COMPARE(errorFor(offer(offlineId, "e4")), unreachable);
        QCOMPARE(errorFor(QJsonObject{{"type", "connect"}, {"to", d->id()}, {"sid", "e5"}, {"payload", "sdp"}}),
                 QString("不正なメッセージです"));
        QCOMPARE(errorFor(QJsonObject{{"type", "ice"}, {"to", d->id()}, {"sid", "e6"}, {"payload", QJsonObject{}}}),
                 QString("セッションがありません"));

        // Noise: dropped, the socket stays usable.
        v->sendText("not json at all");
        v->sendText("[1,2,3]");
        v->sendText("\"a string\"");
        v->sendText(R"({"no":"type"})");
        v->sendText(R"({"type":"connect","to":"123456789"})");
        v->sendText(R"({"type":"connect","sid":{"x":1},"to":"123456789"})");
        v->sendText(R"({"type":"dance","sid":"e7","to":"123456789"})");
        v->sendBinary("binary");
        QVERIFY(v->nothing("error", 200));
        QVERIFY(d->received().isEmpty());

        // Another viewer cannot take over a live session id.
        v->send(offer(d->id(), "shared"));
        QVERIFY(d->take("connect", "shared"));
        auto intruder = viewer();
        QVERIFY(intruder);
        intruder->send(offer(d->id(), "shared"));
        QCOMPARE(intruder->take("error", "shared")->value("error").toString(), QString("セッションIDが使用中です"));
        intruder->send(QJsonObject{{"type", "bye"}, {"to", d->id()}, {"sid", "shared"}});
        QVERIFY(d->nothing("bye", 200));

        // Routes per viewer are bounded.
        for (int i = 0; i < 31; ++i)
            v->send(offer(d->id(), QStringLiteral("many%1").arg(i)));
        v->send(offer(d->id(), "one-too-many"));
        QCOMPARE(v->take("error", "one-too-many")->value("error").toString(), QString("セッションが多すぎます"));

        // A huge frame closes that viewer only; the others carry on.
        intruder->sendText(QString(100 * 1024, u'x'));
        QTRY_VERIFY(intruder->closed());
        QCOMPARE(intruder->closeCode(), 1009);
        v->send(QJsonObject{{"type", "bye"}, {"to", d->id()}, {"sid", "many0"}}); // frees one slot
        v->send(offer(d->id(), "after"));
        QVERIFY(d->take("connect", "after"));
    }

    void peersLeavingInTheMiddle() {
        auto d = device(newSecret());
        QVERIFY(d);

        // The viewer leaves before the answer: the device is told to drop the negotiation.
        {
            auto v = viewer();
            QVERIFY(v);
            v->send(offer(d->id(), "gone1"));
            QVERIFY(d->take("connect", "gone1"));
            v->close();
        }
        const auto bye = d->take("bye", "gone1");
        QVERIFY(bye);
        QVERIFY(!bye->contains("from"));

        // After the answer a viewer's signaling loss says nothing to the device.
        {
            auto v = viewer();
            QVERIFY(v);
            v->send(offer(d->id(), "gone2"));
            QVERIFY(d->take("connect", "gone2"));
            d->send(QJsonObject{{"type", "answer"}, {"sid", "gone2"}, {"payload", QJsonObject{{"sdp", "x"}}}});
            QVERIFY(v->take("answer", "gone2"));
            v->close();
        }
        QVERIFY(d->nothing("bye", 300));
        // Messages for that session now go nowhere and harm nothing.
        d->send(QJsonObject{{"type", "ice"}, {"sid", "gone2"}, {"payload", QJsonObject{}}});

        // The device leaves before answering: the viewer gets an error for that session only.
        auto v = viewer();
        QVERIFY(v);
        v->send(offer(d->id(), "pending"));
        QVERIFY(d->take("connect", "pending"));
        d->close();
        QCOMPARE(v->take("error", "pending")->value("error").toString(), QString("端末との接続が切れました"));
        QTRY_COMPARE(QJsonDocument::fromJson(request("GET", "/api/v1/devices/" + d->id()).body)["online"],
                     QJsonValue(false));
    }

    void aDeviceThatFallsSilentGoesOffline() {
        RendezvousProcess quick;
        QVERIFY(quick.start({"--ping-interval", "1"}));
        // A hand-made WebSocket client that registers and then never answers a ping, like a
        // machine that vanished without closing its connection.
        QTcpSocket raw;
        raw.connectToHost(QHostAddress::LocalHost, quick.port());
        QVERIFY(raw.waitForConnected(5000));
        raw.write("GET /ws/device HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                  "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
        QByteArray in;
        QVERIFY(QTest::qWaitFor([&] { return (in += raw.readAll()).contains("\r\n\r\n"); }, 5000));
        QVERIFY(in.startsWith("HTTP/1.1 101"));
        raw.write(clientFrame(R"({"type":"register","secret":"silent-device-secret-123","name":"Silent"})"));
        QVERIFY(QTest::qWaitFor([&] { return (in += raw.readAll()).contains("registered"); }, 5000));
        const QString id = QRegularExpression("\"id\":\"(\\d{9})\"").match(QString::fromLatin1(in)).captured(1);
        QVERIFY(!id.isEmpty());

        // A well-behaved device on the same server answers the pings and stays.
        ScriptedPeer alive;
        QVERIFY(alive.registerAt(quick.wsUrl("/ws/device"), "alive-device-secret-123", "Alive"));

        auto online = [&](const QString &deviceId) {
            QNetworkReply *reply = nam.get(QNetworkRequest(QUrl(quick.url() + "/api/v1/devices/" + deviceId)));
            QSignalSpy done(reply, &QNetworkReply::finished);
            done.wait(5000);
            const QJsonValue v = QJsonDocument::fromJson(reply->readAll())["online"];
            reply->deleteLater();
            return v;
        };
        QCOMPARE(online(id), QJsonValue(true));
        QTRY_COMPARE_WITH_TIMEOUT(online(id), QJsonValue(false), 8000);
        QCOMPARE(online(alive.id()), QJsonValue(true));
        QVERIFY(alive.isOpen());
    }

    void turnCredentials() {
        const qint64 before = QDateTime::currentSecsSinceEpoch();
        const Http r = request("POST", "/api/v1/turn-credentials");
        QCOMPARE(r.status, 200);
        const QJsonObject o = QJsonDocument::fromJson(r.body).object();
        QCOMPARE(o["urls"].toArray(),
                 QJsonArray({"stun:stun.example.org:3478", "turn:turn.example.org:3478?transport=udp"}));
        const QString username = o["username"].toString();
        const QStringList parts = username.split(':');
        QCOMPARE(parts.size(), 2);
        const qint64 expiry = parts[0].toLongLong();
        QVERIFY(expiry >= before + 86400 && expiry <= QDateTime::currentSecsSinceEpoch() + 86400);
        // Checked the way a TURN server checks it.
        const QByteArray mac =
            QMessageAuthenticationCode::hash(username.toUtf8(), "turn-shared", QCryptographicHash::Sha1).toBase64();
        QCOMPARE(o["credential"].toString().toLatin1(), mac);

        RendezvousProcess plain;
        QVERIFY(plain.start());
        QNetworkReply *reply = nam.post(QNetworkRequest(QUrl(plain.url() + "/api/v1/turn-credentials")), QByteArray());
        QSignalSpy done(reply, &QNetworkReply::finished);
        QVERIFY(done.wait(5000));
        const QJsonObject none = QJsonDocument::fromJson(reply->readAll()).object();
        QCOMPARE(none["urls"].toArray(), QJsonArray());
        QVERIFY(none["username"].isNull() && none["credential"].isNull());
        reply->deleteLater();
    }
};

QTEST_GUILESS_MAIN(TestRendezvous)
#include "tst_rendezvous.moc"

// The REST client against the real velmo-rendezvous, and against a scripted server for
// the answers a healthy server never gives.
#include "config/AppConfig.h"
#include "rendezvous/Api.h"
#include "support/RendezvousProcess.h"
#include "support/ScriptedHttpServer.h"
#include "support/ScriptedPeer.h"
#include "support/TestEnv.h"
#include "support/ViewerObjects.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QTest>
#include <QThread>

namespace {

// Waits (with the event loop running) for an asynchronous result.
template <typename T> struct Await {
    std::optional<T> value;
    std::function<void(T)> callback() {
        return [this](T v) { value = std::move(v); };
    }
    bool wait(int ms = 12000) {
        return QTest::qWaitFor([this] { return value.has_value(); }, ms);
    }
};

const QByteArray validDevice = R"({"id":"123456789","name":"Desk","platform":"Linux","online":true})";

} // namespace

class TestApi : public QObject {
    Q_OBJECT

    TestEnv env;
    RendezvousProcess server;
    ScriptedHttpServer scripted;

    ViewerObjects objects;
    AppConfig *config() { return objects.config(); }

    // The error of the last failed call, for the kind checks.
    Error lastError;

    template <typename T> std::optional<T> valueOf(Await<Result<T>> &a) {
        if (!a.wait())
            return std::nullopt;
        if (!a.value->ok())
            lastError = a.value->error;
        return a.value->value;
    }
    std::optional<DeviceInfo> deviceInfo(const QString &id) {
        Await<Result<DeviceInfo>> a;
        objects.api()->deviceInfo(id, this, a.callback());
        return a.wait() ? valueOf(a) : std::optional<DeviceInfo>{DeviceInfo{"<timeout>"}};
    }
    std::optional<QList<DeviceInfo>> listDevices() {
        Await<Result<QList<DeviceInfo>>> a;
        objects.api()->listDevices(this, a.callback());
        return a.wait() ? valueOf(a) : QList<DeviceInfo>{DeviceInfo{"<timeout>"}};
    }
    std::optional<QByteArray> deviceThumb(const QString &id) {
        Await<Result<QByteArray>> a;
        objects.api()->deviceThumb(id, this, a.callback());
        return a.wait() ? valueOf(a) : QByteArray("<timeout>");
    }
    std::optional<bool> deleteDevice(const QString &id) {
        Await<Result<std::monostate>> a;
        objects.api()->deleteDevice(id, this, a.callback());
        return a.wait() ? std::optional<bool>(valueOf(a).has_value()) : std::nullopt;
    }
    // An empty configuration on failure, as the session uses it.
    std::optional<IceConfig> turnCredentials() {
        Await<Result<IceConfig>> a;
        objects.api()->turnCredentials(this, a.callback());
        return a.wait() ? std::optional<IceConfig>(valueOf(a).value_or(IceConfig{})) : std::nullopt;
    }

    void useScripted(int status, const QByteArray &body) {
        config()->setServer(scripted.url());
        scripted.setReply(status, body);
        scripted.clearRequests();
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(server.start({"--admin-token", "the-token", "--turn", "turn:127.0.0.1:3478", "--turn-secret", "s"}));
        QVERIFY(scripted.listen());
    }

    void init() { config()->setAdminToken(QString()); }

    void urlAndTokenRules() {
        QCOMPARE(Api::makeUrl("http://127.0.0.1:8787", "/api/v1/devices").toString(),
                 QString("http://127.0.0.1:8787/api/v1/devices"));
        // No separator is added or removed.
        QCOMPARE(Api::makeUrl("http://h:1/", "/api/v1/devices").toString(), QString("http://h:1//api/v1/devices"));
        QCOMPARE(Api::makeUrl("https://h/base", "/api/v1/devices").toString(),
                 QString("https://h/base/api/v1/devices"));
        for (const QString bad : {"", "   ", "not a url", "http://", "127.0.0.1:8787", "ftp://h", "http://bad host/"}) {
            const QUrl u = Api::makeUrl(bad, "/api/v1/devices/123456789");
            QVERIFY2(u.host().endsWith(".invalid"), qPrintable(bad));
            QCOMPARE(u.path(), QString("/api/v1/devices/123456789"));
        }
        QCOMPARE(Api::trimToken(" \t tok en\t "), QString("tok en"));
        QCOMPARE(Api::trimToken("\ntok\n"), QString("\ntok\n"));
        QCOMPARE(Api::trimToken(" \t "), QString());
    }

    void aServerValueThatIsNoUrlFailsQuicklyEverywhere() {
        for (const QString bad : {"", "not a url"}) {
            config()->setServer(bad);
            QElapsedTimer t;
            t.start();
            QCOMPARE(deviceInfo("123456789"), std::nullopt);
            QCOMPARE(deviceThumb("123456789"), std::nullopt);
            QCOMPARE(listDevices(), std::nullopt);
            QCOMPARE(deleteDevice("123456789"), std::optional<bool>(false));
            QCOMPARE(turnCredentials(), std::optional<IceConfig>(IceConfig{}));
            QCOMPARE(lastError, Error::make(Error::Kind::Unreachable, "サーバーに接続できません"));
            QVERIFY2(t.elapsed() < 5000, "name resolution of the placeholder should fail fast");
        }
    }

    void theBearerTokenIsTrimmedAndOmittedWhenBlank() {
        useScripted(200, validDevice);
        config()->setAdminToken("  \tthe-token \t");
        QVERIFY(deviceInfo("123456789"));
        QCOMPARE(scripted.requests().last().header("authorization"), QByteArray("Bearer the-token"));

        for (const QString blank : {"   ", "\t \t", ""}) {
            config()->setAdminToken(blank);
            scripted.clearRequests();
            QVERIFY(turnCredentials());
            QCOMPARE(scripted.requests().size(), 1);
            QVERIFY(!scripted.requests().last().headers.contains("authorization"));
        }
        // A token with a line break would split the header: it is not sent at all.
        config()->setAdminToken("tok\r\nX-Injected: 1");
        scripted.clearRequests();
        QVERIFY(deviceInfo("123456789"));
        QVERIFY(!scripted.requests().last().headers.contains("authorization"));
        QVERIFY(!scripted.requests().last().headers.contains("x-injected"));
    }

    void requestsHaveTheirMethodsAndPathsAndNoBody() {
        useScripted(200, validDevice);
        deviceInfo("123456789");
        deviceThumb("123456789");
        listDevices();
        deleteDevice("123456789");
        turnCredentials();
        const QList<HttpRequest> &r = scripted.requests();
        QCOMPARE(r.size(), 5);
        const QList<QPair<QByteArray, QString>> expected = {{"GET", "/api/v1/devices/123456789"},
                                                            {"GET", "/api/v1/devices/123456789/thumb"},
                                                            {"GET", "/api/v1/devices"},
                                                            {"DELETE", "/api/v1/devices/123456789"},
                                                            {"POST", "/api/v1/turn-credentials"}};
        for (int i = 0; i < 5; ++i) {
            QCOMPARE(r[i].method, expected[i].first);
            QCOMPARE(r[i].path, expected[i].second);
            QVERIFY(r[i].body.isEmpty());
            QVERIFY(!r[i].headers.contains("content-type"));
        }
    }

    void deviceInfoDecoding_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("decodes");
        QTest::newRow("valid") << 200 << validDevice << true;
        QTest::newRow("platform null") << 200 << QByteArray(R"({"id":"1","name":"n","platform":null,"online":false})")
                                       << true;
        QTest::newRow("extra keys") << 200 << QByteArray(R"({"id":"1","name":"n","online":true,"x":[1]})") << true;
        QTest::newRow("no online") << 200 << QByteArray(R"({"id":"1","name":"n","platform":"p"})") << false;
        QTest::newRow("online as string") << 200 << QByteArray(R"({"id":"1","name":"n","online":"true"})") << false;
        QTest::newRow("online as number") << 200 << QByteArray(R"({"id":"1","name":"n","online":1})") << false;
        QTest::newRow("id as number") << 200 << QByteArray(R"({"id":1,"name":"n","online":true})") << false;
        QTest::newRow("platform number") << 200 << QByteArray(R"({"id":"1","name":"n","platform":3,"online":true})")
                                         << false;
        QTest::newRow("array") << 200 << QByteArray("[" + validDevice + "]") << false;
        QTest::newRow("truncated") << 200 << validDevice.left(30) << false;
        QTest::newRow("empty") << 200 << QByteArray() << false;
        QTest::newRow("404") << 404 << validDevice << false;
        QTest::newRow("401") << 401 << validDevice << false;
        QTest::newRow("204") << 204 << validDevice << false;
        QTest::newRow("201") << 201 << validDevice << false;
        QTest::newRow("500") << 500 << validDevice << false;
    }
    void deviceInfoDecoding() {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(bool, decodes);
        useScripted(status, body);
        const auto d = deviceInfo("123456789");
        QCOMPARE(d.has_value(), decodes);
        if (d && body == validDevice)
            QCOMPARE(*d, (DeviceInfo{"123456789", "Desk", QString("Linux"), true}));
        if (d && body.contains("null"))
            QCOMPARE(d->platform, std::nullopt);
    }

    void listAndDeleteStatusRules() {
        useScripted(200, "[]");
        QCOMPARE(listDevices(), std::optional<QList<DeviceInfo>>(QList<DeviceInfo>{}));
        useScripted(200, "[" + validDevice + "," + validDevice + "]");
        QCOMPARE(listDevices()->size(), 2);
        useScripted(200, "[" + validDevice + R"(,{"id":"2","name":"n"}])");
        QCOMPARE(listDevices(), std::nullopt); // one bad element fails the whole list
        useScripted(200, validDevice);
        QCOMPARE(listDevices(), std::nullopt);
        QCOMPARE(lastError.kind, Error::Kind::BadAnswer);
        useScripted(401, "[]");
        QCOMPARE(listDevices(), std::nullopt);
        QCOMPARE(lastError, Error::make(Error::Kind::Http, "サーバーがエラーを返しました(HTTP 401)", 401));

        useScripted(200, "not even json");
        QCOMPARE(deleteDevice("123456789"), std::optional<bool>(true)); // the body is not read
        useScripted(204, "");
        QCOMPARE(deleteDevice("123456789"), std::optional<bool>(false));
        useScripted(404, "");
        QCOMPARE(deleteDevice("123456789"), std::optional<bool>(false));
    }

    void thumbAndTurnStatusRules() {
        useScripted(200, "");
        QCOMPARE(deviceThumb("123456789"), std::nullopt);
        useScripted(200, "\xFF\xD8\xFF bytes");
        QCOMPARE(deviceThumb("123456789"), std::optional<QByteArray>("\xFF\xD8\xFF bytes"));
        useScripted(404, "\xFF\xD8\xFF bytes");
        QCOMPARE(deviceThumb("123456789"), std::nullopt);

        // Whatever the status, a body that decodes is used.
        useScripted(403, R"({"urls":["turn:a:3478"],"username":"u","credential":"c","ttl":5})");
        QCOMPARE(turnCredentials(), std::optional<IceConfig>(IceConfig{{"turn:a:3478"}, QString("u"), QString("c")}));
        useScripted(200, R"({"urls":["stun:a"]})");
        QCOMPARE(turnCredentials(), std::optional<IceConfig>(IceConfig{{"stun:a"}, std::nullopt, std::nullopt}));
        // Statuses Qt reports as protocol or proxy errors are answers all the same.
        for (int status : {400, 407, 418, 300, 503}) {
            useScripted(status, R"({"urls":["turn:b:3478"],"username":"v"})");
            QCOMPARE(turnCredentials(),
                     std::optional<IceConfig>(IceConfig{{"turn:b:3478"}, QString("v"), std::nullopt}));
        }
        for (const QByteArray bad : {R"({"urls":"stun:a"})", R"({"urls":[1]})", R"({"username":"u"})",
                                     R"({"urls":[],"username":5})", "garbage"}) {
            useScripted(200, bad);
            QCOMPARE(turnCredentials(), std::optional<IceConfig>(IceConfig{}));
        }
        // Nothing listening.
        config()->setServer("http://127.0.0.1:1");
        QCOMPARE(turnCredentials(), std::optional<IceConfig>(IceConfig{}));
    }

    void hostileBodiesAreNotBufferedWithoutBound() {
        useScripted(200, "[" + QByteArray(Api::maxJsonBytes + 1024, ' ') + "]");
        QCOMPARE(listDevices(), std::nullopt);
        ScriptedHttpServer::Reply huge;
        huge.body = QByteArray(Api::maxThumbBytes + 1024, 'x');
        huge.contentType = "image/jpeg";
        scripted.setReply(huge);
        QCOMPARE(deviceThumb("123456789"), std::nullopt);
    }

    void aStalledServerTimesOut() {
        config()->setServer(scripted.url());
        ScriptedHttpServer::Reply stall;
        stall.stall = true;
        scripted.setReply(stall);
        QElapsedTimer t;
        t.start();
        QCOMPARE(deviceInfo("123456789"), std::nullopt);
        // The 8-second time-out, not the 12-second wait of the test.
        QVERIFY2(t.elapsed() >= 7000 && t.elapsed() < 11000, qPrintable(QString::number(t.elapsed())));
    }

    void doneIsSkippedForADeadContextAndRunsOnTheMainThread() {
        useScripted(200, validDevice);
        bool called = false;
        {
            QObject context;
            objects.api()->deviceInfo("123456789", &context, [&](Result<DeviceInfo>) { called = true; });
        }
        QTRY_COMPARE(scripted.requests().size(), 1);
        QTest::qWait(200);
        QVERIFY(!called);

        QThread *doneThread = nullptr;
        std::optional<DeviceInfo> result;
        QThread *worker = QThread::create([&] {
            objects.api()->deviceInfo("123456789", this, [&](Result<DeviceInfo> d) {
                doneThread = QThread::currentThread();
                result = d.value;
            });
        });
        worker->start();
        QVERIFY(worker->wait(5000));
        delete worker;
        QTRY_VERIFY(doneThread != nullptr);
        QCOMPARE(doneThread, QThread::currentThread());
        QVERIFY(result.has_value());
    }

    void againstTheRealServer() {
        config()->setServer(server.url());
        ScriptedPeer device;
        QVERIFY(device.registerAt(server.wsUrl("/ws/device"), "api-test-secret-0123456789", "Desk", "Linux"));
        const QString id = device.id();

        QCOMPARE(deviceInfo(id), std::optional<DeviceInfo>(DeviceInfo{id, "Desk", QString("Linux"), true}));
        QCOMPARE(deviceInfo("000000000"), std::nullopt);
        QCOMPARE(lastError, Error::make(Error::Kind::NotFound, "その端末 ID は登録されていません", 404));
        QCOMPARE(deviceThumb(id), std::nullopt);
        const QByteArray thumb = QByteArray("\x89PNG\r\n\x1A\n", 8) + "image";
        device.sendBinary(thumb);
        QTRY_COMPARE(deviceThumb(id), std::optional<QByteArray>(thumb));

        const auto ice = turnCredentials();
        QVERIFY(ice);
        QCOMPARE(ice->urls, QStringList{"turn:127.0.0.1:3478"});
        QVERIFY(ice->username && ice->username->endsWith(":velmo"));
        QVERIFY(ice->credential && !ice->credential->isEmpty());

        // Listing and deleting need the token; lookups do not.
        QCOMPARE(listDevices(), std::nullopt);
        QCOMPARE(deleteDevice(id), std::optional<bool>(false));
        config()->setAdminToken(" the-token ");
        const auto list = listDevices();
        QVERIFY(list);
        QVERIFY(list->contains(DeviceInfo{id, "Desk", QString("Linux"), true}));
        QCOMPARE(deleteDevice(id), std::optional<bool>(true));
        QCOMPARE(deleteDevice(id), std::optional<bool>(false));
        QCOMPARE(deviceInfo(id), std::nullopt);
    }
};

QTEST_MAIN(TestApi)
#include "tst_api.moc"

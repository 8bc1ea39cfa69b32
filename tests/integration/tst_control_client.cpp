// ControlClient against a real velmo-remote-host (and a misbehaving HTTP server
// for what a well-behaved agent never sends).
#include "HttpServer.h"
#include "agent/ControlClient.h"
#include "support/HostProcess.h"
#include "support/TestEnv.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>
#include <QTimer>

class TestControlClient : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void statusAndCommands();
    void httpErrorTexts();
    void transportFailure();
    void permissionAnswers();
    void eventsFollowChanges();
    void eventsRefusedStatus();
    void eventsFromMisbehavingServer();
    void contextDeathSuppressesDone();

private:
    ControlClient client() const { return ControlClient(m_host->port(), m_host->token()); }
    template <class T> Result<T> wait(std::function<void(QObject *, std::function<void(Result<T>)>)> op) {
        std::optional<Result<T>> out;
        op(this, [&](Result<T> r) { out = std::move(r); });
        [&] { QTRY_VERIFY_WITH_TIMEOUT(out.has_value(), 15000); }();
        return out.value_or(Result<T>::failure(ControlError::http(-1, "no answer")));
    }

    TestEnv m_env;
    std::unique_ptr<HostProcess> m_host;
};

void TestControlClient::initTestCase() {
    m_host = std::make_unique<HostProcess>(m_env.dataDir());
    QVERIFY(m_host->ok());
}

void TestControlClient::cleanupTestCase() {
    m_host.reset();
}

void TestControlClient::statusAndCommands() {
    const ControlClient c = client();
    QCOMPARE(c.url("/passcode/rotate").toString(),
             QStringLiteral("http://127.0.0.1:%1/passcode/rotate").arg(m_host->port()));
    auto s = wait<ControlStatus>([&](QObject *ctx, auto done) { c.status(ctx, done); });
    QVERIFY(s.ok());
    QCOMPARE(s.value->autoPasscode.size(), 6);
    const QString before = s.value->autoPasscode;

    auto r = wait<QByteArray>([&](QObject *ctx, auto done) { c.post("passcode/rotate", {}, ctx, done); });
    QVERIFY(r.ok());
    r = wait<QByteArray>([&](QObject *ctx, auto done) {
        c.post("quality", {{"fps", 24}, {"scale", 0.75}, {"kbps", 3000}}, ctx, done);
    });
    QVERIFY(r.ok());
    r = wait<QByteArray>([&](QObject *ctx, auto done) {
        c.post("controller/add", {{"label", "laptop"}, {"pub", "AAAAC3Nz"}}, ctx, done);
    });
    QVERIFY(r.ok());
    r = wait<QByteArray>([&](QObject *ctx, auto done) { c.post("passcode/mode", {{"mode", "both"}}, ctx, done); });
    QVERIFY(r.ok());
    r = wait<QByteArray>([&](QObject *ctx, auto done) {
        c.post("passcode/fixed", {{"passcode", "abc123"}}, ctx, done);
    });
    QVERIFY(r.ok());

    s = wait<ControlStatus>([&](QObject *ctx, auto done) { c.status(ctx, done); });
    QVERIFY(s.ok());
    QVERIFY(s.value->autoPasscode != before);
    QCOMPARE(s.value->fps, 24);
    QCOMPARE(s.value->scale, 0.75);
    QCOMPARE(s.value->kbps, 3000);
    QCOMPARE(s.value->controllers.size(), 1);
    QCOMPARE(s.value->controllers[0].label, QStringLiteral("laptop"));
    QCOMPARE(s.value->passcodeMode, QStringLiteral("both"));
    QVERIFY(s.value->hasFixed);
}

void TestControlClient::httpErrorTexts() {
    const ControlClient c = client();
    // A one-line body is shown as it is; an empty one gets the fixed text.
    QCOMPARE(m_host->post("test/respond", {{"path", "sharing"}, {"status", 409}, {"body", "  共有は変えられません\n"}}),
             200);
    auto r = wait<QByteArray>([&](QObject *ctx, auto done) { c.post("sharing", {{"on", false}}, ctx, done); });
    QVERIFY(!r.ok());
    QCOMPARE(r.error.kind, Error::Kind::Http);
    QCOMPARE(r.error.code, 409);
    QCOMPARE(r.error.message, QStringLiteral("共有は変えられません"));

    QCOMPARE(m_host->post("test/respond", {{"path", "status"}, {"status", 409}, {"body", ""}}), 200);
    auto s = wait<ControlStatus>([&](QObject *ctx, auto done) { c.status(ctx, done); });
    QVERIFY(!s.ok());
    QCOMPARE(s.error.message, QStringLiteral("エージェントがエラーを返しました(HTTP 409)"));

    // A 200 whose body is not a status object is an error too.
    QCOMPARE(m_host->post("test/respond", {{"path", "status"}, {"status", 200}, {"body", "[1]"}}), 200);
    s = wait<ControlStatus>([&](QObject *ctx, auto done) { c.status(ctx, done); });
    QVERIFY(!s.ok());
    QVERIFY(!s.error.message.isEmpty());

    // The wrong token: 401 with the agent's text.
    const ControlClient wrong(m_host->port(), "nope");
    s = wait<ControlStatus>([&](QObject *ctx, auto done) { wrong.status(ctx, done); });
    QVERIFY(!s.ok());
    QCOMPARE(s.error.code, 401);
    QVERIFY(!s.error.message.isEmpty());

    // The agent's own validation answers 400 with a reason.
    auto bad = wait<QByteArray>([&](QObject *ctx, auto done) { c.post("passcode/mode", {{"mode", "x"}}, ctx, done); });
    QCOMPARE(bad.error.code, 400);
    QVERIFY(!bad.error.message.isEmpty());
}

void TestControlClient::transportFailure() {
    // A port nobody listens on (a server that was just closed).
    quint16 port;
    {
        QTcpServer s;
        QVERIFY(s.listen(QHostAddress::LocalHost, 0));
        port = s.serverPort();
    }
    const ControlClient c(port, "t");
    auto s = wait<ControlStatus>([&](QObject *ctx, auto done) { c.status(ctx, done); });
    QVERIFY(!s.ok());
    QCOMPARE(s.error.kind, Error::Kind::Unreachable);
    // Said in the application's language, not Qt's "Connection refused".
    QCOMPARE(s.error.message, QStringLiteral("接続を拒否されました"));
}

void TestControlClient::permissionAnswers() {
    const ControlClient c = client();
    auto g = wait<bool>([&](QObject *ctx, auto done) { c.requestScreenPermission(ctx, done); });
    QVERIFY(g.ok());
    QCOMPARE(*g.value, true);
    QCOMPARE(m_host->post("test/perm", {{"grantInput", false}}), 200);
    g = wait<bool>([&](QObject *ctx, auto done) { c.requestInputPermission(ctx, done); });
    QVERIFY(g.ok());
    QCOMPARE(*g.value, false);
    // "granted" as a string, or a body that is not JSON: false, not an error.
    QCOMPARE(m_host->post("test/respond",
                          {{"path", "screen-permission"}, {"status", 200}, {"body", R"({"granted":"yes"})"}}),
             200);
    g = wait<bool>([&](QObject *ctx, auto done) { c.requestScreenPermission(ctx, done); });
    QVERIFY(g.ok());
    QCOMPARE(*g.value, false);
    QCOMPARE(m_host->post("test/respond", {{"path", "screen-permission"}, {"status", 200}, {"body", "granted"}}), 200);
    g = wait<bool>([&](QObject *ctx, auto done) { c.requestScreenPermission(ctx, done); });
    QVERIFY(g.ok());
    QCOMPARE(*g.value, false);
    QCOMPARE(m_host->post("test/respond", {{"path", "input-permission"}, {"status", 503}, {"body", "later"}}), 200);
    g = wait<bool>([&](QObject *ctx, auto done) { c.requestInputPermission(ctx, done); });
    QVERIFY(!g.ok());
    QCOMPARE(g.error.message, QStringLiteral("later"));
}

void TestControlClient::eventsFollowChanges() {
    const ControlClient c = client();
    QList<ControlStatus> got;
    std::optional<std::optional<Error>> ended;
    QPointer<ControlEventStream> stream = c.events(
        this, [&](const ControlStatus &s) { got.append(s); }, [&](std::optional<Error> e) { ended = e; });
    QTRY_COMPARE(got.size(), 1); // the state at connect
    QCOMPARE(m_host->post("test/ask", {{"sid", "ask1"}, {"name", "Tanaka"}, {"ip", "192.0.2.7"}}), 200);
    QTRY_VERIFY(!got.isEmpty() && got.last().asks.size() == 1);
    QCOMPARE(got.last().asks[0].name, QStringLiteral("Tanaka"));
    QCOMPARE(m_host->post("asks/answer", {{"sid", "ask1"}, {"ok", true}}), 200);
    QTRY_VERIFY(got.last().asks.isEmpty());
    QVERIFY(!ended);
    delete stream; // cancelling never calls done
    QTest::qWait(50);
    QVERIFY(!ended);
}

void TestControlClient::eventsRefusedStatus() {
    const ControlClient c = client();
    QCOMPARE(m_host->post("test/respond", {{"path", "events"}, {"status", 503}, {"body", "busy"}}), 200);
    std::optional<std::optional<Error>> ended;
    int count = 0;
    c.events(
        this, [&](const ControlStatus &) { ++count; }, [&](std::optional<Error> e) { ended = e; });
    QTRY_VERIFY(ended.has_value());
    QVERIFY(ended->has_value());
    QCOMPARE((*ended)->code, 503);
    // The body ("busy") is not read for the stream: the text names the status.
    QCOMPARE((*ended)->message, QStringLiteral("エージェントがエラーを返しました(HTTP 503)"));
    QCOMPARE(count, 0);
}

void TestControlClient::eventsFromMisbehavingServer() {
    HttpServer server;
    QVERIFY(server.listen());
    QPointer<HttpResponder> held;
    server.setHandler([&](const HttpRequest &req, HttpResponder *r) {
        if (req.header("authorization") != "Bearer tok") {
            r->respond(401);
            return;
        }
        r->beginStream(200, "text/event-stream");
        r->write("data:{\"id\":\"nospace\"}\n\ngarbage\xff\xfe\n");
        r->write("data: {\"id\":\"first\"}\r\n\r\n");
        r->write("data: {\"id\":");
        r->write("\"split\"}\n");
        held = r;
    });
    const ControlClient c(server.port(), "tok");
    QList<ControlStatus> got;
    std::optional<std::optional<Error>> ended;
    c.events(
        this, [&](const ControlStatus &s) { got.append(s); }, [&](std::optional<Error> e) { ended = e; });
    QTRY_COMPARE(got.size(), 2);
    QCOMPARE(got[0].id, QStringLiteral("first"));
    QCOMPARE(got[1].id, QStringLiteral("split"));
    // A flood of one endless line costs bounded memory and is skipped.
    const QByteArray mib(1024 * 1024, 'x');
    held->write("data: {\"id\":\"");
    for (int i = 0; i < 18; ++i) {
        // Paced by the reader: the server drops a peer that falls 8 MiB behind.
        QTRY_VERIFY(held && held->pendingBytes() < 2 * mib.size());
        QVERIFY(held->write(mib));
    }
    QVERIFY(held && held->write("\"}\ndata: {\"id\":\"after\"}\n"));
    QTRY_COMPARE_WITH_TIMEOUT(got.size(), 3, 10000);
    QCOMPARE(got[2].id, QStringLiteral("after"));
    // The server closing the stream is an ordinary end.
    held->abort();
    QTRY_VERIFY(ended.has_value());
}

void TestControlClient::contextDeathSuppressesDone() {
    const ControlClient c = client();
    QCOMPARE(m_host->post("test/stall", {{"path", "status"}}), 200);
    bool called = false;
    auto *ctx = new QObject;
    c.status(ctx, [&](Result<ControlStatus>) { called = true; });
    QTest::qWait(100);
    delete ctx;
    QTest::qWait(200);
    QVERIFY(!called);
    // The agent goes on answering.
    QCOMPARE(m_host->get("status"), 200);
}

QTEST_GUILESS_MAIN(TestControlClient)
#include "tst_control_client.moc"

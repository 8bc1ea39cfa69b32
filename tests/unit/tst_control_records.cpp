// Decoding rules and derived texts of the agent API records, and the event
// line parser, without any network.
#include "agent/ControlClient.h"
#include "agent/ControlEndpoint.h"
#include "agent/ControlError.h"
#include "protocol/agent/ControlJson.h"
#include "protocol/agent/ControlStatus.h"

#include <QDateTime>
#include <QRandomGenerator>
#include <QTest>

class TestControlRecords : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void emptyStatusHasDefaults();
    void snakeAndCamelKeys();
    void wrongTypesTakeDefaults();
    void badListElementEmptiesList();
    void strictRecords();
    void topLevelMustBeObject();
    void endpointIsStrict();
    void endpointFileLimits();
    void derivedTexts();
    void controllerSummary();
    void errorTexts();
    void eventLines();
    void eventLineSplitAnywhere();
    void eventOverlongLineSkipped();
    void snakeToCamelRule();
    void hostileInputNeverCrashes();
};

void TestControlRecords::emptyStatusHasDefaults() {
    const auto s = ControlStatus::decode("{}");
    QVERIFY(s);
    QCOMPARE(s->passcodeMode, QStringLiteral("auto"));
    QCOMPARE(s->scale, 1.0);
    QVERIFY(s->noticeBar);
    QVERIFY(s->allowAsk);
    QCOMPARE(s->inputPerm, QStringLiteral("unneeded"));
    QCOMPARE(s->screenPerm, QStringLiteral("unneeded"));
    QCOMPARE(s->audioSource, QStringLiteral("system"));
    QVERIFY(!s->eulaRequired);
    QVERIFY(s->sessions.isEmpty() && s->asks.isEmpty() && s->monitors.isEmpty() && s->controllers.isEmpty());
    QCOMPARE(*s, ControlStatus());
}

void TestControlRecords::snakeAndCamelKeys() {
    const auto s = ControlStatus::decode(R"({"auto_passcode":"123456","passcodeMode":"both","has_fixed":true,
        "audio_on":true,"notice_bar":false,"eula_required":{"version":"2","hash":"h","body":"# T"},
        "sessions":[{"sid":"a1","info":{"app":"Velmo","ver":"1.2"},"since":1700000000123}],
        "input_perm":"denied","screenPerm":"denied","allow_ask":false,"backend":"wlroots",
        "screen_error":"why","unattended":true})");
    QVERIFY(s);
    QCOMPARE(s->autoPasscode, QStringLiteral("123456"));
    QCOMPARE(s->passcodeMode, QStringLiteral("both"));
    QVERIFY(s->hasFixed);
    QVERIFY(s->audioOn);
    QVERIFY(!s->noticeBar);
    QVERIFY(!s->allowAsk);
    QVERIFY(s->eulaRequired);
    QCOMPARE(s->eulaRequired->body, QStringLiteral("# T"));
    QCOMPARE(s->sessions.size(), 1);
    QCOMPARE(s->sessions[0].since, Q_INT64_C(1700000000123));
    QVERIFY(s->sessions[0].info);
    QCOMPARE(s->sessions[0].info->line(), QStringLiteral("Velmo · v1.2"));
    QCOMPARE(s->inputPerm, QStringLiteral("denied"));
    QCOMPARE(s->screenPerm, QStringLiteral("denied"));
    QCOMPARE(s->backend, QStringLiteral("wlroots"));
    QCOMPARE(s->screenError, QStringLiteral("why"));
    QVERIFY(s->unattended);
    // Left out (an older agent): not unattended.
    QVERIFY(!ControlStatus::decode("{}")->unattended);
}

void TestControlRecords::wrongTypesTakeDefaults() {
    const auto s = ControlStatus::decode(
        R"({"id":5,"sharing":"yes","fps":2.5,"kbps":1e12,"scale":"big","noticeBar":null,"name":"ok",
            "sessions":[{"sid":"x","input":"no","since":"now","authed":1}],"eulaRequired":{"version":"1"}})");
    QVERIFY(s);
    QCOMPARE(s->id, QString());
    QVERIFY(!s->sharing);
    QCOMPARE(s->fps, 0);
    QCOMPARE(s->kbps, 0);
    QCOMPARE(s->scale, 1.0);
    QVERIFY(s->noticeBar);
    QCOMPARE(s->name, QStringLiteral("ok"));
    QCOMPARE(s->sessions.size(), 1);
    QVERIFY(s->sessions[0].input);
    QCOMPARE(s->sessions[0].since, 0);
    QVERIFY(!s->sessions[0].authed);
    QVERIFY(!s->eulaRequired); // strict record with keys missing: absent
}

void TestControlRecords::badListElementEmptiesList() {
    const auto s = ControlStatus::decode(
        R"({"monitors":[{"id":1}],"asks":[{"sid":"a","name":"n","ip":"1","at":1},{"sid":"b"}],
            "controllers":[{"pub":"k"},5],"sessions":[{"sid":"s"},"x"]})");
    QVERIFY(s);
    QVERIFY(s->monitors.isEmpty());
    QVERIFY(s->asks.isEmpty());
    QVERIFY(s->controllers.isEmpty());
    QVERIFY(s->sessions.isEmpty());
}

void TestControlRecords::strictRecords() {
    const auto s = ControlStatus::decode(
        R"({"monitors":[{"id":0,"name":"A","w":1920,"h":1080,"primary":true},{"id":1,"name":"B","w":800,"h":600,"primary":false}],
            "asks":[{"sid":"a","name":"n","ip":"10.0.0.1","at":17}]})");
    QVERIFY(s);
    QCOMPARE(s->monitors.size(), 2);
    QCOMPARE(s->monitors[1].w, 800);
    QVERIFY(s->monitors[0].primary);
    QCOMPARE(s->asks.size(), 1);
    QCOMPARE(s->asks[0].at, 17);
    // Equality covers every field.
    auto t = *s;
    QCOMPARE(t, *s);
    t.monitors[1].primary = true;
    QVERIFY(!(t == *s));
}

void TestControlRecords::topLevelMustBeObject() {
    QVERIFY(!ControlStatus::decode("[]"));
    QVERIFY(!ControlStatus::decode("nonsense"));
    QVERIFY(!ControlStatus::decode(""));
    QVERIFY(!ControlStatus::decode("{\"id\":"));
}

void TestControlRecords::endpointIsStrict() {
    const auto ok = ControlEndpoint::decode(R"({"port":4000,"token":"t","pid":42})");
    QVERIFY(ok);
    QCOMPARE(ok->port, 4000);
    QCOMPARE(ok->pid, 42);
    QVERIFY(!ControlEndpoint::decode(R"({"port":4000,"pid":42})"));                     // no token
    QVERIFY(!ControlEndpoint::decode(R"({"port":"4000","token":"t","pid":42})"));       // wrong type
    QVERIFY(!ControlEndpoint::decode(R"({"port":4000,"token":"t","pid":4294967296})")); // not 32-bit
    QVERIFY(!ControlEndpoint::decode(R"({"Port":4000,"token":"t","pid":42})"));         // keys exact
    QVERIFY(!ControlEndpoint::decode(R"({"port":4000,"token":"t","p)"));                // truncated
    QVERIFY(!ControlEndpoint::decode(R"({"port":4000,"token":"t","pid":1.5})"));
}

void TestControlRecords::endpointFileLimits() {
    QTemporaryDir dir;
    const QString path = dir.filePath("control.json");
    QVERIFY(!ControlEndpoint::read(path));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(R"({"port":1,"token":")" + QByteArray(70 * 1024, 'a') + R"(","pid":3})");
    f.close();
    QVERIFY(!ControlEndpoint::read(path)); // hostile size
}

void TestControlRecords::derivedTexts() {
    ControlViewerInfo info{"Velmo Remote", "macOS 14", "", "1920x1080", ""};
    QCOMPARE(info.line(), QStringLiteral("Velmo Remote · macOS 14 · 1920x1080"));
    QCOMPARE(ControlViewerInfo().line(), QString());

    ControlSession s;
    QCOMPARE(s.detail(), QString());
    // A viewer's microphone is heard only once the host gives the right; an older agent never says.
    QVERIFY(!s.mic);
    QVERIFY(!ControlSession::fromJson(QJsonObject{{"sid", "s1"}})->mic);
    s.ip = "10.1.2.3";
    s.viewer = "123456789";
    QCOMPARE(s.detail(), QStringLiteral("IP 10.1.2.3  ID 123456789"));
    s.info = ControlViewerInfo{"", "", "", "", "3"};
    QCOMPARE(s.detail(), QStringLiteral("v3  IP 10.1.2.3  ID 123456789"));
    s.info = ControlViewerInfo();
    QCOMPARE(s.detail(), QStringLiteral("IP 10.1.2.3  ID 123456789"));
}

void TestControlRecords::controllerSummary() {
    ControlController c;
    c.pub = "ABCDEFGHIJKL";
    QCOMPARE(c.summary(), QStringLiteral("ABCDEFGHIJKL"));
    c.pub = "ABCDEFGHIJKLM";
    QCOMPARE(c.summary(), QStringLiteral("ABCDEFGHIJKL..."));
    c.added = 1700000000;
    const QString date = QDateTime::fromSecsSinceEpoch(1700000000).toLocalTime().date().toString("yyyy-MM-dd");
    QCOMPARE(c.summary(), QStringLiteral("ABCDEFGHIJKL...  ") + date);
    c.added = std::numeric_limits<qint64>::max(); // no overflow, some date
    QVERIFY(c.summary().startsWith(QStringLiteral("ABCDEFGHIJKL...  ")));
}

void TestControlRecords::errorTexts() {
    QCOMPARE(ControlError::http(409, "既に使われています").message, QStringLiteral("既に使われています"));
    QCOMPARE(ControlError::http(409, "").message, QStringLiteral("エージェントがエラーを返しました(HTTP 409)"));
    QCOMPARE(ControlError::notReady().message, QStringLiteral("エージェントがまだ起動していません"));
}

namespace {
struct Collector {
    QList<ControlStatus> got;
    std::unique_ptr<ControlEventStream> stream;
    Collector() {
        stream = std::make_unique<ControlEventStream>(
            nullptr, [this](const ControlStatus &s) { got.append(s); }, [](std::optional<Error>) {}, nullptr);
    }
};
} // namespace

void TestControlRecords::eventLines() {
    Collector c;
    c.stream->feed("data:{\"id\":\"nospace\"}\n"
                   ": comment\n"
                   "\n"
                   "event: status\n"
                   "data: {\"id\":\"one\"}\r\n"
                   "data: not json\n"
                   "data: [1,2]\n"
                   "data: {\"id\":\"two\",\"sharing\":true}\n");
    QCOMPARE(c.got.size(), 2);
    QCOMPARE(c.got[0].id, QStringLiteral("one"));
    QCOMPARE(c.got[1].id, QStringLiteral("two"));
    QVERIFY(c.got[1].sharing);
}

void TestControlRecords::eventLineSplitAnywhere() {
    const QByteArray text = "data: {\"id\":\"名前\"}\ndata: {\"name\":\"端末\"}\n";
    for (int step : {1, 2, 3, 7}) {
        Collector c;
        for (qsizetype i = 0; i < text.size(); i += step)
            c.stream->feed(text.mid(i, step));
        QCOMPARE(c.got.size(), 2);
        QCOMPARE(c.got[0].id, QStringLiteral("名前"));
        QCOMPARE(c.got[1].name, QStringLiteral("端末"));
    }
}

void TestControlRecords::eventOverlongLineSkipped() {
    Collector c;
    const QByteArray chunk(1024 * 1024, 'x');
    c.stream->feed("data: {\"id\":\"");
    for (int i = 0; i < 17; ++i)
        c.stream->feed(chunk);
    c.stream->feed("\"}\ndata: {\"id\":\"after\"}\n");
    QCOMPARE(c.got.size(), 1);
    QCOMPARE(c.got[0].id, QStringLiteral("after"));
}

void TestControlRecords::snakeToCamelRule() {
    using ControlJson::snakeToCamel;
    QCOMPARE(snakeToCamel("auto_passcode"), QStringLiteral("autoPasscode"));
    QCOMPARE(snakeToCamel("autoPasscode"), QStringLiteral("autoPasscode"));
    QCOMPARE(snakeToCamel("_id"), QStringLiteral("_id"));
    QCOMPARE(snakeToCamel("a__b_"), QStringLiteral("aB_"));
    QCOMPARE(snakeToCamel("___"), QStringLiteral("___"));
    QCOMPARE(snakeToCamel("EULA_required"), QStringLiteral("eulaRequired"));
}

void TestControlRecords::hostileInputNeverCrashes() {
    const QByteArray valid =
        R"({"id":"123456789","sessions":[{"sid":"a","info":{"app":"x"},"since":5}],"monitors":[{"id":1,"name":"m",)"
        R"("w":1,"h":2,"primary":true}],"asks":[{"sid":"q","name":"n","ip":"i","at":1}],"eula_required":)"
        R"({"version":"1","hash":"h","body":"b"},"controllers":[{"pub":"p","added":3}]})";
    QVERIFY(ControlStatus::decode(valid));
    // No strict prefix of an object's text is a status.
    for (qsizetype n = 0; n < valid.size(); ++n)
        QVERIFY2(!ControlStatus::decode(valid.left(n)), valid.left(n).constData());
    // Random byte changes: decoded or refused, never a crash; both outcomes occur.
    QRandomGenerator rng(1234);
    int decoded = 0, refused = 0;
    for (int i = 0; i < 3000; ++i) {
        QByteArray m = valid;
        const int edits = 1 + int(rng.bounded(4));
        for (int e = 0; e < edits; ++e)
            m[rng.bounded(int(m.size()))] = char(rng.bounded(256));
        (ControlStatus::decode(m) ? decoded : refused)++;
        ControlEndpoint::decode(m);
    }
    QVERIFY(decoded > 0);
    QVERIFY(refused > 0);
    // Deep nesting is refused by the parser, not a stack overflow.
    QVERIFY(!ControlStatus::decode(QByteArray(100000, '[') + QByteArray(100000, ']')));
}

QTEST_GUILESS_MAIN(TestControlRecords)
#include "tst_control_records.moc"

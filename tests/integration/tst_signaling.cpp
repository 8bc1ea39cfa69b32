// The signaling client against a scripted WebSocket server (greeting withheld, noise,
// closes) and against the real velmo-rendezvous with a scripted device.
#include "config/AppConfig.h"
#include "config/Paths.h"
#include "rendezvous/Signaling.h"
#include "rendezvous/SignalingFrame.h"
#include "support/RendezvousProcess.h"
#include "support/ScriptedPeer.h"
#include "support/TestEnv.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QWebSocket>
#include <QWebSocketServer>

using Err = Signaling::ConnectError;

namespace {

// A WebSocket server whose behaviour the test scripts: greet or not, say what, close.
class ScriptedWsServer : public QObject {
    Q_OBJECT
public:
    QWebSocketServer server{QStringLiteral("scripted"), QWebSocketServer::NonSecureMode};
    QList<QPointer<QWebSocket>> sockets;
    QStringList paths;
    QList<int> closeCodes;
    QStringList received;
    bool greet = true;
    QJsonObject greeting{{"type", "hello"}, {"id", "me-1"}};

    ScriptedWsServer() {
        QObject::connect(&server, &QWebSocketServer::newConnection, this, [this] {
            while (QWebSocket *s = server.nextPendingConnection()) {
                sockets.append(s);
                paths.append(s->requestUrl().path());
                QObject::connect(s, &QWebSocket::textMessageReceived, this,
                                 [this](const QString &t) { received.append(t); });
                QObject::connect(s, &QWebSocket::disconnected, this, [this, s] {
                    closeCodes.append(s->closeCode());
                    s->deleteLater();
                });
                if (greet)
                    sendText(QJsonDocument(greeting).toJson(QJsonDocument::Compact));
            }
        });
    }
    ~ScriptedWsServer() override {
        // The lists above die before the sockets' last signals: stop listening to them first.
        server.disconnect(this);
        for (const QPointer<QWebSocket> &s : std::as_const(sockets)) {
            if (s) {
                s->disconnect(this);
                s->abort();
                delete s.data();
            }
        }
    }
    bool listen() { return server.listen(QHostAddress::LocalHost, 0); }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort()); }
    QWebSocket *last() const { return sockets.isEmpty() ? nullptr : sockets.last().data(); }
    void sendText(const QString &text) {
        if (QWebSocket *s = last())
            s->sendTextMessage(text);
    }
    void send(const QJsonObject &o) { sendText(QJsonDocument(o).toJson(QJsonDocument::Compact)); }
};

// Collects the results of connect() calls with the time they arrived.
struct Results {
    QElapsedTimer clock;
    QList<std::optional<Err>> errors;
    QList<qint64> at;
    Results() { clock.start(); }
    std::function<void(Err)> next() {
        const qsizetype i = errors.size();
        errors.append(std::nullopt);
        at.append(-1);
        return [this, i](Err e) {
            errors[i] = e;
            at[i] = clock.elapsed();
        };
    }
    bool done(qsizetype i) const { return errors.value(i).has_value(); }
};

} // namespace

class TestSignaling : public QObject {
    Q_OBJECT

    TestEnv env;
    AppConfig config{Paths::settingsFile()};
    std::unique_ptr<ScriptedWsServer> ws;

private Q_SLOTS:
    void init() {
        ws = std::make_unique<ScriptedWsServer>();
        QVERIFY(ws->listen());
        config.setServer(ws->url());
    }
    void cleanup() { ws.reset(); }

    void socketUrlRule() {
        QCOMPARE(Signaling::socketUrlString("http://127.0.0.1:8787"), QString("ws://127.0.0.1:8787/ws/viewer"));
        QCOMPARE(Signaling::socketUrlString("https://rv.example.org"), QString("wss://rv.example.org/ws/viewer"));
        QCOMPARE(Signaling::socketUrlString("ws://h"), QString("ws://h/ws/viewer"));
        QCOMPARE(Signaling::socketUrlString("HTTP://h"), QString("HTTP://h/ws/viewer")); // case-sensitive
        QCOMPARE(Signaling::socketUrlString("http://h/"), QString("ws://h//ws/viewer"));
    }

    void frameVerdicts_data() {
        using K = SignalingFrame::Kind;
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("sid");
        QTest::addColumn<QString>("id"); // "<none>": no string id
        QTest::newRow("greeting") << R"({"type":"hello","id":"123"})" << int(K::Hello) << ""
                                  << "123";
        QTest::newRow("greeting beats sid") << R"({"type":"hello","sid":"s","id":"1"})" << int(K::Hello) << ""
                                            << "1";
        QTest::newRow("greeting with numeric id") << R"({"type":"hello","id":123})" << int(K::Hello) << ""
                                                  << "<none>";
        QTest::newRow("type is case-sensitive") << R"({"type":"Hello","sid":"s"})" << int(K::Routed) << "s"
                                                << "<none>";
        QTest::newRow("empty sid still routes") << R"({"sid":""})" << int(K::Routed) << ""
                                                << "<none>";
        QTest::newRow("sid null") << R"({"type":"answer","sid":null})" << int(K::Noise) << ""
                                  << "<none>";
        QTest::newRow("trailing bytes") << R"({"sid":"s"} x)" << int(K::Noise) << ""
                                        << "<none>";
        QTest::newRow("array") << R"([{"sid":"s"}])" << int(K::Noise) << ""
                               << "<none>";
    }
    void frameVerdicts() {
        QFETCH(QString, text);
        QFETCH(int, kind);
        QFETCH(QString, sid);
        QFETCH(QString, id);
        const SignalingFrame f = SignalingFrame::parse(text);
        QCOMPARE(int(f.kind), kind);
        QCOMPARE(f.sid, sid);
        QCOMPARE(f.id.value_or("<none>"), id);
        if (f.kind == SignalingFrame::Kind::Noise)
            QVERIFY(f.message.isEmpty());
        else
            QCOMPARE(f.message, QJsonDocument::fromJson(text.toUtf8()).object()); // handed on whole
    }

    void aServerValueThatIsNoUrlFailsWithBadUrl() {
        for (const QString bad : {"", "not a url", "http://"}) {
            config.setServer(bad);
            Signaling s(&config);
            Results r;
            s.connectWithError(this, r.next());
            QTRY_VERIFY(r.done(0));
            QCOMPARE(r.errors[0], Err::BadUrl);
            QVERIFY(!s.hasSocket());
            QVERIFY(!s.online());
        }
        QCOMPARE(ws->sockets.size(), 0);
    }

    void twoConnectsBeforeTheGreetingShareOneSocket() {
        ws->greet = false;
        Signaling s(&config);
        QSignalSpy onlineSpy(&s, &Signaling::onlineChanged);
        Results r;
        s.connectWithError(this, r.next());
        s.connectWithError(this, r.next());
        QTRY_COMPARE(ws->sockets.size(), 1);
        QTest::qWait(200);
        QCOMPARE(ws->sockets.size(), 1);
        QCOMPARE(ws->paths, QStringList{"/ws/viewer"});
        QVERIFY(!r.done(0) && !r.done(1));
        QVERIFY(!s.online());

        ws->send(QJsonObject{{"type", "hello"}, {"id", "viewer-7"}});
        QTRY_VERIFY(r.done(0) && r.done(1));
        QCOMPARE(r.errors[0], Err::None);
        QCOMPARE(r.errors[1], Err::None);
        QVERIFY(s.online());
        QCOMPARE(s.myId(), QString("viewer-7"));
        QCOMPARE(onlineSpy.size(), 1);

        // Already greeted: at once, no traffic.
        bool ok = false;
        s.connect(this, [&](bool v) { ok = v; });
        QTRY_VERIFY(ok);
        QTest::qWait(100);
        QCOMPARE(ws->sockets.size(), 1);
        QVERIFY(ws->received.isEmpty());
    }

    void aServerThatNeverGreetsFailsTheOldestWaiterAfterTenSeconds() {
        ws->greet = false;
        Signaling s(&config);
        Results r;
        s.connectWithError(this, r.next());
        QTest::qWait(2000);
        s.connectWithError(this, r.next());
        QTRY_VERIFY_WITH_TIMEOUT(r.done(0), 12000);
        QCOMPARE(r.errors[0], Err::TimedOut);
        QVERIFY2(r.at[0] >= 9900 && r.at[0] < 11500, qPrintable(QString::number(r.at[0])));
        // The second waiter fails with it, through the reset, not after its own ten seconds.
        QVERIFY(r.done(1));
        QCOMPARE(r.errors[1], Err::ConnectionLost);
        QVERIFY(qAbs(r.at[1] - r.at[0]) < 100);
        QVERIFY(!s.hasSocket());
        QTRY_COMPARE(ws->closeCodes, QList<int>{1001});

        // The second call's own check fires later and finds nothing to do.
        QTest::qWait(2100);
        QCOMPARE(ws->sockets.size(), 1);

        // A caller that tries again from its timed-out completion gets a new socket.
        Results again;
        std::function<void(Err)> retry = again.next();
        std::function<void(Err)> second = again.next();
        s.connectWithError(this, [&](Err e) {
            retry(e);
            ws->greet = true;
            s.connectWithError(this, second);
        });
        QTRY_VERIFY_WITH_TIMEOUT(again.done(1), 12000);
        QCOMPARE(again.errors[0], Err::TimedOut);
        QCOMPARE(again.errors[1], Err::None);
        QCOMPARE(ws->sockets.size(), 3); // the timed-out one and the retry's own
        QVERIFY(s.online());
    }

    void aGreetingWithoutIdSucceedsButTheNextConnectWaitsForAnother() {
        ws->greeting = QJsonObject{{"type", "hello"}};
        Signaling s(&config);
        Results r;
        s.connectWithError(this, r.next());
        QTRY_VERIFY(r.done(0));
        QCOMPARE(r.errors[0], Err::None);
        QVERIFY(s.online());
        QVERIFY(!s.hasMyId());

        s.connectWithError(this, r.next());
        QTest::qWait(500);
        QVERIFY(!r.done(1));
        QCOMPARE(ws->sockets.size(), 1); // same socket, waiting for a greeting
        QTRY_VERIFY_WITH_TIMEOUT(r.done(1), 12000);
        QCOMPARE(r.errors[1], Err::TimedOut);
        QVERIFY(!s.online());
        QVERIFY(!s.hasSocket());
    }

    void noiseIsIgnoredAndMessagesAreRoutedBySid() {
        ws->greet = false;
        Signaling s(&config);
        Results r;
        s.connectWithError(this, r.next());
        QTRY_COMPARE(ws->sockets.size(), 1);
        for (const QString noise : {"garbage", "[1,2]", "\"hello\"", "42", R"({"type":5,"id":"x"})",
                                    R"({"type":"answer","sid":"nobody"})", R"({"sid":7})"})
            ws->sendText(noise);
        ws->last()->sendBinaryMessage(R"({"type":"hello","id":"binary"})");
        QTest::qWait(200);
        QVERIFY(!r.done(0));
        QVERIFY(s.hasSocket());
        ws->send(QJsonObject{{"type", "hello"}, {"id", "me"}});
        QTRY_VERIFY(r.done(0));
        QCOMPARE(r.errors[0], Err::None);
        QCOMPARE(s.myId(), QString("me"));

        QList<QJsonObject> got;
        QObject context;
        s.setHandler("ab12cd34", &context, [&](const QJsonObject &m) { got.append(m); });
        const QJsonObject answer{{"type", "answer"}, {"sid", "ab12cd34"}, {"payload", QJsonObject{{"sdp", "x"}}}};
        ws->send(answer);
        ws->send(QJsonObject{{"type", "answer"}, {"sid", "someone-else"}});
        ws->send(QJsonObject{{"type", "answer"}, {"payload", QJsonObject{}}});
        ws->send(QJsonObject{{"type", "ice"}, {"sid", 12345678}});
        QTRY_COMPARE(got.size(), 1);
        QTest::qWait(100);
        QCOMPARE(got, QList<QJsonObject>{answer});

        // A handler may remove itself while it runs.
        int calls = 0;
        s.setHandler("self", &context, [&](const QJsonObject &) {
            ++calls;
            s.removeHandler("self");
        });
        ws->send(QJsonObject{{"type", "bye"}, {"sid", "self"}});
        ws->send(QJsonObject{{"type", "bye"}, {"sid", "self"}});
        QTRY_COMPARE(calls, 1);
        QTest::qWait(100);
        QCOMPARE(calls, 1);
        QVERIFY(!s.hasHandler("self"));

        // A handler whose owner is gone is not called.
        bool called = false;
        {
            QObject gone;
            s.setHandler("gone", &gone, [&](const QJsonObject &) { called = true; });
        }
        ws->send(QJsonObject{{"type", "bye"}, {"sid", "gone"}});
        QTest::qWait(200);
        QVERIFY(!called);
        QVERIFY(!s.hasHandler("gone"));

        // send(): one compact JSON text frame; also from a worker thread.
        s.send(QJsonObject{{"type", "bye"}, {"to", "123456789"}, {"sid", "ab12cd34"}});
        QThread *worker = QThread::create([&] { s.send(QJsonObject{{"type", "ice"}, {"sid", "w"}}); });
        worker->start();
        QVERIFY(worker->wait(5000));
        delete worker;
        QTRY_COMPARE(ws->received.size(), 2);
        QCOMPARE(QJsonDocument::fromJson(ws->received[0].toUtf8()).object(),
                 (QJsonObject{{"type", "bye"}, {"to", "123456789"}, {"sid", "ab12cd34"}}));
        QCOMPARE(QJsonDocument::fromJson(ws->received[1].toUtf8()).object()["sid"].toString(), QString("w"));
    }

    void aServerCloseGoesOfflineAndTheNextConnectOpensANewSocket() {
        Signaling s(&config);
        Results r;
        s.connectWithError(this, r.next());
        QTRY_VERIFY(r.done(0));
        QVERIFY(s.online());
        QObject context;
        s.setHandler("kept", &context, [](const QJsonObject &) {});

        ws->last()->close(QWebSocketProtocol::CloseCodeNormal);
        QTRY_VERIFY(!s.online());
        QVERIFY(!s.hasMyId());
        QVERIFY(!s.hasSocket());
        QVERIFY(s.hasHandler("kept"));                         // sessions stay registered across a reset
        s.send(QJsonObject{{"type", "bye"}, {"sid", "kept"}}); // no socket: dropped

        s.connectWithError(this, r.next());
        QTRY_VERIFY(r.done(1));
        QCOMPARE(r.errors[1], Err::None);
        QCOMPARE(ws->sockets.size(), 2);
        QVERIFY(s.online());

        // A message beyond the size limit ends the connection instead of being buffered.
        ws->sendText(QString(Signaling::maxIncomingBytes + 1024, u'x'));
        QTRY_VERIFY(!s.online());

        // The server goes away entirely while a waiter is pending.
        ws->greet = false;
        s.connectWithError(this, r.next());
        QTRY_COMPARE(ws->sockets.size(), 3);
        ws.reset();
        QTRY_VERIFY(r.done(2));
        QCOMPARE(r.errors[2], Err::ConnectionLost);
    }

    void nothingListening() {
        ws->server.close();
        Signaling s(&config);
        Results r;
        s.connectWithError(this, r.next());
        QTRY_VERIFY(r.done(0));
        QCOMPARE(r.errors[0], Err::ConnectionLost);
        QVERIFY(!s.hasSocket());
        QVERIFY(!Signaling::errorDescription(Err::ConnectionLost).isEmpty());

        // A scheme the socket cannot speak fails as quickly, not after the greeting wait.
        config.setServer("ftp://127.0.0.1:1");
        QElapsedTimer t;
        t.start();
        s.connectWithError(this, r.next());
        QTRY_VERIFY(r.done(1));
        QCOMPARE(r.errors[1], Err::ConnectionLost);
        QVERIFY2(t.elapsed() < 5000, qPrintable(QString::number(t.elapsed())));
        QVERIFY(!s.hasSocket());
    }

    void relayThroughTheRealServer() {
        RendezvousProcess server;
        QVERIFY(server.start());
        config.setServer(server.url());
        Signaling s(&config);
        Results r;
        s.connectWithError(this, r.next());
        QTRY_VERIFY(r.done(0));
        QCOMPARE(r.errors[0], Err::None);
        QVERIFY(s.myId().startsWith('v'));

        ScriptedPeer device;
        QVERIFY(device.registerAt(server.wsUrl("/ws/device"), "signaling-test-secret-1234", "Desk"));
        QList<QJsonObject> got;
        QObject context;
        s.setHandler("ab12cd34", &context, [&](const QJsonObject &m) { got.append(m); });
        s.send(QJsonObject{
            {"type", "connect"}, {"to", device.id()}, {"sid", "ab12cd34"}, {"payload", QJsonObject{{"sdp", "offer"}}}});
        const auto offer = device.take("connect", "ab12cd34");
        QVERIFY(offer);
        QCOMPARE(offer->value("from").toString(), s.myId());
        device.send(QJsonObject{{"type", "answer"}, {"sid", "ab12cd34"}, {"payload", QJsonObject{{"sdp", "answer"}}}});
        QTRY_COMPARE(got.size(), 1);
        QCOMPARE(got[0]["type"].toString(), QString("answer"));
        QCOMPARE(got[0]["payload"].toObject()["sdp"].toString(), QString("answer"));

        s.setHandler("nobody", &context, [&](const QJsonObject &m) { got.append(m); });
        s.send(QJsonObject{{"type", "connect"}, {"to", "999999999"}, {"sid", "nobody"}, {"payload", QJsonObject{}}});
        QTRY_COMPARE(got.size(), 2);
        QCOMPARE(got[1]["type"].toString(), QString("error"));
        QCOMPARE(got[1]["error"].toString(), QString("端末が見つからないか、オフラインです"));

        server.kill();
        QTRY_VERIFY(!s.online());
    }
};

QTEST_GUILESS_MAIN(TestSignaling)
#include "tst_signaling.moc"

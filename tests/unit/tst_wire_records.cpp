#include "config/Quality.h"
#include "protocol/DeviceInfo.h"
#include "protocol/PasscodeProof.h"
#include "protocol/agent/ControlSessionLink.h"
#include "protocol/agent/ControlStatus.h"
#include "protocol/ctrl/ApprovalWaitMessage.h"
#include "protocol/ctrl/AudioStateMessage.h"
#include "protocol/ctrl/AuthFailMessage.h"
#include "protocol/ctrl/AuthMessage.h"
#include "protocol/ctrl/AuthOkMessage.h"
#include "protocol/ctrl/ChallengeMessage.h"
#include "protocol/ctrl/CtrlMessage.h"
#include "protocol/ctrl/CursorMessage.h"
#include "protocol/ctrl/FrameAckMessage.h"
#include "protocol/ctrl/LockedMessage.h"
#include "protocol/ctrl/PermMessage.h"
#include "protocol/ctrl/PingMessage.h"
#include "protocol/ctrl/PongMessage.h"
#include "protocol/ctrl/QualityRequest.h"
#include "protocol/ctrl/SelectMessage.h"
#include "protocol/ctrl/StatsMessage.h"
#include "protocol/ctrl/StillMessage.h"
#include "protocol/ctrl/ViewerIntroduction.h"
#include "protocol/ctrl/WindowEndMessage.h"
#include "protocol/ctrl/WindowMessage.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <QTest>

#include <cmath>
#include <limits>

// The records both ends build and read their messages with: what one end writes, the
// other reads back to the same value, through the text that crosses the wire.
class TestWireRecords : public QObject {
    Q_OBJECT

    // The object as the other end gets it: serialized and parsed again.
    static QJsonObject overTheWire(const QJsonObject &o) {
        const std::optional<QJsonObject> back = CtrlMessage::parse(QJsonDocument(o).toJson(QJsonDocument::Compact));
        return back.value_or(QJsonObject());
    }
    template <typename M> static M roundTrip(const M &m) {
        const QJsonObject wire = overTheWire(m.toJson());
        if (!CtrlMessage::is<M>(wire))
            qWarning() << "tag lost:" << wire;
        return M::fromJson(wire);
    }

private Q_SLOTS:
    void everyTagIsOneRecordsAndDistinct() {
        const QList<QLatin1StringView> tags{
            ApprovalWaitMessage::tag, AudioStateMessage::tag, AuthFailMessage::tag, AuthMessage::tag,
            AuthOkMessage::tag,       ChallengeMessage::tag,  CursorMessage::tag,   FrameAckMessage::tag,
            LockedMessage::tag,       PermMessage::tag,       PingMessage::tag,     PongMessage::tag,
            QualityRequest::tag,      SelectMessage::tag,     StatsMessage::tag,    StillMessage::tag,
            ViewerIntroduction::tag,  WindowMessage::tag,     WindowEndMessage::tag};
        QSet<QString> seen;
        for (QLatin1StringView t : tags)
            seen.insert(QString(t));
        QCOMPARE(seen.size(), tags.size());
        QCOMPARE(CtrlMessage::tagOf(QJsonObject{{"t", 5}}), QString());
        QCOMPARE(CtrlMessage::tagOf(QJsonObject{}), QString());
        QVERIFY(!CtrlMessage::parse("[1]"));
        QVERIFY(!CtrlMessage::parse("{"));
    }

    void authenticationRoundTrips() {
        ChallengeMessage c{QByteArray(16, 'n'), QByteArray(16, 'a'), QByteArray(16, 'f'), QStringLiteral("AB:CD"),
                           5000};
        QCOMPARE(ChallengeMessage::fromJson(overTheWire(c.toJson())), c);
        c.hostFp.reset();
        QCOMPARE(ChallengeMessage::fromJson(overTheWire(c.toJson())), c);
        // Without a count the viewer works with the usual one; a hostile count is kept as none.
        QJsonObject wire = c.toJson();
        wire.remove(ChallengeMessage::itersKey);
        QCOMPARE(ChallengeMessage::fromJson(wire)->iters, PasscodeProof::defaultIterations);
        wire.insert(ChallengeMessage::itersKey, double(PasscodeProof::maxIters) + 1);
        QCOMPARE(ChallengeMessage::fromJson(wire)->iters, std::nullopt);
        wire.insert(QStringLiteral("nonce"), QStringLiteral("***"));
        QVERIFY(!ChallengeMessage::fromJson(wire));

        QCOMPARE(roundTrip(AuthMessage{QStringLiteral("proof-a"), QStringLiteral("proof-f")}),
                 (AuthMessage{QStringLiteral("proof-a"), QStringLiteral("proof-f")}));
        QCOMPARE(AuthMessage::fromJson(QJsonObject{{"t", "auth"}, {"a", 3}}), AuthMessage{});

        QCOMPARE(roundTrip(AuthFailMessage{2}).remaining, 2);
        QCOMPARE(roundTrip(LockedMessage{61}).retrySec, 61);
        // Counts that are not whole numbers read as 0 at the viewer, whatever the host sent.
        QCOMPARE(LockedMessage::fromJson(QJsonObject{{"retry_sec", 1.5}}).retrySec, 0);
        QCOMPARE(LockedMessage::fromJson(QJsonObject{{"retry_sec", 9.3e18}}).retrySec, 0);
        QCOMPARE(AuthFailMessage::fromJson(QJsonObject{{"remaining", "2"}}).remaining, 0);

        AuthOkMessage ok;
        ok.monitors = QJsonArray{QJsonObject{{"id", 1}, {"name", "Main"}, {"w", 1920}, {"h", 1080}, {"primary", true}}};
        ok.video = QStringLiteral("h264");
        ok.audio = true;
        ok.name = QStringLiteral("机の端末");
        QCOMPARE(roundTrip(ok), ok);
        ok.name.reset();
        ok.audio = false;
        QCOMPARE(roundTrip(ok), ok);
        QCOMPARE(overTheWire(ok.toJson()).value("audio").toString(), QStringLiteral("none"));
        // An older host that says nothing about its picture sends JPEG, and has no display windows.
        QCOMPARE(AuthOkMessage::fromJson(QJsonObject{{"t", "auth_ok"}}).video, QStringLiteral("jpeg"));
        QVERIFY(!AuthOkMessage::fromJson(QJsonObject{{"t", "auth_ok"}}).windows);
        QVERIFY(!overTheWire(ok.toJson()).contains("windows"));
        ok.windows = true;
        QCOMPARE(roundTrip(ok), ok);
        QVERIFY(!AuthOkMessage::fromJson(QJsonObject{{"windows", "yes"}}).windows);
    }

    void sessionMessagesRoundTrip() {
        QCOMPARE(roundTrip(AudioStateMessage{true}).on, true);
        QCOMPARE(AudioStateMessage::fromJson(QJsonObject{{"on", "yes"}}).on, false);
        QCOMPARE(roundTrip(CursorMessage{12.5, -3}), (CursorMessage{12.5, -3}));
        QCOMPARE(CursorMessage::fromJson(QJsonObject{{"x", "1"}}), (CursorMessage{0, 0}));
        QCOMPARE(roundTrip(SelectMessage{QStringLiteral("single"), 2}), (SelectMessage{QStringLiteral("single"), 2}));
        // An id that is no display's number reads as 0, which names none.
        QCOMPARE(SelectMessage::fromJson(QJsonObject{{"mode", "single"}, {"id", 1e300}}).id, 0);
        QCOMPARE(SelectMessage::fromJson(QJsonObject{{"mode", "single"}, {"id", 1.5}}).id, 0);
        QCOMPARE(overTheWire(StillMessage{}.toJson()), (QJsonObject{{"t", "still"}}));
        QCOMPARE(roundTrip(PermMessage{true, false, true}), (PermMessage{true, false, true}));
        QCOMPARE(roundTrip(PermMessage{true, false, std::nullopt}), (PermMessage{true, false, std::nullopt}));
        QCOMPARE(PermMessage::fromJson(QJsonObject{{"clip", 1}}),
                 (PermMessage{std::nullopt, std::nullopt, std::nullopt}));
        // The microphone alone: the other rights stay as the viewer had them.
        QCOMPARE(roundTrip(PermMessage{std::nullopt, std::nullopt, std::nullopt, true}),
                 (PermMessage{std::nullopt, std::nullopt, std::nullopt, true}));
        QCOMPARE(overTheWire(PermMessage{std::nullopt, std::nullopt, std::nullopt, false}.toJson()),
                 (QJsonObject{{"t", "perm"}, {"mic", false}}));
        QCOMPARE(PermMessage::fromJson(QJsonObject{{"mic", "on"}}).mic, std::nullopt);

        QCOMPARE(roundTrip(ApprovalWaitMessage{45}).sec, 45);
        // Both ends keep the wait within a day; nothing usable reads as the usual minute.
        QCOMPARE(roundTrip(ApprovalWaitMessage{10 * ApprovalWaitMessage::maxSec}).sec, ApprovalWaitMessage::maxSec);
        QCOMPARE(ApprovalWaitMessage::fromJson(QJsonObject{{"sec", 1e300}}).sec, ApprovalWaitMessage::defaultSec);
        QCOMPARE(ApprovalWaitMessage::fromJson(QJsonObject{{"sec", -5}}).sec, 0);

        StatsMessage stats{QStringLiteral("h264"), QStringLiteral("x264enc"), 24, 3100, true, {}};
        QCOMPARE(roundTrip(stats), stats);
        // The path's figures travel beside the fields and come back as they were; they
        // cannot overwrite a field.
        stats.link = QJsonObject{{"target", 2500}, {"limit", QStringLiteral("回線")}};
        QCOMPARE(roundTrip(stats), stats);
        StatsMessage clash = stats;
        clash.link.insert("fps", 99);
        QCOMPARE(overTheWire(clash.toJson()).value("fps").toInt(), 24);

        QCOMPARE(roundTrip(FrameAckMessage{4294967295u}).seq, 4294967295u);
        QVERIFY(!FrameAckMessage::read(QJsonObject{{"seq", 4294967296.0}}));
        QVERIFY(!FrameAckMessage::read(QJsonObject{{"seq", -1}}));
        QVERIFY(!FrameAckMessage::read(QJsonObject{{"seq", 1.5}}));
        // A display window's acknowledgement names it; the main picture's has no "win".
        QCOMPARE(roundTrip(FrameAckMessage{7, 3}), (FrameAckMessage{7, 3}));
        QVERIFY(!overTheWire(FrameAckMessage{7}.toJson()).contains("win"));
        QCOMPARE(FrameAckMessage::fromJson(QJsonObject{{"seq", 7}, {"win", 1e9}}), (FrameAckMessage{7, 0}));
    }

    void displayWindowsRoundTrip() {
        const QualityRequest current{15, 0.5, 60, 4000};
        const WindowMessage open{2, 5, {30, 1.0, 80, 6000}};
        QCOMPARE(WindowMessage::read(overTheWire(open.toJson()), current), open);
        // Missing quality values are the current ones; values beyond the limits are clamped.
        QCOMPARE(WindowMessage::read(QJsonObject{{"t", "window"}, {"win", 1}, {"id", 3}}, current),
                 (WindowMessage{1, 3, current}));
        QCOMPARE(WindowMessage::read(QJsonObject{{"win", 1}, {"id", 3}, {"scale", 9.0}}, current)->quality.scale, 1.0);
        // Window numbers are 1 … maxWindows; ids whole numbers.
        for (const QJsonValue &win :
             {QJsonValue(0), QJsonValue(WindowMessage::maxWindows + 1), QJsonValue(1.5), QJsonValue("1"), QJsonValue()})
            QVERIFY(!WindowMessage::read(QJsonObject{{"win", win}, {"id", 1}}, current));
        QVERIFY(!WindowMessage::read(QJsonObject{{"win", 1}, {"id", 0.5}}, current));
        QVERIFY(!WindowMessage::read(QJsonObject{{"win", 1}}, current));

        QCOMPARE(WindowEndMessage::read(overTheWire(WindowEndMessage{4, QStringLiteral("なくなりました")}.toJson())),
                 (WindowEndMessage{4, QStringLiteral("なくなりました")}));
        QCOMPARE(overTheWire(WindowEndMessage{4, {}}.toJson()), (QJsonObject{{"t", "window_end"}, {"win", 4}}));
        QVERIFY(!WindowEndMessage::read(QJsonObject{{"win", 0}}));
        QVERIFY(!WindowEndMessage::read(QJsonObject{{"win", "2"}}));
        // A reason is kept short whatever the host sends.
        QCOMPARE(WindowEndMessage::read(QJsonObject{{"win", 1}, {"reason", QString(5000, u'x')}})->reason.size(), 200);
    }

    void pingComesBackUntouched() {
        const PingMessage ping{1234.5};
        const QJsonObject wire = overTheWire(ping.toJson());
        const std::optional<PingMessage> heard = PingMessage::read(wire);
        QVERIFY(heard);
        const QJsonObject answer = overTheWire(heard->pong());
        QVERIFY(CtrlMessage::is<PongMessage>(answer));
        QCOMPARE(PongMessage::fromJson(answer).ts, std::optional<double>(1234.5));
        // A ping without a number gets no answer.
        QVERIFY(!PingMessage::read(QJsonObject{{"t", "ping"}, {"ts", "soon"}}));
        QCOMPARE(PongMessage::fromJson(QJsonObject{{"t", "pong"}}).ts, std::nullopt);
    }

    void helloIsCleanedOnReading() {
        ViewerIntroduction hello;
        hello.user = QStringLiteral("taro");
        hello.machine = QStringLiteral("desk");
        hello.os = QStringLiteral("Debian GNU/Linux 12");
        hello.app = QStringLiteral("Velmo Remote");
        hello.ver = QStringLiteral("0.1.0");
        QCOMPARE(roundTrip(hello), hello);
        QVERIFY(!hello.toJson().contains(QStringLiteral("icon")));
        hello.user = QStringLiteral("ta\nro") + QString(200, QLatin1Char('x'));
        const ViewerIntroduction heard = roundTrip(hello);
        QCOMPARE(heard.user.size(), ViewerIntroduction::maxNameChars);
        QVERIFY(!heard.user.contains(QLatin1Char('\n')));
    }

    // The viewer clamps what it sends, the host what it receives: the same limits.
    void qualityClampsTheSameAtBothEnds() {
        const QualityRequest inside{24, 0.5, 70, 3000};
        QCOMPARE(QualityRequest::fromJson(overTheWire(inside.toJson()), QualityRequest{}), inside);
        QVERIFY(inside.inRange());

        const QList<QualityRequest> outside{{0, 0.01, 0, 10},
                                            {QualityRequest::maxFps + 1, 2.0, 101, 1'000'000},
                                            {-5, std::nan(""), 1000, -1},
                                            {std::numeric_limits<int>::max(), 1e9, -1, 50001}};
        for (const QualityRequest &q : outside) {
            const QualityRequest sent = q.clamped(); // the viewer
            QVERIFY(sent.inRange());
            QVERIFY(!q.inRange());
            // The host reading the raw values clamps them to the same request.
            QJsonObject raw{{"t", "quality"}, {"fps", q.fps}, {"q", q.q}, {"kbps", q.kbps}};
            if (std::isfinite(q.scale))
                raw.insert("scale", q.scale);
            // (A rate beyond a billion is absurd and keeps the host's current one: here the ceiling.)
            const QualityRequest heard =
                QualityRequest::fromJson(overTheWire(raw), QualityRequest{QualityRequest::maxFps, 1.0, 70, 2500});
            QCOMPARE(heard.fps, sent.fps);
            QCOMPARE(heard.q, sent.q);
            QCOMPARE(heard.kbps, sent.kbps);
            if (std::isfinite(q.scale))
                QCOMPARE(heard.scale, sent.scale);
        }
        const QualityRequest tooFast{QualityRequest::maxFps + 1, 0.5, 60, 4000};
        QCOMPARE(tooFast.clamped().fps, QualityRequest::maxFps);
        // Missing or absurd values keep what the host had.
        const QualityRequest current{20, 0.6, 50, 900};
        QCOMPARE(QualityRequest::fromJson(QJsonObject{{"fps", "fast"}, {"kbps", 1e12}}, current), current);
        // Every preset the application offers is a request the host takes as it is.
        for (const QualityPreset &p : presetList())
            QVERIFY2(p.quality.inRange(), qPrintable(p.key));
    }

    // Up to 60 frames a second on the wire: 60 is taken as it is, more is held at 60, a
    // request without a rate keeps the one in force (the default before any), and the
    // presets' rates are untouched. The host's figure of what it sustains travels in
    // "stats" beside the fields every viewer knows.
    void qualityUpToSixtyFps() {
        QCOMPARE(QualityRequest::maxFps, 60);
        const QualityRequest fast{60, 1.0, 85, 8000};
        QVERIFY(fast.inRange());
        QCOMPARE(QualityRequest::fromJson(overTheWire(fast.toJson()), QualityRequest{}), fast);
        for (const int asked : {61, 90, 1000, 1'000'000}) {
            const QJsonObject raw{{"t", "quality"}, {"fps", asked}, {"scale", 1.0}, {"q", 85}, {"kbps", 8000}};
            QCOMPARE(QualityRequest::fromJson(overTheWire(raw), QualityRequest{}).fps, 60);
            QCOMPARE((QualityRequest{asked, 1.0, 85, 8000}).clamped().fps, 60);
        }
        // A viewer that asks for 30 gets 30, as before.
        QCOMPARE(QualityRequest::fromJson(QJsonObject{{"t", "quality"}, {"fps", 30}}, QualityRequest{}).fps, 30);
        QCOMPARE(QualityRequest::fromJson(QJsonObject{{"t", "quality"}, {"fps", 59.9}}, QualityRequest{}).fps, 59);
        // Missing: the default before any request, the rate in force after one.
        QCOMPARE(QualityRequest::fromJson(QJsonObject{{"t", "quality"}}, QualityRequest{}), QualityRequest{});
        QCOMPARE(QualityRequest::fromJson(QJsonObject{{"t", "quality"}, {"kbps", 3000}}, fast).fps, 60);
        QCOMPARE(QualityRequest::fromJson(QJsonObject{{"t", "quality"}, {"fps", QJsonValue::Null}}, fast).fps, 60);
        QCOMPARE(QualityRequest{}.fps, 15);
        // The presets stay below the steady rate every host keeps.
        for (const QualityPreset &p : presetList())
            QVERIFY2(p.quality.fps <= QualityRequest::steadyFps, qPrintable(p.key));

        StatsMessage stats{QStringLiteral("h264"), QStringLiteral("x264enc"), 58, 7900, false, {{"canFps", 72}}};
        const StatsMessage heard = StatsMessage::fromJson(overTheWire(stats.toJson()));
        QCOMPARE(heard.link.value("canFps").toInt(), 72);
        QCOMPARE(heard.fps, 58);
    }

    void agentStatusRoundTrips() {
        ControlStatus s;
        s.id = QStringLiteral("123456789");
        s.name = QStringLiteral("desk");
        s.platform = QStringLiteral("linux");
        s.version = QStringLiteral("0.1.0");
        s.server = QStringLiteral("http://127.0.0.1:8787");
        s.connected = true;
        s.problem = QStringLiteral("device.json is readable by others");
        s.sharing = true;
        s.autoPasscode = QStringLiteral("123456");
        s.passcodeMode = QStringLiteral("both");
        s.hasFixed = true;
        s.fps = 24;
        s.scale = 0.5;
        s.kbps = 3000;
        s.video = QStringLiteral("h264");
        s.encoder = QStringLiteral("x264enc");
        s.audioOn = true;
        s.audioSource = QStringLiteral("mic");
        s.monitors = {ControlMonitor{1, QStringLiteral("HDMI-1"), 1920, 1080, true}};
        ControlSession session;
        session.sid = QStringLiteral("s1");
        session.viewer = QStringLiteral("987654321");
        session.name = QStringLiteral("taro@laptop");
        session.info = ControlViewerInfo{QStringLiteral("Velmo Remote"), QStringLiteral("Debian"), QString(), QString(),
                                         QStringLiteral("0.1.0")};
        session.ip = QStringLiteral("192.0.2.7");
        session.since = 1700000000;
        session.authed = true;
        session.relay = true;
        session.clip = false;
        session.mic = true; // not the default: it must travel to come back
        session.micSource = QStringLiteral("velmo_mic_0123abcd_in");
        session.link =
            ControlSessionLink{QStringLiteral("h264"), 12, 1480, 1500, 1800, 2.5, 40, QStringLiteral("回線")};
        s.sessions = {session};
        s.noticeBar = false;
        s.controllers = {ControlController{QStringLiteral("laptop"), QStringLiteral("AAAA"), 1700000001}};
        s.eulaRequired = ControlEula{QStringLiteral("2"), QStringLiteral("abc"), QStringLiteral("# Terms")};
        s.allowAsk = false;
        s.asks = {ControlAsk{QStringLiteral("s2"), QStringLiteral("hanako"), QStringLiteral("192.0.2.8"), 1700000002,
                             QStringLiteral("555666777"), QStringLiteral("AB:CD"), 1700000062}};
        s.inputPerm = QStringLiteral("denied");
        s.screenPerm = QStringLiteral("granted");
        s.approval = QStringLiteral("ask");
        s.displayServer = QStringLiteral("x11");
        s.backend = QStringLiteral("x11");
        s.unattended = true;
        s.screenError = QStringLiteral("no display");
        s.audioError = QStringLiteral("no monitor");
        s.audioDevice = QStringLiteral("alsa_output.monitor");
        const QByteArray wire = QJsonDocument(s.toJson()).toJson(QJsonDocument::Compact);
        QCOMPARE(ControlStatus::decode(wire), std::optional<ControlStatus>(s));
        // No agreement to accept is written as null, and read back as none.
        s.eulaRequired.reset();
        QVERIFY(s.toJson().value("eulaRequired").isNull());
        QCOMPARE(ControlStatus::fromObject(s.toJson()), s);
    }

    // The figures a viewer gets in "stats", as the agent lists them under its session:
    // what is missing stays missing, what is not a sane number is dropped or bounded.
    void sessionLinkFromStats() {
        StatsMessage stats;
        stats.codec = QStringLiteral("jpeg");
        stats.fps = 9;
        stats.kbps = 900;
        stats.link = {{"est", 1234.4}, {"skipped", 3}, {"limit", "回線"}};
        ControlSessionLink link = ControlSessionLink::fromStats(StatsMessage::fromJson(stats.toJson()));
        QCOMPARE(link.estimateKbps, std::optional<qint64>(1234));
        QCOMPARE(link.targetKbps, std::nullopt);
        QCOMPARE(link.rttMs, std::nullopt);
        QCOMPARE(link.line(), QStringLiteral("JPEG  9 fps  900 kbps(推定 1234 kbps)  回線で制限"));
        QCOMPARE(ControlSessionLink::fromJson(link.toJson()), std::optional<ControlSessionLink>(link));

        stats.link = {{"est", -5}, {"target", "fast"}, {"loss", 250.0}, {"rtt", 1e300}};
        link = ControlSessionLink::fromStats(stats);
        QCOMPARE(link.estimateKbps, std::nullopt);
        QCOMPARE(link.targetKbps, std::nullopt);
        QCOMPARE(link.lossPercent, std::optional<double>(100.0));
        QCOMPARE(link.rttMs, std::optional<int>(600000));
        QCOMPARE(link.limit, QString());
        QCOMPARE(ControlSessionLink::fromJson(QJsonValue(3)), std::nullopt);
    }

    void deviceRecordRoundTrips() {
        const DeviceInfo d{QStringLiteral("123456789"), QStringLiteral("desk"), QStringLiteral("linux"), true};
        QCOMPARE(DeviceInfo::decode(QJsonDocument(d.toJson()).toJson()), std::optional<DeviceInfo>(d));
        const DeviceInfo bare{QStringLiteral("123456789"), QStringLiteral("desk"), std::nullopt, false};
        QVERIFY(bare.toJson().value("platform").isNull());
        QCOMPARE(DeviceInfo::decode(QJsonDocument(bare.toJson()).toJson()), std::optional<DeviceInfo>(bare));
    }
};

QTEST_GUILESS_MAIN(TestWireRecords)
#include "tst_wire_records.moc"

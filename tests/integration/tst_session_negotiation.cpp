// A viewer session against a real webrtcbin answerer in the same process: the
// offer, trickle ICE, the four channels, the control protocol with the proof,
// the failure texts, the JPEG path, the file channel and closing.
#include "config/AppConfig.h"
#include "media/PeerConnectionFactory.h"
#include "media/VideoFrameTap.h"
#include "protocol/JpegChunkHeader.h"
#include "protocol/PasscodeProof.h"
#include "session/MonitorView.h"
#include "session/RemoteSession.h"
#include "support/LoopbackSignalingPort.h"
#include "support/ScriptedAnswerer.h"
#include "support/TestEnv.h"
#include "support/ViewerObjects.h"
#include "viewer/SessionView.h"

#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMenu>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSysInfo>
#include <QTest>
#include <QToolButton>

using State = RemoteSession::State;

namespace {
QByteArray jpegOf(QSize size, QColor color) {
    QImage img(size, QImage::Format_RGB32);
    img.fill(color);
    QByteArray out;
    QBuffer buf(&out);
    buf.open(QIODevice::WriteOnly);
    img.save(&buf, "JPG", 80);
    return out;
}

// One session wired to one answerer.
struct Rig {
    ViewerObjects &objects;
    std::shared_ptr<LoopbackSignalingPort> port = std::make_shared<LoopbackSignalingPort>();
    std::unique_ptr<ScriptedAnswerer> device = std::make_unique<ScriptedAnswerer>();
    std::unique_ptr<RemoteSession> session;
    QList<State> states;

    explicit Rig(ViewerObjects &viewer, const QString &passcode = QStringLiteral("123456")) : objects(viewer) {
        session = std::make_unique<RemoteSession>(QStringLiteral("123456789"), passcode,
                                                  QStringLiteral("Viewer's name"), objects.context(port));
        device->reply = [p = port.get()](const QJsonObject &m) { p->deliver(m); };
        QObject::connect(port.get(), &LoopbackSignalingPort::messageSent, device.get(),
                         [d = device.get()](const QJsonObject &m) { d->handle(m); });
        QObject::connect(session.get(), &RemoteSession::stateChanged, session.get(),
                         [this, s = session.get()] { states.append(s->state()); });
    }
    ~Rig() {
        session.reset();
        device.reset();
        objects.factory()->waitForRetired();
    }
    bool reach(State s, int ms = 10000) {
        return QTest::qWaitFor([&] { return session->state() == s; }, ms);
    }
};
} // namespace

class TestSessionNegotiation : public QObject {
    Q_OBJECT
    ViewerObjects objects;

private Q_SLOTS:
    void initTestCase() { QCOMPARE(objects.waitForWebRtc(), QString()); }
    void init() { objects.config()->setVideoPref(QStringLiteral("jpeg")); }

    void sidsAreEightLowerHex() {
        const QString a = RemoteSession::makeSid();
        const QString b = RemoteSession::makeSid();
        static const QRegularExpression re(QStringLiteral("^[0-9a-f]{8}$"));
        QVERIFY(re.match(a).hasMatch());
        QVERIFY(re.match(b).hasMatch());
        QVERIFY(a != b);
        RemoteSession s1(QStringLiteral("1"), QStringLiteral("p"), QStringLiteral("n"), objects.context());
        RemoteSession s2(QStringLiteral("1"), QStringLiteral("p"), QStringLiteral("n"), objects.context());
        QVERIFY(s1.sid() != s2.sid());
        QCOMPARE(s1.state(), State::Connecting);
        QCOMPARE(s1.videoMode(), QStringLiteral("jpeg"));
        QCOMPARE(s1.volume(), objects.config()->volume());
        QCOMPARE(s1.quality(), objects.config()->quality());
    }

    void offerLayout_data() {
        QTest::addColumn<QString>("pref");
        QTest::addColumn<QStringList>("media");
        QTest::newRow("jpeg") << "jpeg" << QStringList{"application"};
        QTest::newRow("h264") << "h264" << QStringList{"video", "audio", "application"};
    }
    void offerLayout() {
        QFETCH(QString, pref);
        QFETCH(QStringList, media);
        objects.config()->setVideoPref(pref);
        Rig rig(objects);
        rig.device->autoChallenge = false;
        rig.session->start();
        QTRY_COMPARE_WITH_TIMEOUT(rig.port->sentOfType("connect").size(), 1, 10000);
        const QJsonObject connect = rig.port->sentOfType("connect").first();
        QCOMPARE(connect.value("to").toString(), QStringLiteral("123456789"));
        QCOMPARE(connect.value("sid").toString(), rig.session->sid());
        const QString sdp = connect.value("payload").toObject().value("sdp").toString();
        QStringList kinds;
        static const QRegularExpression mline(QStringLiteral("^m=(\\w+) "), QRegularExpression::MultilineOption);
        for (auto it = mline.globalMatch(sdp); it.hasNext();)
            kinds.append(it.next().captured(1));
        QCOMPARE(kinds, media);
        if (media.size() > 1) {
            const QStringList sections = sdp.split(QStringLiteral("m="));
            QVERIFY(sections[1].contains("a=recvonly") && sections[1].contains("H264"));
            // Audio goes both ways from the first offer (the microphone switch needs no new one).
            QVERIFY(sections[2].contains("a=sendrecv") && sections[2].contains("OPUS", Qt::CaseInsensitive));
            QVERIFY(sections[2].contains("opus/48000/2", Qt::CaseInsensitive));
            QCOMPARE(sdp.count(QStringLiteral("m=audio")), 1);
            QVERIFY(sections[1].contains("transport-cc"));
        }
        QVERIFY(!connect.value("payload").toObject().value("sdp").toString().isEmpty());
        // The handler was registered before the offer went out.
        QCOMPARE(rig.port->attachCount, 1);

        // The channels reach the answerer in creation order, and candidates carry mids.
        QTRY_COMPARE_WITH_TIMEOUT(rig.device->openChannels.size(), 5, 10000);
        // Stream ids follow creation order; every channel is ordered and reliable.
        QStringList byId = rig.device->openChannels;
        std::sort(byId.begin(), byId.end(), [&](const QString &a, const QString &b) {
            return rig.device->channelInfo.value(a).id < rig.device->channelInfo.value(b).id;
        });
        QCOMPARE(byId, (QStringList{"ctrl", "video", "input", "file", "windows"}));
        for (const auto &info : rig.device->channelInfo) {
            QVERIFY(info.ordered);
            QCOMPARE(info.maxRetransmits, -1);
            QCOMPARE(info.maxPacketLifeTime, -1);
            QVERIFY(!info.negotiated);
        }
        const auto ice = rig.port->sentOfType("ice");
        QVERIFY(!ice.isEmpty());
        for (const QJsonObject &m : ice) {
            const QJsonObject p = m.value("payload").toObject();
            QVERIFY(p.value("candidate").toString().startsWith("candidate:"));
            QVERIFY(!p.value("sdpMid").toString().isEmpty());
            QVERIFY(p.value("sdpMLineIndex").isDouble());
            QCOMPARE(m.value("to").toString(), QStringLiteral("123456789"));
        }
        // Nothing on "input" before connected.
        rig.session->sendInput(QJsonObject{{"t", "key"}});
        QTest::qWait(100);
        QVERIFY(rig.device->receivedOn("input").isEmpty());
        QCOMPARE(rig.session->state(), State::Connecting);
    }

    void passcodeAcceptedConnects_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("autoPass");
        QTest::addColumn<QString>("fixedPass");
        QTest::newRow("auto") << "123456"
                              << "123456"
                              << "";
        QTest::newRow("fixed") << "fixed-pass"
                               << "123456"
                               << "fixed-pass";
    }
    void passcodeAcceptedConnects() {
        QFETCH(QString, typed);
        QFETCH(QString, autoPass);
        QFETCH(QString, fixedPass);
        Rig rig(objects, typed);
        rig.device->autoPasscode = autoPass;
        rig.device->fixedPasscode = fixedPass;
        rig.device->iters = QJsonValue(); // the default count
        rig.session->start();
        rig.session->sendInput(QJsonObject{{"t", "early"}});
        QVERIFY(rig.reach(State::Connected));
        QCOMPARE(rig.states, (QList<State>{State::Authenticating, State::Connected}));
        QCOMPARE(rig.device->authsAccepted, 1);
        QCOMPARE(rig.session->name(), QStringLiteral("Test Device"));
        QCOMPARE(rig.session->monitors().size(), 1);
        QCOMPARE(rig.session->monitors().first().w, 1920);
        QVERIFY(rig.session->monitors().first().primary);
        QCOMPARE(rig.session->videoMode(), QStringLiteral("jpeg"));
        QVERIFY(!rig.session->audioAvailable());
        QCOMPARE(objects.config()->recents().first().id, QStringLiteral("123456789"));
        QCOMPARE(objects.config()->recents().first().name, QStringLiteral("Test Device"));

        // "auth", the viewer's introduction, then the automatic quality message.
        QTRY_COMPARE(rig.device->receivedOn("ctrl").size(), 3);
        const auto ctrl = rig.device->receivedOn("ctrl");
        QCOMPARE(ctrl[0].value("t").toString(), QStringLiteral("auth"));
        QCOMPARE(ctrl[0].value("a").toString().size(), 44);
        QCOMPARE(ctrl[1].value("t").toString(), QStringLiteral("hello"));
        QCOMPARE(ctrl[1].value("machine").toString(), QSysInfo::machineHostName());
        QVERIFY(!ctrl[1].value("user").toString().isEmpty());
        QCOMPARE(ctrl[1].value("ver").toString(), QStringLiteral(VELMO_VERSION));
        QCOMPARE(ctrl[2].value("t").toString(), QStringLiteral("quality"));
        const Quality q = objects.config()->quality();
        QCOMPARE(ctrl[2].value("fps").toInt(), q.fps);
        QCOMPARE(ctrl[2].value("scale").toDouble(), q.scale);
        QCOMPARE(ctrl[2].value("kbps").toInt(), q.kbps);

        rig.session->sendInput(QJsonObject{{"t", "mm"}, {"x", 1}});
        QTRY_COMPARE(rig.device->receivedOn("input").size(), 1);
        QCOMPARE(rig.device->receivedOn("input").first().value("t").toString(), QStringLiteral("mm"));

        rig.session->setQuality(presets().value("speed"));
        rig.session->selectMonitor(QStringLiteral("single"), 1);
        rig.session->requestStill();
        QTRY_COMPARE(rig.device->receivedOn("ctrl").size(), 6);
        QCOMPARE(rig.device->receivedOn("ctrl")[3].value("fps").toInt(), 30);
        QCOMPARE(rig.device->receivedOn("ctrl")[4], (QJsonObject{{"t", "select"}, {"mode", "single"}, {"id", 1}}));
        QCOMPARE(rig.device->receivedOn("ctrl")[5], (QJsonObject{{"t", "still"}}));
        QCOMPARE(rig.session->quality(), presets().value("speed"));
    }

    void wrongPasscodeAndLock() {
        Rig rig(objects, QStringLiteral("000000"));
        rig.device->remaining = 3;
        rig.session->start();
        QVERIFY(rig.reach(State::Failed));
        QCOMPARE(rig.session->failureText(), QStringLiteral("パスコードが違います(残り 2 回)"));
        QCOMPARE(rig.device->authsRejected, 1);
        rig.session->sendInput(QJsonObject{{"t", "x"}});

        // A new challenge is answered again; then the device locks.
        rig.device->sendChallenge();
        QVERIFY(rig.reach(State::Authenticating));
        QVERIFY(rig.reach(State::Failed));
        QCOMPARE(rig.device->authsRejected, 2);
        rig.device->sendText("ctrl", QJsonObject{{"t", "locked"}, {"retry_sec", 61}});
        QTRY_COMPARE(rig.session->failureText(),
                     QStringLiteral("パスコードを続けて間違えたため、この端末は接続を受け付けません(あと 2 分)"));
        rig.device->sendText("ctrl", QJsonObject{{"t", "locked"}, {"retry_sec", 9.2233720368547758e18}});
        QTRY_VERIFY(rig.session->failureText().contains("あと 0 分") ||
                    rig.session->failureText().contains(QString::number(9223372036854775807ll / 60 + 1)) ||
                    rig.session->failureText().contains("あと 2 分"));
        rig.device->sendText("ctrl", QJsonObject{{"t", "auth_fail"}});
        QTRY_COMPARE(rig.session->failureText(), QStringLiteral("パスコードが違います(残り 0 回)"));
        QTest::qWait(50);
        QVERIFY(rig.device->receivedOn("input").isEmpty());
    }

    void fingerprintMismatch_data() {
        QTest::addColumn<int>("variant");
        QTest::newRow("other certificate") << 0;
        QTest::newRow("with colons") << 1;
        QTest::newRow("lower case") << 2;
    }
    void fingerprintMismatch() {
        QFETCH(int, variant);
        Rig rig(objects);
        rig.device->autoChallenge = false;
        rig.session->start();
        QTRY_COMPARE_WITH_TIMEOUT(rig.device->openChannels.size(), 5, 10000);
        const QString real = rig.device->localFingerprint();
        QCOMPARE(real.size(), 64);
        QString claimed = QString(64, 'A');
        if (variant == 1) {
            claimed.clear();
            for (int i = 0; i < real.size(); i += 2)
                claimed += (i ? ":" : "") + real.mid(i, 2);
        } else if (variant == 2) {
            claimed = real.toLower();
            if (claimed == real)
                QSKIP("fingerprint has no letters");
        }
        rig.device->hostFpOverride = claimed;
        rig.device->sendChallenge();
        QVERIFY(rig.reach(State::Failed));
        QCOMPARE(rig.session->failureText(), RemoteSession::fingerprintText());
        QTest::qWait(300);
        QVERIFY(rig.device->receivedOn("ctrl").isEmpty()); // no proof

        // An unverified peer cannot make the session connected afterwards.
        rig.device->sendText("ctrl", QJsonObject{{"t", "auth_ok"}});
        rig.device->hostFpOverride.clear();
        rig.device->sendChallenge();
        QTest::qWait(300);
        QCOMPARE(rig.session->state(), State::Failed);
        QCOMPARE(rig.session->failureText(), RemoteSession::fingerprintText());
        rig.session->sendInput(QJsonObject{{"t", "key"}});
        QTest::qWait(100);
        QVERIFY(rig.device->receivedOn("input").isEmpty());
        QVERIFY(rig.device->receivedOn("ctrl").isEmpty());
    }

    void challengeVariants() {
        // No host_fp: no check, the proof goes out. Bad nonce: nothing. An iteration
        // count out of range: no proof, and the session says why.
        Rig rig(objects);
        rig.device->autoChallenge = false;
        rig.session->start();
        QTRY_COMPARE_WITH_TIMEOUT(rig.device->openChannels.size(), 5, 10000);
        rig.device->sendText("ctrl", QJsonObject{{"t", "challenge"}, {"nonce", "***"}});
        QVERIFY(rig.reach(State::Authenticating));
        QTest::qWait(200);
        QCOMPARE(rig.session->state(), State::Authenticating);
        for (const QJsonValue &iters : {QJsonValue(double(PasscodeProof::maxIters) + 1), QJsonValue(0), QJsonValue(-1),
                                        QJsonValue(4294967296.0), QJsonValue(1e15)}) {
            rig.device->sendText("ctrl", QJsonObject{{"t", "challenge"}, {"iters", iters}});
            QVERIFY(rig.reach(State::Failed));
            QCOMPARE(rig.session->failureText(), RemoteSession::itersText());
            // A malformed challenge puts it back to authenticating for the next value.
            rig.device->sendText("ctrl", QJsonObject{{"t", "challenge"}, {"nonce", "***"}});
            QVERIFY(rig.reach(State::Authenticating));
        }
        QVERIFY(rig.device->receivedOn("ctrl").isEmpty());

        rig.device->hostFpOverride = QStringLiteral("-");
        rig.device->sendChallenge();
        QVERIFY(rig.reach(State::Connected));
        QCOMPARE(rig.device->authsAccepted, 1);
    }

    void controlMessages() {
        Rig rig(objects);
        QSignalSpy cursor(rig.session.get(), &RemoteSession::cursorChanged);
        rig.session->start();
        QVERIFY(rig.reach(State::Connected));
        auto *d = rig.device.get();
        d->sendText("ctrl", QJsonObject{{"t", "cursor"}, {"x", 12.5}});
        QTRY_COMPARE(rig.session->cursor(), QPointF(12.5, 0));
        d->sendText("ctrl", QJsonObject{{"t", "stats"}, {"codec", "jpeg"}, {"fps", 14}});
        QTRY_COMPARE(rig.session->stats().value("fps").toInt(), 14);
        QCOMPARE(rig.session->stats().value("t").toString(), QStringLiteral("stats"));
        d->sendText("ctrl", QJsonObject{{"t", "audio_state"}, {"on", true}});
        QTRY_VERIFY(rig.session->audioAvailable());
        d->sendText("ctrl", QJsonObject{{"t", "audio_state"}, {"on", "yes"}});
        QTRY_VERIFY(!rig.session->audioAvailable());
        // Noise on ctrl is dropped; the session carries on.
        d->sendRaw("ctrl", "[1,2,3]", false);
        d->sendRaw("ctrl", "{not json", false);
        d->sendRaw("ctrl", "{\"t\":7}", true);
        d->sendText("ctrl", QJsonObject{{"t", "unknown"}});
        d->sendText("ctrl", QJsonObject{{"t", "auth_ok"}, {"video", "h264"}, {"audio", "opus"}});
        QTRY_COMPARE(rig.session->videoMode(), QStringLiteral("h264"));
        QVERIFY(rig.session->audioAvailable());
        QCOMPARE(rig.session->name(), QStringLiteral("Test Device")); // no name: unchanged
        QVERIFY(rig.session->monitors().isEmpty());
        QCOMPARE(rig.session->state(), State::Connected);
    }

    void jpegFramesStillsAndFiles() {
        Rig rig(objects);
        QSignalSpy image(rig.session.get(), &RemoteSession::imageChanged);
        QList<QByteArray> stills;
        rig.session->setOnStill([&](const QByteArray &b) { stills.append(b); });
        QList<QJsonObject> events;
        connect(rig.session.get(), &RemoteSession::fileEvent, this, [&](const QJsonObject &e) { events.append(e); });
        QList<int> progress;
        connect(rig.session.get(), &RemoteSession::downloadProgress, this,
                [&](quint32 id, int chunks, qint64) { progress.append(int(id) * 100 + chunks); });
        rig.session->start();
        QVERIFY(rig.reach(State::Connected));
        QVERIFY(rig.session->snapshot().isNull());

        const QByteArray frame = jpegOf({320, 200}, Qt::red);
        const qsizetype half = frame.size() / 2;
        auto *d = rig.device.get();
        d->sendRaw("video", JpegChunkHeader{7, 1, 2, 1280, 800, 0}.encode(frame.mid(half)), true);
        d->sendRaw("video", JpegChunkHeader{7, 0, 2, 1280, 800, 0}.encode(frame.left(half)), true);
        d->sendRaw("video", QByteArray(13, '\x01'), true);
        d->sendRaw("video", "{\"t\":\"x\"}", false);
        QTRY_COMPARE(image.size(), 1);
        QCOMPARE(rig.session->frameSize(), QSizeF(1280, 800));
        QCOMPARE(rig.session->image().size(), QSize(320, 200));
        QCOMPARE(rig.session->snapshot().size(), QSize(320, 200));

        const QByteArray still = jpegOf({64, 64}, Qt::blue);
        d->sendRaw("video", JpegChunkHeader{2, 0, 1, 64, 64, 1}.encode(still), true);
        QTRY_COMPARE(stills.size(), 1);
        QCOMPARE(stills.first(), still);
        QCOMPARE(rig.session->frameSize(), QSizeF(1280, 800));

        d->sendText("file", QJsonObject{{"t", "offer"}, {"id", 3}});
        d->sendRaw("file", "[1]", false);
        d->sendRaw("file", QByteArray::fromHex("02000000030000000061626364"), true);
        d->sendRaw("file", QByteArray::fromHex("0200000003000000"), true);
        d->sendRaw("file", QByteArray::fromHex("020000000300000000"), true);
        QTRY_COMPARE(progress, (QList<int>{301, 302}));
        QCOMPARE(events.size(), 1);
        QCOMPARE(events.first().value("t").toString(), QStringLiteral("offer"));
    }

    // Display windows against a scripted host: none from a host that does not offer them;
    // from one that does, a "window" request, pictures of their own on "windows" (behind
    // the window's byte, noise dropped), input and acknowledgements that name the window,
    // the host's end with its reason, and closing that tells the host.
    void displayWindows() {
        Rig rig(objects);
        rig.device->authOkExtra = QJsonObject{
            {"video", "jpeg"},
            {"audio", "none"},
            {"monitors", QJsonArray{QJsonObject{{"id", 1}, {"name", "A"}, {"w", 1280}, {"h", 800}, {"primary", true}},
                                    QJsonObject{{"id", 4}, {"name", "B"}, {"w", 640}, {"h", 480}}}}};
        rig.session->start();
        QVERIFY(rig.reach(State::Connected));
        QCOMPARE(rig.session->monitors().size(), 2);
        QVERIFY(!rig.session->monitorWindows());
        QVERIFY(!rig.session->openMonitorView(4, 1.0));
        // The session window's entry is there but disabled, and says why.
        SessionView sv(rig.session.get(), objects.config(), nullptr);
        auto windowMenu = [&] { return sv.findChild<QMenu *>("monitorWindowMenu"); };
        QVERIFY(windowMenu());
        QVERIFY(!windowMenu()->menuAction()->isEnabled());
        QCOMPARE(windowMenu()->menuAction()->toolTip(), RemoteSession::noWindowsText());
        QVERIFY(!sv.openMonitorWindow(4));
        QCOMPARE(sv.toast(), RemoteSession::noWindowsText());
        auto *d = rig.device.get();
        QVERIFY(d->receivedOn("ctrl").size() > 0);
        for (const QJsonObject &m : d->receivedOn("ctrl"))
            QVERIFY(m.value("t").toString() != "window");

        QJsonObject ok = rig.device->authOkExtra;
        ok.insert("t", "auth_ok");
        ok.insert("windows", true);
        d->sendText("ctrl", ok);
        QTRY_VERIFY(rig.session->monitorWindows());
        QTRY_VERIFY(windowMenu() && windowMenu()->menuAction()->isEnabled());
        QCOMPARE(windowMenu()->actions().size(), 2);
        MonitorView *view = rig.session->openMonitorView(4, 0.5);
        QVERIFY(view);
        QPointer<MonitorView> guard(view);
        const int win = view->win();
        QVERIFY(win >= 1);
        auto requests = [&] {
            QList<QJsonObject> out;
            for (const QJsonObject &m : d->receivedOn("ctrl"))
                if (m.value("t").toString() == "window")
                    out.append(m);
            return out;
        };
        QTRY_COMPARE(requests().size(), 1);
        QCOMPARE(requests().first().value("id").toInt(), 4);
        QCOMPARE(requests().first().value("win").toInt(), win);
        QCOMPARE(requests().first().value("scale").toDouble(), 0.5);

        // A picture for the window, in two chunks; noise and other windows' pictures are dropped,
        // and the main picture is left alone.
        QSignalSpy main(rig.session.get(), &RemoteSession::imageChanged);
        const QByteArray frame = jpegOf({320, 240}, Qt::green);
        const QByteArray w(1, char(win));
        const qsizetype half = frame.size() / 2;
        d->sendRaw("windows", w + JpegChunkHeader{3, 1, 2, 320, 240, 0}.encode(frame.mid(half)), true);
        d->sendRaw("windows", QByteArray(1, char(win + 1)) + JpegChunkHeader{9, 0, 1, 99, 99, 0}.encode(frame), true);
        d->sendRaw("windows", w, true);
        d->sendRaw("windows", w + QByteArray(5, '\x01'), true);
        d->sendRaw("windows", "{}", false);
        d->sendRaw("windows", w + JpegChunkHeader{3, 0, 2, 320, 240, 0}.encode(frame.left(half)), true);
        QTRY_COMPARE(view->frameSize(), QSizeF(320, 240));
        QCOMPARE(view->frames(), 1u);
        QCOMPARE(qGreen(view->image().pixel(160, 120)) > 200, true);
        QCOMPARE(main.size(), 0);
        // The window's acknowledgement names it.
        QTRY_VERIFY([&] {
            for (const QJsonObject &m : d->receivedOn("ctrl"))
                if (m.value("t").toString() == "frame_ack" && m.value("win").toInt() == win &&
                    m.value("seq").toInt() == 3)
                    return true;
            return false;
        }());
        // Input in the window names it too.
        view->sendInput({{"t", "mm"}, {"x", 5}, {"y", 6}});
        QTRY_VERIFY(!d->receivedOn("input").isEmpty());
        QCOMPARE(d->receivedOn("input").last().value("win").toInt(), win);
        // Its own scale: asked for again.
        view->setScale(1.0);
        QTRY_COMPARE(requests().size(), 2);
        QCOMPARE(requests().last().value("scale").toDouble(), 1.0);

        // The host ends it (its display went): the view says why and shows nothing more.
        d->sendText("ctrl", QJsonObject{{"t", "window_end"}, {"win", win}, {"reason", "このモニタは取り外されました"}});
        QTRY_VERIFY(view->ended());
        QCOMPARE(view->endText(), QString("このモニタは取り外されました"));
        QVERIFY(view->image().isNull());
        d->sendRaw("windows", w + JpegChunkHeader{4, 0, 1, 320, 240, 0}.encode(frame), true);
        QTest::qWait(200);
        QCOMPARE(view->frames(), 1u);
        // A second window closed by the viewer: the host is told.
        MonitorView *second = rig.session->openMonitorView(1, 0.5);
        QVERIFY(second);
        const int secondWin = second->win();
        QVERIFY(secondWin != win || view->ended());
        rig.session->closeMonitorView(second);
        QTRY_VERIFY([&] {
            for (const QJsonObject &m : d->receivedOn("ctrl"))
                if (m.value("t").toString() == "window_end" && m.value("win").toInt() == secondWin)
                    return true;
            return false;
        }());
        rig.session->closeMonitorView(view);
        QTRY_VERIFY(!guard);
        QVERIFY(rig.session->monitorViews().isEmpty());
        QCOMPARE(rig.session->state(), State::Connected);
    }

    void signalsAndClosing() {
        Rig rig(objects);
        QSignalSpy closed(rig.session.get(), &RemoteSession::closed);
        rig.session->start();
        QVERIFY(rig.reach(State::Connected));
        // Malformed signals are dropped.
        for (const QJsonObject &m :
             {QJsonObject{{"sid", rig.session->sid()}}, QJsonObject{{"type", 3}, {"sid", rig.session->sid()}},
              QJsonObject{{"type", "answer"}, {"sid", rig.session->sid()}, {"payload", "x"}},
              QJsonObject{{"type", "ice"}, {"sid", rig.session->sid()}, {"payload", QJsonObject{{"sdpMid", "0"}}}},
              QJsonObject{{"type", "ice"},
                          {"sid", rig.session->sid()},
                          {"payload", QJsonObject{{"candidate", "candidate:1 1 UDP 1 127.0.0.1 9 typ host"},
                                                  {"sdpMLineIndex", 1e12}}}}})
            rig.port->deliver(m);
        QTest::qWait(100);
        QCOMPARE(rig.session->state(), State::Connected);

        rig.port->deliver(QJsonObject{{"type", "error"}, {"sid", rig.session->sid()}});
        QTRY_COMPARE(rig.session->failureText(), QStringLiteral("エラー: "));
        rig.port->deliver(QJsonObject{{"type", "error"}, {"sid", rig.session->sid()}, {"error", "offline"}});
        QTRY_COMPARE(rig.session->failureText(), QStringLiteral("エラー: offline"));

        // The host's bye closes; close() afterwards sends nothing more.
        const QString sid = rig.session->sid();
        rig.port->deliver(QJsonObject{{"type", "bye"}, {"sid", sid}});
        QVERIFY(rig.reach(State::Closed));
        QCOMPARE(closed.size(), 1);
        QTRY_COMPARE(rig.port->sentOfType("bye").size(), 1);
        QCOMPARE(rig.port->sentOfType("bye").first(),
                 (QJsonObject{{"type", "bye"}, {"to", "123456789"}, {"sid", sid}}));
        QVERIFY(!rig.port->handlers.contains(sid));
        rig.session->close();
        rig.session->onSignal(QJsonObject{{"type", "answer"}, {"payload", QJsonObject{{"sdp", "v=0"}}}});
        rig.session->onSignal(QJsonObject{{"type", "error"}, {"error", "late"}});
        QTest::qWait(100);
        QCOMPARE(rig.port->sentOfType("bye").size(), 1);
        QCOMPARE(rig.session->state(), State::Closed);
        QCOMPARE(rig.states.last(), State::Closed);
        QCOMPARE(closed.size(), 1);
    }

    void closedChannelMeansLost() {
        // A peer whose channels go away is gone, whatever the ICE state says.
        Rig rig(objects);
        rig.session->start();
        QVERIFY(rig.reach(State::Connected));
        rig.device->closeChannel(QStringLiteral("ctrl"));
        QVERIFY(rig.reach(State::Failed, 5000));
        QCOMPARE(rig.session->failureText(), RemoteSession::lostText());
        // A later "bye" still closes.
        rig.port->deliver(QJsonObject{{"type", "bye"}, {"sid", rig.session->sid()}});
        QVERIFY(rig.reach(State::Closed));
    }

    void silenceAfterSteadyStatsMeansLost() {
        // Both hosts stay reachable (ICE keeps answering) and then send nothing:
        // the one that reported stats at a steady pace is declared gone, the one
        // that never did is left alone.
        Rig steady(objects);
        Rig quiet(objects);
        steady.session->start();
        quiet.session->start();
        QVERIFY(steady.reach(State::Connected));
        QVERIFY(quiet.reach(State::Connected));
        for (int i = 0; i < 5; ++i) {
            steady.device->sendText("ctrl", QJsonObject{{"t", "stats"}, {"fps", 30}});
            QTest::qWait(200);
        }
        QTRY_COMPARE(steady.session->stats().value("fps").toInt(), 30);
        QElapsedTimer t;
        t.start();
        QVERIFY(steady.reach(State::Failed, 20000));
        QCOMPARE(steady.session->failureText(), RemoteSession::lostText());
        QVERIFY2(t.elapsed() >= 9000, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(quiet.session->state(), State::Connected);
    }

    void connectFailureText() {
        Rig rig(objects);
        rig.port->connectError = QStringLiteral("タイムアウト");
        rig.session->start();
        QVERIFY(rig.reach(State::Failed));
        QCOMPARE(rig.session->failureText(), QStringLiteral("接続できません: タイムアウト"));
        QVERIFY(rig.port->sentOfType("connect").isEmpty());
        rig.session->close();
        QCOMPARE(rig.session->state(), State::Closed);
    }
};

int main(int argc, char **argv) {
    TestEnv env;
    qputenv("VELMO_AUDIO_SINK", "fakesink sync=false");
    QApplication app(argc, argv);
    TestSessionNegotiation t;
    return QTest::qExec(&t, argc, argv);
}
#include "tst_session_negotiation.moc"

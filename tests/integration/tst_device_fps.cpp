// Frame rates above 30 on a fast link: velmo-remote-host shares the private X display,
// where a small picture moves 60 times a second, with the app's own viewer. The host
// reports how fast it could send this picture ("canFps"); a viewer that asks for 60 gets
// more than 30 frames a second when the host says it keeps up, in both video paths, and
// a viewer that asks for 30 still gets no more than 30 (what every viewer got before),
// and a machine too slow for 60 says so and keeps sending what it can.
// Figures (how far above 30, the picture's age) belong to bench_host_latency.
#include "config/AppConfig.h"
#include "session/RemoteSession.h"
#include "support/DevicePeers.h"
#include "support/TestEnv.h"
#include "support/ViewerObjects.h"

#include <QGuiApplication>
#include <QJsonDocument>
#include <QProcess>
#include <QTest>

#include <algorithm>
#include <memory>
#include <vector>

using State = RemoteSession::State;

namespace {
// A 320 × 240 ball moving 60 times a second in the top left corner of the display: the
// host's capture sees a change at every frame without the cost of a full-screen player.
class MovingBall {
public:
    MovingBall() {
        m_player.start(QStringLiteral("gst-launch-1.0"),
                       {"-q", "videotestsrc", "is-live=true", "pattern=ball", "motion=sweep", "!",
                        "video/x-raw,width=320,height=240,framerate=60/1", "!", "ximagesink", "sync=false"});
        m_player.waitForStarted(5000);
        QTest::qWait(1000); // its window is up
    }
    ~MovingBall() {
        m_player.kill();
        m_player.waitForFinished(3000);
    }
    bool ok() const { return m_player.state() == QProcess::Running; }

private:
    QProcess m_player;
};

// The host's "stats" over `ms`: the frame rates it says it sent, and what the viewer decoded.
struct Sent {
    std::vector<int> fps; // one per statistics message
    double received = 0;  // frames the viewer decoded, per second
    QJsonObject last;
    int median() const {
        if (fps.empty())
            return -1;
        std::vector<int> v = fps;
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    }
    int max() const { return fps.empty() ? -1 : *std::max_element(fps.begin(), fps.end()); }
    // Over the whole time: one message's count may hold a frame of the next second (the
    // statistics' timer is not exact).
    double mean() const {
        double sum = 0;
        for (int f : fps)
            sum += f;
        return fps.empty() ? -1 : sum / double(fps.size());
    }
    QByteArray describe() const {
        QByteArray out = "sent fps:";
        for (int f : fps)
            out += ' ' + QByteArray::number(f);
        out += "; received " + QByteArray::number(received, 'f', 1) + "/s; last stats " +
               QJsonDocument(last).toJson(QJsonDocument::Compact);
        return out;
    }
};

Sent watch(RemoteSession &s, int ms) {
    Sent out;
    const auto conn = QObject::connect(&s, &RemoteSession::statsChanged, &s,
                                       [&] { out.fps.push_back(s.stats().value("fps").toInt()); });
    const quint64 before = s.framesReceived();
    QTest::qWait(ms);
    out.received = double(s.framesReceived() - before) * 1000.0 / ms;
    QObject::disconnect(conn);
    out.last = s.stats();
    return out;
}
} // namespace

class TestDeviceFps : public QObject {
    Q_OBJECT
    ViewerObjects objects;
    std::unique_ptr<DevicePeers> peers;

    std::unique_ptr<RemoteSession> connect(const QString &mode, const Quality &q) {
        return objects.connected(*peers, mode, q);
    }

    // 30 as before, then 60 when the host keeps up.
    void thirtyThenSixty(const QString &mode) {
        MovingBall ball;
        QVERIFY(ball.ok());
        // Half the display's size: a picture a busy two-core machine encodes 60 times a second.
        Quality q{30, 0.5, 60, 6000};
        auto s = connect(mode, q);
        QVERIFY(s);
        QVERIFY(QTest::qWaitFor([&] { return s->framesReceived() > 0; }, 15000));
        // The host says how fast it could send this picture.
        QTRY_VERIFY_WITH_TIMEOUT(s->stats().value("canFps").toInt() > 0, 10000);
        QTest::qWait(1500);
        const Sent thirty = watch(*s, 4000);
        QVERIFY2(thirty.fps.size() >= 2, thirty.describe().constData());
        // The host counts its frames in windows of about a second, which stretch on a loaded
        // machine (32 in a window of 1.05 s); what the viewer receives is the exact measure.
        QVERIFY2(thirty.mean() <= 32 && thirty.received <= 31, thirty.describe().constData());
        QVERIFY2(thirty.max() <= 33, thirty.describe().constData());
        QVERIFY2(thirty.median() >= 3, thirty.describe().constData());

        const int can = s->stats().value("canFps").toInt();
        q.fps = 60;
        s->setQuality(q);
        QTest::qWait(2500); // the encoder for the new rate starts with a key frame
        const Sent sixty = watch(*s, 5000);
        qInfo("%s at 30: %s", qPrintable(mode), thirty.describe().constData());
        qInfo("%s at 60: %s", qPrintable(mode), sixty.describe().constData());
        QVERIFY2(sixty.fps.size() >= 3, sixty.describe().constData());
        // Never more than asked, whatever the host can do.
        QVERIFY2(sixty.mean() <= 61 && sixty.max() <= 63, sixty.describe().constData());
        if (can >= 50 && sixty.last.value("canFps").toInt() >= 50) {
            QVERIFY2(sixty.median() > 30, sixty.describe().constData());
            QVERIFY2(sixty.received > 30, sixty.describe().constData());
        } else {
            // A machine that cannot keep up: the picture keeps flowing at what it can, and
            // the host says what holds it back.
            qWarning("the host sustains only %d fps here: %s", can, sixty.describe().constData());
            QVERIFY2(sixty.median() >= 3, sixty.describe().constData());
        }
        s->close();
    }

private Q_SLOTS:
    void initTestCase() { QCOMPARE(objects.waitForWebRtc(), QString()); }

    void init() {
        peers = std::make_unique<DevicePeers>();
        peers->setHostSource(QStringLiteral("screen"));
        QVERIFY(peers->startServer());
        QVERIFY(peers->startHost());
        QVERIFY(peers->waitForDevice());
    }
    void cleanup() { peers.reset(); }

    void h264AtSixty() { thirtyThenSixty(QStringLiteral("h264")); }
    void jpegAtSixty() { thirtyThenSixty(QStringLiteral("jpeg")); }

    // A machine too slow for 60 (the test hooks add 25 ms to every frame's encoding): the
    // host says so, a viewer that asks for 60 all the same gets what the machine does,
    // the picture keeps coming, and the host says what holds it back.
    void sixtyFromAMachineThatCannotKeepUp() {
        peers = std::make_unique<DevicePeers>();
        peers->setHostSource(QStringLiteral("screen"));
        peers->setHostEnv(QStringLiteral("VELMO_HOST_ENCODE_COST_MS"), QStringLiteral("25"));
        QVERIFY(peers->startServer());
        QVERIFY(peers->startHost());
        QVERIFY(peers->waitForDevice());
        MovingBall ball;
        QVERIFY(ball.ok());
        Quality q{30, 0.5, 60, 6000};
        auto s = connect(QStringLiteral("h264"), q);
        QVERIFY(s);
        QVERIFY(QTest::qWaitFor([&] { return s->framesReceived() > 0; }, 15000));
        QTRY_VERIFY_WITH_TIMEOUT(s->stats().value("canFps").toInt() > 0, 10000);
        QTest::qWait(1500);
        const int can = s->stats().value("canFps").toInt();
        QVERIFY2(can > 0 && can < 50, qPrintable(QString::number(can)));

        q.fps = 60;
        s->setQuality(q);
        QTest::qWait(2500);
        const Sent sixty = watch(*s, 4000);
        qInfo("slow machine at 60: %s", sixty.describe().constData());
        QVERIFY2(sixty.fps.size() >= 3, sixty.describe().constData());
        // (What "keeps coming" means is loose: a loaded two-core CI machine with the 25 ms
        // added sends well under 40.)
        QVERIFY2(sixty.median() >= 3 && sixty.received >= 3, sixty.describe().constData());
        // No more than one frame every 25 ms, whatever was asked.
        QVERIFY2(sixty.mean() <= 41, sixty.describe().constData());
        QVERIFY2(sixty.last.value("canFps").toInt() < 50, sixty.describe().constData());
        QVERIFY2(!sixty.last.value("limit").toString().isEmpty(), sixty.describe().constData());
        // Still a session that answers: back to 30 is taken.
        q.fps = 30;
        s->setQuality(q);
        QTest::qWait(2500);
        const Sent back = watch(*s, 3000);
        QVERIFY2(back.median() >= 3 && back.mean() <= 31, back.describe().constData());
        s->close();
    }
};

int main(int argc, char **argv) {
    TestEnv env;
    QGuiApplication app(argc, argv);
    TestDeviceFps t;
    return QTest::qExec(&t, argc, argv);
}
#include "tst_device_fps.moc"

// Sound from a real host to the app's own viewer, through real sound servers. The test
// environment's PulseAudio (PULSE_SERVER, default sink `velmo_null`) is the host's; the
// test starts a second PulseAudio for the viewer, whose null sink `viewer_null` the
// viewer plays into. Tones are played on the host's server and recorded from the monitor
// of the viewer's sink; their frequency is found with a Goertzel filter.
#include "config/AppConfig.h"
#include "media/PeerConnectionFactory.h"
#include "session/RemoteSession.h"
#include "support/DevicePeers.h"
#include "support/TestEnv.h"
#include "support/ViewerObjects.h"
#include "support/WsSignalingPort.h"

#include <QDir>
#include <QGuiApplication>
#include <QJsonArray>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include <cmath>
#include <memory>

using State = RemoteSession::State;

namespace {
QString g_hostServer;   // the environment's PulseAudio
QString g_viewerServer; // the viewer's own, started here

// A GStreamer pipeline that runs as long as the object lives.
class Pipeline {
public:
    explicit Pipeline(const QString &description) {
        GError *err = nullptr;
        m_p = gst_parse_launch(description.toUtf8().constData(), &err);
        if (err)
            qWarning() << description << err->message;
        g_clear_error(&err);
        if (m_p)
            gst_element_set_state(m_p, GST_STATE_PLAYING);
    }
    ~Pipeline() {
        if (m_p) {
            gst_element_set_state(m_p, GST_STATE_NULL);
            gst_object_unref(m_p);
        }
    }
    GstElement *get() const { return m_p; }

private:
    GstElement *m_p = nullptr;
};

// A tone played into one sink of the host's sound server.
std::unique_ptr<Pipeline> playTone(double hz, const QString &sink) {
    return std::make_unique<Pipeline>(QStringLiteral("audiotestsrc is-live=true wave=sine freq=%1 volume=0.4 ! "
                                                     "audioconvert ! pulsesink server=%2 device=%3")
                                          .arg(hz)
                                          .arg(g_hostServer, sink));
}

struct Heard {
    double rms = 0;
    double powerAt(double hz) const {
        // Goertzel: the signal's power at one frequency.
        const double w = 2.0 * M_PI * hz / 48000.0;
        const double coeff = 2.0 * std::cos(w);
        double s1 = 0, s2 = 0;
        for (const qint16 v : samples) {
            const double s = v / 32768.0 + coeff * s1 - s2;
            s2 = s1;
            s1 = s;
        }
        const double n = double(samples.size());
        return (s1 * s1 + s2 * s2 - coeff * s1 * s2) / (n * n);
    }
    QList<qint16> samples;
};

// What the viewer played in the last `ms`: recorded from the monitor of its sink.
Heard listen(int ms) {
    Pipeline rec(QStringLiteral("pulsesrc server=%1 device=viewer_null.monitor ! audioconvert ! audioresample ! "
                                "audio/x-raw,format=S16LE,rate=48000,channels=1 ! appsink name=out sync=false")
                     .arg(g_viewerServer));
    Heard h;
    if (!rec.get())
        return h;
    GstElement *out = gst_bin_get_by_name(GST_BIN(rec.get()), "out");
    const qsizetype wanted = qsizetype(48 * ms);
    QElapsedTimer t;
    t.start();
    while (h.samples.size() < wanted && t.elapsed() < ms + 3000) {
        GstSample *sample = gst_app_sink_try_pull_sample(GST_APP_SINK(out), 100 * GST_MSECOND);
        if (!sample)
            continue;
        GstMapInfo map;
        GstBuffer *buf = gst_sample_get_buffer(sample);
        if (gst_buffer_map(buf, &map, GST_MAP_READ)) {
            const auto *p = reinterpret_cast<const qint16 *>(map.data);
            for (gsize i = 0; i < map.size / 2; ++i)
                h.samples.append(p[i]);
            gst_buffer_unmap(buf, &map);
        }
        gst_sample_unref(sample);
    }
    gst_object_unref(out);
    double sum = 0;
    for (const qint16 v : h.samples)
        sum += double(v) * v;
    h.rms = h.samples.isEmpty() ? 0 : std::sqrt(sum / double(h.samples.size())) / 32768.0;
    return h;
}

// Listens until the viewer plays `hz` clearly above the other test tones (or gives up).
bool hears(double hz, QString *why) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 15000) {
        const Heard h = listen(800);
        const double p = h.powerAt(hz);
        double other = 0;
        for (const double f : {440.0, 660.0, 880.0, 1320.0})
            if (std::abs(f - hz) > 1)
                other = std::max(other, h.powerAt(f));
        *why = QStringLiteral("rms %1, power at %2 Hz %3, strongest other %4").arg(h.rms).arg(hz).arg(p).arg(other);
        if (h.rms > 0.01 && p > 20 * other)
            return true;
        QTest::qWait(200);
    }
    return false;
}

bool silent(QString *why) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 10000) {
        const Heard h = listen(600);
        *why = QStringLiteral("rms %1").arg(h.rms);
        if (!h.samples.isEmpty() && h.rms < 0.002)
            return true;
    }
    return false;
}

std::unique_ptr<RemoteSession> connectViewer(ViewerObjects &objects, DevicePeers &peers) {
    auto s = objects.sessionTo(peers, peers.autoPasscode());
    s->setVolume(1.0); // the tone as sent
    s->start();
    return s;
}

bool pactl(const QStringList &args) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PULSE_SERVER"), g_hostServer);
    p.setProcessEnvironment(env);
    p.start(QStringLiteral("pactl"), args);
    return p.waitForFinished(10000) && p.exitCode() == 0;
}
} // namespace

class TestDeviceAudio : public QObject {
    Q_OBJECT
    ViewerObjects objects;

private:
    QTemporaryDir m_viewerDir;
    QProcess m_viewerPulse;

private Q_SLOTS:
    void initTestCase() {
        g_hostServer = qEnvironmentVariable("PULSE_SERVER");
        QVERIFY2(!g_hostServer.isEmpty(), "the test needs the environment's sound server (VELMO_TEST_SOUND)");
        // The viewer's own sound server, with its own null sink.
        const QString socket = m_viewerDir.path() + QStringLiteral("/pulse.sock");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), m_viewerDir.path());
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_viewerDir.path());
        // The host's server holds the session bus name of PulseAudio: this one goes without D-Bus.
        env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        m_viewerPulse.setProcessEnvironment(env);
        m_viewerPulse.setProcessChannelMode(QProcess::MergedChannels);
        m_viewerPulse.start(QStringLiteral("pulseaudio"),
                            {"-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit", "--use-pid-file=no",
                             "--load=module-native-protocol-unix socket=" + socket + " auth-anonymous=1",
                             "--load=module-null-sink sink_name=viewer_null"});
        QVERIFY(m_viewerPulse.waitForStarted(5000));
        g_viewerServer = QStringLiteral("unix:") + socket;
        QVERIFY(QTest::qWaitFor([&] { return QFile::exists(socket); }, 10000));
        // The viewer plays through its own server.
        qputenv("VELMO_AUDIO_SINK",
                QStringLiteral("pulsesink server=%1 device=viewer_null").arg(g_viewerServer).toUtf8());
        // A second sink on the host whose monitor stands for the microphone.
        QVERIFY(pactl({"load-module", "module-null-sink", "sink_name=velmo_mic"}));
        QVERIFY(pactl({"set-default-source", "velmo_mic.monitor"}));
        QVERIFY(pactl({"set-default-sink", "velmo_null"}));

        objects.config()->setVideoPref(QStringLiteral("h264")); // offers the audio section
        QCOMPARE(objects.waitForWebRtc(), QString());
    }

    void cleanupTestCase() {
        m_viewerPulse.kill();
        m_viewerPulse.waitForFinished(3000);
    }

    void systemSoundAndMicReachTheViewer() {
        DevicePeers peers;
        peers.setHostArgs({QStringLiteral("--source"), QStringLiteral("screen")});
        QVERIFY(peers.startServer());
        QVERIFY(peers.startHost());
        QVERIFY(peers.waitForDevice());
        QCOMPARE(peers.post("audio", {{"on", true}, {"source", "system"}}), 200);
        auto system = playTone(880, QStringLiteral("velmo_null"));
        auto mic = playTone(1320, QStringLiteral("velmo_mic"));

        auto s = connectViewer(objects, peers);
        QVERIFY2(QTest::qWaitFor([&] { return s->state() == State::Connected; }, 15000), qPrintable(s->failureText()));
        QVERIFY(s->audioAvailable());
        QString why;
        QVERIFY2(hears(880, &why), qPrintable(why));
        QTRY_COMPARE_WITH_TIMEOUT(peers.status().value("audioDevice").toString(), QStringLiteral("velmo_null.monitor"),
                                  5000);
        QCOMPARE(peers.status().value("audioError").toString(), QString());

        // The source changes during the session.
        QCOMPARE(peers.post("audio", {{"on", true}, {"source", "mic"}}), 200);
        QVERIFY2(hears(1320, &why), qPrintable(why));
        QTRY_COMPARE_WITH_TIMEOUT(peers.status().value("audioDevice").toString(), QStringLiteral("velmo_mic.monitor"),
                                  5000);

        // Off: the viewer is told, and hears nothing.
        QCOMPARE(peers.post("audio", {{"on", false}, {"source", "mic"}}), 200);
        QTRY_VERIFY_WITH_TIMEOUT(!s->audioAvailable(), 5000);
        QVERIFY2(silent(&why), qPrintable(why));
        QCOMPARE(peers.status().value("audioDevice").toString(), QString());
        // And on again.
        QCOMPARE(peers.post("audio", {{"on", true}, {"source", "system"}}), 200);
        QTRY_VERIFY_WITH_TIMEOUT(s->audioAvailable(), 5000);
        QVERIFY2(hears(880, &why), qPrintable(why));
        QCOMPARE(s->state(), State::Connected);
        s->close();
    }

    void testSourceSendsTheTone() {
        DevicePeers peers;
        peers.setHostArgs({QStringLiteral("--source"), QStringLiteral("test")});
        QVERIFY(peers.startServer());
        QVERIFY(peers.startHost());
        QVERIFY(peers.waitForDevice());
        QCOMPARE(peers.post("audio", {{"on", true}, {"source", "system"}}), 200);
        auto system = playTone(880, QStringLiteral("velmo_null"));
        auto s = connectViewer(objects, peers);
        QVERIFY2(QTest::qWaitFor([&] { return s->state() == State::Connected; }, 15000), qPrintable(s->failureText()));
        QString why;
        QVERIFY2(hears(440, &why), qPrintable(why));
        s->close();
    }

    void missingSoundServerDoesNotStall() {
        DevicePeers peers;
        peers.setHostArgs({QStringLiteral("--source"), QStringLiteral("screen")});
        peers.setHostEnv(QStringLiteral("PULSE_SERVER"), QStringLiteral("unix:/nonexistent/velmo/pulse.sock"));
        QVERIFY(peers.startServer());
        QVERIFY(peers.startHost());
        QVERIFY(peers.waitForDevice());
        QCOMPARE(peers.post("audio", {{"on", true}, {"source", "system"}}), 200);
        auto s = connectViewer(objects, peers);
        QVERIFY2(QTest::qWaitFor([&] { return s->state() == State::Connected; }, 15000), qPrintable(s->failureText()));
        QTRY_VERIFY_WITH_TIMEOUT(s->frameSize().width() > 0, 15000);
        QTRY_VERIFY_WITH_TIMEOUT(!peers.status().value("audioError").toString().isEmpty(), 10000);
        QCOMPARE(peers.status().value("audioDevice").toString(), QString());
        // The session goes on: statistics keep coming.
        QSignalSpy stats(s.get(), &RemoteSession::statsChanged);
        QTRY_VERIFY_WITH_TIMEOUT(stats.count() >= 2, 5000);
        QCOMPARE(s->state(), State::Connected);
        s->close();
    }
};

int main(int argc, char **argv) {
    TestEnv env;
    QGuiApplication app(argc, argv);
    gst_init(&argc, &argv);
    TestDeviceAudio t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_device_audio.moc"

// The viewer's microphone as the host's programs hear it. Two real sound servers: the
// agent plays into the test environment's PulseAudio, while the viewer (this process)
// records from a second PulseAudio started here, whose default source is the monitor of a
// null sink this process plays an 880 Hz sine into.
// The tone is looked for, by its frequency, in a recording of the session's virtual
// source on the agent's server. Without the host's `mic` right nothing is made; withdrawn,
// the device goes; after the session it is gone; one left by a killed agent is removed by
// the next agent.
#include "config/AppConfig.h"
#include "media/PeerConnectionFactory.h"
#include "session/RemoteSession.h"
#include "session/SessionExchange.h"
#include "support/DevicePeers.h"
#include "support/TestEnv.h"
#include "support/ViewerObjects.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include <cmath>

using State = RemoteSession::State;

namespace {
// pactl's output on `server`; `ok` tells whether it succeeded.
QString run(const QString &server, const QStringList &args, bool *ok = nullptr) {
    QProcess p;
    p.start(QStringLiteral("pactl"), QStringList{QStringLiteral("--server=") + server} + args);
    const bool done = p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    if (ok)
        *ok = done;
    return done ? QString::fromUtf8(p.readAllStandardOutput()) : QString();
}

bool succeeds(const QString &server, const QStringList &args) {
    bool ok = false;
    run(server, args, &ok);
    return ok;
}

// The virtual sources the agent made on its server (their names), and its modules with our prefix.
QStringList microphones(const QString &server) {
    QStringList names;
    for (const QString &line : run(server, {"list", "short", "sources"}).split(u'\n')) {
        const QString name = line.section(u'\t', 1, 1);
        if (name.startsWith(QLatin1String("velmo_mic_")) && name.endsWith(QLatin1String("_in")))
            names << name;
    }
    return names;
}

int modules(const QString &server) {
    return int(run(server, {"list", "short", "modules"}).count(QLatin1String("velmo_mic_")));
}

// A sound server of the viewer's own, its default source a sine of 880 Hz. (PulseAudio's
// own sine source runs far slower than real time on a loaded machine; a null sink's
// monitor keeps time.)
class ViewerSoundServer {
public:
    ~ViewerSoundServer() {
        if (m_tone) {
            gst_element_set_state(m_tone, GST_STATE_NULL);
            gst_object_unref(m_tone);
        }
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
    }
    bool start() {
        const QString run = m_dir.path() + QStringLiteral("/run");
        QDir().mkpath(run);
        QFile::setPermissions(run, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        m_server = QStringLiteral("unix:") + run + QStringLiteral("/pulse.sock");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), m_dir.path());
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), run);
        env.remove(QStringLiteral("PULSE_SERVER"));
        // The environment's server holds the one D-Bus name a server takes: this one goes without.
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=") + run + "/no-bus");
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(QStringLiteral("pulseaudio"),
                        {"-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit", "--use-pid-file=no",
                         "--load=module-native-protocol-unix socket=" + run + "/pulse.sock auth-anonymous=1",
                         "--load=module-null-sink sink_name=viewer_tone rate=48000"});
        if (!m_process.waitForStarted(5000))
            return false;
        if (!QTest::qWaitFor([&] { return succeeds(m_server, {"info"}); }, 15000) ||
            !succeeds(m_server, {"set-default-source", "viewer_tone.monitor"}))
            return false;
        // The tone plays into the sink whose monitor is the default source: what the
        // viewer's microphone hears.
        const QByteArray desc = "audiotestsrc is-live=true freq=880 volume=0.5 ! audioconvert ! pulsesink server=\"" +
                                m_server.toUtf8() + "\" device=viewer_tone";
        m_tone = gst_parse_launch(desc.constData(), nullptr);
        return m_tone && gst_element_set_state(m_tone, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE;
    }
    QString server() const { return m_server; }
    QString log() { return QString::fromUtf8(m_process.readAll()); }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    QString m_server;
    GstElement *m_tone = nullptr;
};

// The strongest frequency of one second recorded from `source` on `server`, from its
// zero crossings (a clean tone crosses twice per period), and its RMS level in dBFS.
struct Heard {
    double hz = 0;
    double db = -200;
};

Heard listen(const QString &server, const QString &source) {
    const QByteArray desc = "pulsesrc server=\"" + server.toUtf8() + "\" device=" + source.toUtf8() +
                            " ! audioconvert ! audioresample ! audio/x-raw,format=F32LE,channels=1,rate=48000 ! "
                            "appsink name=out sync=false max-buffers=50 drop=false";
    GstElement *pipeline = gst_parse_launch(desc.constData(), nullptr);
    if (!pipeline)
        return {};
    GstElement *sink = gst_bin_get_by_name(GST_BIN(pipeline), "out");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    QList<float> samples;
    const qint64 skip = 48000 / 2; // what the server had buffered, and the first packets
    const qint64 wanted = skip + 48000;
    while (samples.size() < wanted) {
        QCoreApplication::processEvents();
        GstSample *sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 5 * GST_SECOND);
        if (!sample)
            break;
        GstBuffer *buffer = gst_sample_get_buffer(sample);
        GstMapInfo map;
        if (buffer && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            const auto *f = reinterpret_cast<const float *>(map.data);
            for (gsize i = 0; i < map.size / sizeof(float); ++i)
                samples.append(f[i]);
            gst_buffer_unmap(buffer, &map);
        }
        gst_sample_unref(sample);
    }
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(sink);
    gst_object_unref(pipeline);
    if (samples.size() < wanted)
        return {};
    int crossings = 0;
    double squares = 0;
    for (qint64 i = skip; i < wanted; ++i) {
        squares += double(samples[i]) * samples[i];
        if (i > skip && (samples[i - 1] < 0) != (samples[i] < 0))
            ++crossings;
    }
    const double rms = std::sqrt(squares / 48000.0);
    return {crossings / 2.0, rms > 0 ? 20 * std::log10(rms) : -200};
}
} // namespace

class TestSessionMicrophone : public QObject {
    Q_OBJECT
    ViewerObjects objects;
    QString hostServer;

    QString hostSid(DevicePeers &peers) {
        const QJsonArray sessions = peers.status().value("sessions").toArray();
        return sessions.isEmpty() ? QString() : sessions.first().toObject().value("sid").toString();
    }
    int setMic(DevicePeers &peers, bool on) {
        return peers.post("perm",
                          {{"sid", hostSid(peers)}, {"input", true}, {"clip", true}, {"files", true}, {"mic", on}});
    }

private Q_SLOTS:
    void initTestCase() {
        hostServer = qEnvironmentVariable("PULSE_SERVER");
        if (hostServer.isEmpty())
            QSKIP("needs the private sound server of the test environment");
        if (QStandardPaths::findExecutable(QStringLiteral("pulseaudio")).isEmpty())
            QSKIP("needs pulseaudio for the viewer's own sound server");
    }

    // The tone at the viewer's microphone arrives at the host's virtual source, only with the right.
    void toneArrivesWithTheRight() {
        ViewerSoundServer viewerSound;
        QVERIFY2(viewerSound.start(), qPrintable(viewerSound.log()));
        DevicePeers peers;
        peers.setHostEnv(QStringLiteral("PULSE_SERVER"), hostServer);
        QVERIFY(peers.startServer() && peers.startHost() && peers.waitForDevice());
        // From here on this process (the viewer) records from its own server.
        qputenv("PULSE_SERVER", viewerSound.server().toUtf8());
        objects.config()->setServer(peers.serverUrl());
        objects.config()->setVideoPref(QStringLiteral("h264"));
        auto s = std::make_unique<RemoteSession>(peers.deviceId(), peers.autoPasscode(), QStringLiteral("Viewer"),
                                                 objects.context());
        QVERIFY(!s->micOn()); // off at the start of every session
        s->start();
        QVERIFY2(QTest::qWaitFor([&] { return s->state() == State::Connected; }, 30000), qPrintable(s->failureText()));

        // Without the right (the default): the switch sends nothing, nothing is made.
        QCOMPARE(peers.status().value("sessions").toArray().first().toObject().value("mic").toBool(true), false);
        s->setMicOn(true);
        QTest::qWait(2000);
        QVERIFY(!s->exchange()->micAllowed());
        QVERIFY(!s->micSending());
        QCOMPARE(modules(hostServer), 0);
        QVERIFY(microphones(hostServer).isEmpty());

        // With it, the tone is heard at the virtual source.
        QCOMPARE(setMic(peers, true), 200);
        QTRY_VERIFY_WITH_TIMEOUT(s->exchange()->micAllowed(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(s->micSending(), 15000);
        QTRY_COMPARE_WITH_TIMEOUT(microphones(hostServer).size(), 1, 15000);
        const QString source = microphones(hostServer).first();
        QVERIFY(peers.status().value("sessions").toArray().first().toObject().value("mic").toBool());
        // The host user is shown where the voice goes.
        QTRY_COMPARE_WITH_TIMEOUT(
            peers.status().value("sessions").toArray().first().toObject().value("micSource").toString(), source, 10000);
        // The viewer's source and the way there take a moment to start (seconds on a loaded
        // machine): one second after another is recorded until the tone is in one.
        Heard heard;
        QDeadlineTimer patience(20000);
        do {
            heard = listen(hostServer, source);
            qInfo("heard at %s: %.0f Hz, %.1f dBFS", qPrintable(source), heard.hz, heard.db);
        } while (std::abs(heard.hz - 880) >= 25 && !patience.hasExpired());
        QVERIFY2(std::abs(heard.hz - 880) < 25, qPrintable(QString::number(heard.hz)));
        QVERIFY2(heard.db > -30, qPrintable(QString::number(heard.db)));

        // The viewer switches it off: nothing more is sent, the host's microphone falls silent
        // (it stays, as the right does); on again, the tone comes back.
        s->setMicOn(false);
        QTRY_VERIFY_WITH_TIMEOUT(!s->micSending(), 10000);
        patience.setRemainingTime(20000);
        do {
            heard = listen(hostServer, source);
        } while (heard.db > -60 && !patience.hasExpired());
        QVERIFY2(heard.db <= -60, qPrintable(QString::number(heard.db)));
        QCOMPARE(microphones(hostServer), QStringList{source});
        s->setMicOn(true);
        patience.setRemainingTime(20000);
        do {
            heard = listen(hostServer, source);
        } while (std::abs(heard.hz - 880) >= 25 && !patience.hasExpired());
        QVERIFY2(std::abs(heard.hz - 880) < 25, qPrintable(QString::number(heard.hz)));

        // Withdrawn: the device goes (and the viewer stops recording).
        QCOMPARE(setMic(peers, false), 200);
        QTRY_VERIFY_WITH_TIMEOUT(microphones(hostServer).isEmpty(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!s->micSending(), 10000);
        QCOMPARE(peers.status().value("sessions").toArray().first().toObject().value("micSource").toString(),
                 QString());
        QCOMPARE(modules(hostServer), 0);

        // Given again, then the session ends: nothing is left behind.
        QCOMPARE(setMic(peers, true), 200);
        QTRY_COMPARE_WITH_TIMEOUT(microphones(hostServer).size(), 1, 15000);
        s->close();
        QTRY_VERIFY_WITH_TIMEOUT(microphones(hostServer).isEmpty(), 15000);
        QTRY_COMPARE_WITH_TIMEOUT(modules(hostServer), 0, 10000);
        s.reset();
        objects.factory()->waitForRetired();
    }

    // An agent killed with a viewer's microphone in use leaves the device; the next one removes it.
    void leftoversGoWithTheNextAgent() {
        ViewerSoundServer viewerSound;
        QVERIFY2(viewerSound.start(), qPrintable(viewerSound.log()));
        DevicePeers peers;
        peers.setHostEnv(QStringLiteral("PULSE_SERVER"), hostServer);
        QVERIFY(peers.startServer() && peers.startHost() && peers.waitForDevice());
        qputenv("PULSE_SERVER", viewerSound.server().toUtf8());
        objects.config()->setServer(peers.serverUrl());
        objects.config()->setVideoPref(QStringLiteral("h264"));
        auto s = std::make_unique<RemoteSession>(peers.deviceId(), peers.autoPasscode(), QStringLiteral("Viewer"),
                                                 objects.context());
        s->setMicOn(true);
        s->start();
        QVERIFY2(QTest::qWaitFor([&] { return s->state() == State::Connected; }, 30000), qPrintable(s->failureText()));
        QCOMPARE(setMic(peers, true), 200);
        QTRY_COMPARE_WITH_TIMEOUT(microphones(hostServer).size(), 1, 15000);
        s->close();
        s.reset();
        peers.killHost();
        QTest::qWait(500);
        QCOMPARE(microphones(hostServer).size(), 1); // nobody cleaned up after a killed agent
        QVERIFY(peers.startHost() && peers.waitForDevice());
        QTRY_VERIFY_WITH_TIMEOUT(microphones(hostServer).isEmpty(), 15000);
        QCOMPARE(modules(hostServer), 0);
        objects.factory()->waitForRetired();
    }
};

int main(int argc, char **argv) {
    TestEnv env;
    QApplication app(argc, argv);
    gst_init(nullptr, nullptr);
    TestSessionMicrophone t;
    return QTest::qExec(&t, argc, argv);
}
#include "tst_session_microphone.moc"

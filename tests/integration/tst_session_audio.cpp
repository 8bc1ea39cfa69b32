// Remote sound as the user hears it: a real device streams its test tone (a 440 Hz
// sine of amplitude 0.05) over H.264 + Opus, the session plays it through the
// system's sound server, and the test records the null sink's monitor. Full volume
// plays the tone as it was sent, half volume 6 dB lower, mute and zero are silence.
#include "config/AppConfig.h"
#include "media/PeerConnectionFactory.h"
#include "session/RemoteSession.h"
#include "support/DevicePeers.h"
#include "support/TestEnv.h"
#include "support/ViewerObjects.h"

#include <QApplication>
#include <QTest>

#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include <cmath>

using State = RemoteSession::State;

namespace {
// Records the default sink's monitor as mono floats.
class MonitorRecorder {
public:
    MonitorRecorder() {
        m_pipeline = gst_parse_launch("pulsesrc device=velmo_null.monitor ! audioconvert ! audioresample ! "
                                      "audio/x-raw,format=F32LE,channels=1,rate=48000 ! "
                                      "appsink name=out sync=false max-buffers=8 drop=true",
                                      nullptr);
        if (!m_pipeline)
            return;
        m_sink = gst_bin_get_by_name(GST_BIN(m_pipeline), "out");
        gst_element_set_state(m_pipeline, GST_STATE_PLAYING);
        // The source takes a while to connect to the sound server.
        if (GstSample *first = gst_app_sink_try_pull_sample(GST_APP_SINK(m_sink), 10 * GST_SECOND))
            gst_sample_unref(first);
        else
            g_clear_object(&m_sink);
    }
    ~MonitorRecorder() {
        if (m_sink)
            gst_object_unref(m_sink);
        if (m_pipeline) {
            gst_element_set_state(m_pipeline, GST_STATE_NULL);
            gst_object_unref(m_pipeline);
        }
    }
    bool ok() const { return m_sink != nullptr; }

    // RMS level in dBFS of the next `ms` of sound, after letting `settleMs` pass
    // (what was queued before a change); -200 for digital silence, NaN when nothing
    // could be recorded (so no comparison holds).
    double levelDb(int ms, int settleMs = 400) {
        pull(settleMs);
        double sum = 0;
        const qint64 n = pull(ms, &sum);
        if (n == 0)
            return std::nan("");
        const double rms = std::sqrt(sum / double(n));
        return rms > 0 ? 20 * std::log10(rms) : -200;
    }

private:
    qint64 pull(int ms, double *squares = nullptr) {
        qint64 samples = 0;
        const qint64 wanted = 48LL * ms;
        while (samples < wanted) {
            QCoreApplication::processEvents();
            GstSample *sample = gst_app_sink_try_pull_sample(GST_APP_SINK(m_sink), 2 * GST_SECOND);
            if (!sample)
                return samples;
            GstBuffer *buffer = gst_sample_get_buffer(sample);
            GstMapInfo map;
            if (buffer && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
                const auto *f = reinterpret_cast<const float *>(map.data);
                const gsize count = map.size / sizeof(float);
                for (gsize i = 0; i < count && squares; ++i)
                    *squares += double(f[i]) * double(f[i]);
                samples += qint64(count);
                gst_buffer_unmap(buffer, &map);
            }
            gst_sample_unref(sample);
        }
        return samples;
    }

    GstElement *m_pipeline = nullptr;
    GstElement *m_sink = nullptr;
};

// The tone's RMS: amplitude 0.05 / √2.
const double toneDb = 20 * std::log10(0.05 / std::sqrt(2.0));
} // namespace

class TestSessionAudio : public QObject {
    Q_OBJECT
    ViewerObjects objects;

private Q_SLOTS:
    void volumeMapsToLoudness() {
        if (qEnvironmentVariableIsEmpty("PULSE_SERVER"))
            QSKIP("needs the private sound server of the test environment");
        DevicePeers peers;
        // The device's test tone, not the sound server's own monitor (which the session plays into).
        peers.setHostArgs({QStringLiteral("--source"), QStringLiteral("test")});
        QVERIFY(peers.startServer() && peers.startHost() && peers.waitForDevice());
        QCOMPARE(peers.post("audio", {{"on", true}, {"source", "system"}}), 200);
        objects.config()->setServer(peers.serverUrl());
        objects.config()->setVideoPref(QStringLiteral("h264"));
        RemoteSession s(peers.deviceId(), peers.autoPasscode(), QStringLiteral("Viewer"), objects.context());
        s.setVolume(1.0);
        s.start();
        QVERIFY2(QTest::qWaitFor([&] { return s.state() == State::Connected; }, 15000), qPrintable(s.failureText()));
        QTRY_VERIFY_WITH_TIMEOUT(s.audioAvailable(), 10000);

        MonitorRecorder rec;
        QVERIFY(rec.ok());
        const double full = rec.levelDb(1000, 1500);
        qInfo("tone sent at %.1f dBFS; played at volume 1.0: %.1f dBFS", toneDb, full);
        QVERIFY2(std::abs(full - toneDb) < 2.0, qPrintable(QString::number(full)));

        s.setVolume(0.5);
        const double half = rec.levelDb(800);
        qInfo("volume 0.5: %.1f dBFS", half);
        QVERIFY2(std::abs(half - (toneDb - 6.02)) < 2.0, qPrintable(QString::number(half)));

        s.setMuted(true);
        QVERIFY(rec.levelDb(800) < -80);
        s.setMuted(false);
        s.setVolume(0.0);
        QVERIFY(rec.levelDb(800) < -80);
        // Above the range plays as full volume, never louder than sent.
        s.setVolume(3.0);
        const double above = rec.levelDb(800);
        QVERIFY2(std::abs(above - toneDb) < 2.0, qPrintable(QString::number(above)));
        s.close();
        objects.factory()->waitForRetired();
    }
};

int main(int argc, char **argv) {
    TestEnv env;
    QApplication app(argc, argv);
    gst_init(nullptr, nullptr);
    TestSessionAudio t;
    return QTest::qExec(&t, argc, argv);
}
#include "tst_session_audio.moc"

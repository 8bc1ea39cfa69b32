#include "media/PeerConnectionFactory.h"

#include "media/PeerConnection.h"
#include "webrtc/GstWebRtc.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QPointer>
#include <QThread>

#include <thread>

Q_LOGGING_CATEGORY(lcFactory, "velmo.webrtc.factory")

namespace {
// Worker thread: loads the plug-ins of a session and makes the DTLS agent
// generate the process's certificate. Returns the usable audio sink.
QString prepare() {
    QElapsedTimer t;
    t.start();
    for (const char *name :
         {"webrtcbin", "dtlsdec", "dtlsenc", "sctpdec", "nicesrc", "rtph264depay", "avdec_h264", "videoconvert",
          "appsink", "rtpopusdepay", "opusdec", "audioconvert", "audioresample", "volume", "queue", "fakesink"}) {
        GstElement *e = gst_element_factory_make(name, nullptr);
        if (!e) {
            qCWarning(lcFactory) << "GStreamer element missing:" << name;
            continue;
        }
        gst_object_unref(gst_object_ref_sink(e));
    }
    QString sink = qEnvironmentVariable("VELMO_AUDIO_SINK");
    if (sink.isEmpty()) {
        sink = QStringLiteral("fakesink sync=false");
        if (GstElement *e = gst_element_factory_make("autoaudiosink", nullptr)) {
            gst_object_ref_sink(e);
            // A sink that cannot open stalls the whole receive thread later.
            if (gst_element_set_state(e, GST_STATE_READY) == GST_STATE_CHANGE_SUCCESS)
                sink = QStringLiteral("autoaudiosink");
            gst_element_set_state(e, GST_STATE_NULL);
            gst_object_unref(e);
        }
    }
    qCInfo(lcFactory) << "WebRTC ready in" << t.elapsed() << "ms, audio sink" << sink;
    return sink;
}
} // namespace

PeerConnectionFactory::PeerConnectionFactory(QObject *parent) : QObject(parent) {}

PeerConnectionFactory::~PeerConnectionFactory() {
    // The worker touches this object until it has queued its report (which then is dropped).
    if (m_warmUp.joinable())
        m_warmUp.join();
    // Pipelines still winding down should not outlive the application object.
    waitForRetired(3000);
}

void PeerConnectionFactory::warmUp() {
    if (m_started)
        return;
    m_started = true;
    // Worker thread; joined by the destructor, reports back with a queued call.
    m_warmUp = std::thread([target = this] {
        QString error;
        QString sink;
        if (!GstWebRtc::init())
            error = GstWebRtc::error();
        else
            sink = prepare();
        {
            std::lock_guard guard(target->m_lock);
            target->m_audioSink = sink;
        }
        QMetaObject::invokeMethod(
            target, [target, error] { target->finishWarmUp(error); }, Qt::QueuedConnection);
    });
}

void PeerConnectionFactory::finishWarmUp(const QString &error) {
    m_ready = true;
    m_error = error;
    const auto waiting = std::exchange(m_waiting, {});
    for (const auto &fn : waiting)
        fn(error);
}

void PeerConnectionFactory::whenReady(QObject *context, std::function<void(QString)> done) {
    QPointer<QObject> guard(context);
    auto call = [guard, done = std::move(done)](const QString &error) {
        if (guard)
            done(error);
    };
    if (m_ready) {
        QMetaObject::invokeMethod(
            this, [call, error = m_error] { call(error); }, Qt::QueuedConnection);
        return;
    }
    m_waiting.push_back(std::move(call));
    warmUp();
}

QString PeerConnectionFactory::audioSink() const {
    std::lock_guard guard(m_lock);
    return m_audioSink.isEmpty() ? QStringLiteral("fakesink sync=false") : m_audioSink;
}

void PeerConnectionFactory::retire(std::shared_ptr<PeerConnection> pc) {
    if (!pc)
        return;
    pc->shutdown();
    ++*m_retiring;
    std::thread([retiring = m_retiring, pc = std::move(pc)]() mutable {
        pc->teardown();
        pc.reset();
        --*retiring;
    }).detach();
}

bool PeerConnectionFactory::waitForRetired(int timeoutMs) {
    QElapsedTimer t;
    t.start();
    while (m_retiring->load() > 0 && t.elapsed() < timeoutMs)
        QThread::msleep(5);
    return m_retiring->load() == 0;
}

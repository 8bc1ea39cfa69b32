#include "audio/ViewerMicrophone.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QPointer>
#include <QThreadPool>

#include <utility>

Q_LOGGING_CATEGORY(lcViewerMic, "velmo.audio.viewermic")

namespace {
// What the decoded branch gives and the playing takes.
constexpr const char *kVoiceCaps = "audio/x-raw,format=S16LE,rate=48000,channels=2,layout=interleaved";
} // namespace

ViewerMicrophone::ViewerMicrophone(GstElement *pipeline, std::shared_ptr<const VirtualMicrophone> devices,
                                   const QString &id, QObject *parent)
    : QObject(parent), m_pipeline(pipeline), m_devices(std::move(devices)), m_id(id) {}

ViewerMicrophone::~ViewerMicrophone() {
    stop();
}

bool ViewerMicrophone::link(GstPad *pad) {
    if (m_linked.exchange(true))
        return false; // one voice per session; a second track stays unlinked
    const QByteArray desc = QByteArray("queue ! rtpopusdepay ! opusdec plc=true ! audioconvert ! audioresample ! ") +
                            kVoiceCaps + " ! appsink name=voice sync=false async=false max-buffers=50 drop=true";
    GError *err = nullptr;
    GstElement *bin = gst_parse_bin_from_description(desc.constData(), TRUE, &err);
    if (!bin) {
        qCWarning(lcViewerMic) << "voice branch:" << (err ? err->message : "?");
        g_clear_error(&err);
        return false;
    }
    GstElement *sink = gst_bin_get_by_name(GST_BIN(bin), "voice");
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = onSample;
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, this, nullptr);
    gst_object_unref(sink);
    gst_bin_add(GST_BIN(m_pipeline), bin);
    gst_element_sync_state_with_parent(bin);
    GstPad *in = gst_element_get_static_pad(bin, "sink");
    const bool ok = gst_pad_link(pad, in) == GST_PAD_LINK_OK;
    gst_object_unref(in);
    if (!ok)
        qCWarning(lcViewerMic) << "voice branch does not link";
    QMetaObject::invokeMethod(this, &ViewerMicrophone::voiceArrived, Qt::QueuedConnection);
    return ok;
}

// Streaming thread of the decoded branch: hands the samples to the playing, if any,
// stamped anew there (the two pipelines keep different times).
GstFlowReturn ViewerMicrophone::onSample(GstAppSink *sink, gpointer data) {
    auto *self = static_cast<ViewerMicrophone *>(data);
    GstSample *sample = gst_app_sink_pull_sample(sink);
    if (!sample)
        return GST_FLOW_OK;
    {
        std::lock_guard lock(self->m_pushLock);
        if (GstBuffer *buffer = self->m_appsrc ? gst_sample_get_buffer(sample) : nullptr) {
            buffer = gst_buffer_make_writable(gst_buffer_ref(buffer));
            GST_BUFFER_PTS(buffer) = GST_CLOCK_TIME_NONE;
            GST_BUFFER_DTS(buffer) = GST_CLOCK_TIME_NONE;
            gst_app_src_push_buffer(GST_APP_SRC(self->m_appsrc), buffer);
        }
    }
    gst_sample_unref(sample);
    return GST_FLOW_OK;
}

void ViewerMicrophone::voiceArrived() {
    m_voice = true;
    update();
}

void ViewerMicrophone::setAllowed(bool on) {
    m_allowed = on;
    update();
}

void ViewerMicrophone::setFlowing(bool on) {
    m_flowing = on;
    update();
}

void ViewerMicrophone::stop() {
    m_stopped = true;
    update();
}

void ViewerMicrophone::update() {
    if (!wanted()) {
        // Withdrawn or over: silent at once, the device goes behind.
        stopPlayback();
        if (m_device) {
            m_device.reset();
            report({});
        }
    }
    reconcile(wanted());
}

void ViewerMicrophone::reconcile(bool want) {
    if (!m_devices || want == m_wantSent)
        return;
    m_wantSent = want;
    m_shared->want = want;
    // Worker thread: the sound server may take its time.
    QThreadPool::globalInstance()->start(
        [shared = m_shared, devices = m_devices, id = m_id, self = QPointer<ViewerMicrophone>(this)] {
            std::lock_guard lock(shared->mutex);
            if (!shared->want && shared->exists) {
                devices->remove(id);
                shared->exists = false;
            } else if (shared->want && !shared->exists) {
                const Result<VirtualMicrophone::Device> made = devices->create(id);
                shared->exists = made.ok();
                QMetaObject::invokeMethod(
                    qApp,
                    [self, made] {
                        if (self)
                            self->created(made);
                    },
                    Qt::QueuedConnection);
            }
        });
}

void ViewerMicrophone::created(const Result<VirtualMicrophone::Device> &device) {
    // No longer wanted: the job that followed removes it.
    if (!wanted())
        return;
    if (!device.ok()) {
        qCWarning(lcViewerMic).noquote() << "no virtual microphone:" << device.error.message;
        report(device.error.message);
        return;
    }
    m_device = device.value;
    stopPlayback();
    startPlayback(m_device->sink);
}

void ViewerMicrophone::startPlayback(const QString &sink) {
    const QByteArray desc = QByteArray("appsrc name=in is-live=true format=time do-timestamp=true caps=\"") +
                            kVoiceCaps +
                            "\" ! queue max-size-time=300000000 leaky=downstream ! audioconvert ! audioresample ! "
                            "pulsesink name=out sync=false client-name=\"Velmo Remote\"";
    GError *err = nullptr;
    GstElement *playback = gst_parse_launch(desc.constData(), &err);
    if (!playback) {
        qCWarning(lcViewerMic) << "voice playback:" << (err ? err->message : "?");
        g_clear_error(&err);
        report(QStringLiteral("仮想マイクに再生できません"));
        return;
    }
    g_clear_error(&err);
    GstElement *out = gst_bin_get_by_name(GST_BIN(playback), "out");
    g_object_set(out, "device", sink.toUtf8().constData(), nullptr);
    gst_object_unref(out);
    if (gst_element_set_state(playback, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        gst_element_set_state(playback, GST_STATE_NULL);
        gst_object_unref(playback);
        report(QStringLiteral("仮想マイクに再生できません"));
        return;
    }
    m_playback = playback;
    std::lock_guard lock(m_pushLock);
    m_appsrc = gst_bin_get_by_name(GST_BIN(playback), "in");
    gst_object_unref(m_appsrc); // the pipeline holds it
    // A sound server that stops taking the voice drops the oldest of it, never grows.
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(m_appsrc), "leaky-type"))
        gst_util_set_object_arg(G_OBJECT(m_appsrc), "leaky-type", "downstream");
    qCInfo(lcViewerMic).noquote() << "the viewer's voice plays into" << sink;
    report({});
}

void ViewerMicrophone::stopPlayback() {
    {
        std::lock_guard lock(m_pushLock);
        m_appsrc = nullptr;
    }
    if (GstElement *playback = std::exchange(m_playback, nullptr)) {
        gst_element_set_state(playback, GST_STATE_NULL);
        gst_object_unref(playback);
    }
}

void ViewerMicrophone::report(const QString &error) {
    m_error = error;
    Q_EMIT deviceChanged();
}

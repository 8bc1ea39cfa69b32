#include "webrtc/AudioTrack.h"

#include "webrtc/WebrtcTrack.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QPointer>

#include <thread>
#include <utility>

Q_LOGGING_CATEGORY(lcAudio, "velmo.audio")

namespace {
const char *const kHeadKey = "velmo-audio-head";
// The worker's open reports back in at most this long, or the track stays silent.
constexpr int kOpenTimeoutMs = 8000;
} // namespace

AudioTrack::AudioTrack(GstElement *pipeline, std::shared_ptr<const AudioSource> source, QObject *parent)
    : QObject(parent), m_pipeline(pipeline), m_source(std::move(source)) {
    m_openTimeout.setSingleShot(true);
    m_openTimeout.setInterval(kOpenTimeoutMs);
    connect(&m_openTimeout, &QTimer::timeout, this, [this] {
        if (!m_opening)
            return;
        // The worker may still come back; its answer is stale by then.
        m_opening = false;
        ++m_generation;
        qCWarning(lcAudio) << "sound server did not answer; sending silence";
        report({}, QStringLiteral("サウンドサーバーが応答しません(無音を送ります)"));
    });
}

AudioTrack::~AudioTrack() {
    ++m_generation;
}

// Streaming thread of the head. The tail must never see the end of a stream: a head
// that stops (error, removal) is replaced, the track goes on.
GstPadProbeReturn AudioTrack::dropEos(GstPad *, GstPadProbeInfo *info, gpointer) {
    GstEvent *ev = GST_PAD_PROBE_INFO_EVENT(info);
    return ev && GST_EVENT_TYPE(ev) == GST_EVENT_EOS ? GST_PAD_PROBE_DROP : GST_PAD_PROBE_OK;
}

bool AudioTrack::addTo(GstElement *webrtc, int pt, const QByteArray &offerCaps) {
    const QByteArray rtpCaps =
        "application/x-rtp,media=audio,encoding-name=OPUS,clock-rate=48000,payload=" + QByteArray::number(pt);
    const QByteArray desc = "valve name=gate drop=true drop-mode=forward-sticky-events ! audioconvert ! "
                            "audioresample ! audio/x-raw,rate=48000,channels=2 ! opusenc ! rtpopuspay ! "
                            "capsfilter caps=\"" +
                            rtpCaps + "\"";
    GError *err = nullptr;
    GstElement *bin = gst_parse_bin_from_description(desc.constData(), TRUE, &err);
    if (!bin) {
        qCWarning(lcAudio) << "opus branch:" << (err ? err->message : "?");
        g_clear_error(&err);
        return false;
    }
    gst_bin_add(GST_BIN(m_pipeline), bin);
    m_tail = bin;
    m_gate = gst_bin_get_by_name(GST_BIN(bin), "gate");
    gst_object_unref(m_gate);
    GstPad *tailSink = gst_element_get_static_pad(bin, "sink");
    gst_pad_add_probe(tailSink, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, dropEos, nullptr, nullptr);
    gst_object_unref(tailSink);

    const bool ok = WebrtcTrack::link(bin, webrtc, rtpCaps, false, true, offerCaps);
    // A pipeline that already plays (the viewer's) takes the track at once; one that does
    // not yet (the agent's) starts it with everything else.
    gst_element_sync_state_with_parent(bin);
    if (ok)
        useSilence();
    return ok;
}

void AudioTrack::setFlowing(bool on) {
    m_flowing = on;
    update();
}

void AudioTrack::stop() {
    m_stopped = true;
    ++m_generation;
    m_opening = false;
    m_openTimeout.stop();
    if (m_gate)
        g_object_set(m_gate, "drop", TRUE, nullptr);
}

void AudioTrack::setOn(bool on) {
    m_on = on;
    update();
}

void AudioTrack::setKind(const QString &kind) {
    if (kind == m_kind)
        return;
    m_kind = kind;
    update();
}

void AudioTrack::update() {
    if (m_stopped)
        return;
    if (m_gate)
        g_object_set(m_gate, "drop", !active(), nullptr);
    if (!m_tail)
        return;
    if (!active()) {
        // Nothing is recorded while nobody may hear it: the microphone is released too.
        ++m_generation;
        m_opening = false;
        m_openTimeout.stop();
        if (m_headIsSource)
            useSilence();
        report({}, {});
        return;
    }
    const bool current = m_headIsSource && m_openKind == m_kind;
    if (current || (m_opening && m_openKind == m_kind))
        return;
    open();
}

void AudioTrack::open() {
    const quint64 generation = ++m_generation;
    m_opening = true;
    m_openKind = m_kind;
    m_openTimeout.start();
    if (m_headIsSource)
        useSilence();
    // A sound server that hangs would hold this thread, never the session.
    std::thread([source = m_source, kind = m_kind, self = QPointer<AudioTrack>(this), generation] {
        AudioSource::Opened o = source ? source->open(kind) : AudioSource::Opened{};
        QMetaObject::invokeMethod(
            qApp,
            [self, generation, o] {
                if (self)
                    self->opened(generation, o.element, o.device, o.error);
                else if (o.element)
                    gst_object_unref(o.element);
            },
            Qt::QueuedConnection);
    }).detach();
}

void AudioTrack::opened(quint64 generation, GstElement *element, const QString &device, const QString &error) {
    if (generation != m_generation || !active()) {
        if (element)
            gst_object_unref(element);
        return;
    }
    m_opening = false;
    m_openTimeout.stop();
    if (!element) {
        qCWarning(lcAudio).noquote() << m_kind << "audio unavailable, sending silence:" << error;
        report({}, error + QStringLiteral("(無音を送ります)"));
        return;
    }
    useHead(element);
    m_headIsSource = true;
    qCInfo(lcAudio).noquote() << "capturing" << m_kind << "from" << device;
    report(device, {});
}

void AudioTrack::useSilence() {
    GstElement *silence = gst_element_factory_make("audiotestsrc", nullptr);
    if (!silence)
        return;
    gst_object_ref_sink(silence);
    g_object_set(silence, "is-live", TRUE, "do-timestamp", TRUE, nullptr);
    gst_util_set_object_arg(G_OBJECT(silence), "wave", "silence");
    useHead(silence);
    m_headIsSource = false;
}

void AudioTrack::useHead(GstElement *element) {
    if (GstElement *old = std::exchange(m_head, nullptr)) {
        // Out of the pipeline first: its pushes then fail at once instead of waiting on the
        // track, and what it posts about losing its peer reaches no bus. Then it stops.
        gst_object_ref(old);
        gst_bin_remove(GST_BIN(m_pipeline), old);
        gst_element_set_state(old, GST_STATE_NULL);
        gst_object_unref(old);
    }
    g_object_set_data(G_OBJECT(element), kHeadKey, this);
    gst_bin_add(GST_BIN(m_pipeline), element);
    gst_object_unref(element); // the pipeline's reference remains
    if (!gst_element_link(element, m_tail)) {
        qCWarning(lcAudio) << "audio source does not link";
        gst_element_set_state(element, GST_STATE_NULL);
        gst_bin_remove(GST_BIN(m_pipeline), element);
        return;
    }
    m_head = element;
    gst_element_sync_state_with_parent(element);
}

bool AudioTrack::takeError(GstMessage *msg) {
    GstObject *src = GST_MESSAGE_SRC(msg);
    if (!src || g_object_get_data(G_OBJECT(src), kHeadKey) != this)
        return false;
    GError *err = nullptr;
    gst_message_parse_error(msg, &err, nullptr);
    const QString text = QString::fromUtf8(err ? err->message : "");
    g_clear_error(&err);
    if (GST_ELEMENT(src) != m_head || !m_headIsSource)
        return true; // from a head already replaced
    qCWarning(lcAudio).noquote() << m_kind << "audio failed, sending silence:" << text;
    useSilence();
    report({}, QStringLiteral("音声の取り込みが止まりました(無音を送ります)"));
    return true;
}

void AudioTrack::report(const QString &device, const QString &error) {
    if (device == m_device && error == m_error)
        return;
    m_device = device;
    m_error = error;
    Q_EMIT captureChanged();
}

#include "device/DeviceSession.h"

#include "audio/ViewerMicrophone.h"
#include "capture/VideoSource.h"
#include "device/DeviceLockout.h"
#include "device/HookTraffic.h"
#include "device/MonitorWindows.h"
#include "device/SessionChannels.h"
#include "device/SessionVideo.h"
#include "device/ViewerExchange.h"
#include "input/InputInjector.h"
#include "input/RemoteInput.h"
#include "network/LinkRate.h"
#include "protocol/Json.h"
#include "protocol/PasscodeProof.h"
#include "protocol/ctrl/AudioStateMessage.h"
#include "protocol/ctrl/AuthFailMessage.h"
#include "protocol/ctrl/AuthMessage.h"
#include "protocol/ctrl/AuthOkMessage.h"
#include "protocol/ctrl/ChallengeMessage.h"
#include "protocol/ctrl/CtrlMessage.h"
#include "protocol/ctrl/FrameAckMessage.h"
#include "protocol/ctrl/LockedMessage.h"
#include "protocol/ctrl/PermMessage.h"
#include "protocol/ctrl/PingMessage.h"
#include "protocol/ctrl/QualityRequest.h"
#include "protocol/ctrl/RecordingMessage.h"
#include "protocol/ctrl/SelectMessage.h"
#include "protocol/ctrl/StillMessage.h"
#include "protocol/ctrl/WindowEndMessage.h"
#include "protocol/ctrl/WindowMessage.h"
#include "webrtc/AudioTrack.h"
#include "webrtc/GstWebRtc.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QThreadPool>

#include <gst/sdp/sdp.h>

#include <cmath>

Q_LOGGING_CATEGORY(lcDevice, "velmo.device")

namespace {
constexpr int kAuthTimeoutMs = 60 * 1000;
constexpr int kRefusedLingerMs = 5 * 60 * 1000;
constexpr int kIceGraceMs = 8 * 1000;
// A refused viewer hears why over signaling before its channels close.
constexpr int kRefusalCloseDelayMs = 1000;
constexpr qint64 kMaxInputLog = 1024 * 1024;

// The payload type the offer gives to `encoding` in its first m-line of `media`, or 0.
int offeredPayload(const GstSDPMessage *sdp, const char *media, const char *encoding) {
    for (guint i = 0; i < gst_sdp_message_medias_len(sdp); ++i) {
        const GstSDPMedia *m = gst_sdp_message_get_media(sdp, i);
        if (g_strcmp0(gst_sdp_media_get_media(m), media) != 0)
            continue;
        int fallback = 0;
        for (guint f = 0; f < gst_sdp_media_formats_len(m); ++f) {
            const int pt = atoi(gst_sdp_media_get_format(m, f));
            GstCaps *caps = gst_sdp_media_get_caps_from_media(m, pt);
            if (!caps)
                continue;
            const GstStructure *s = gst_caps_get_structure(caps, 0);
            const char *enc = gst_structure_get_string(s, "encoding-name");
            const char *mode = gst_structure_get_string(s, "packetization-mode");
            const bool match = enc && g_ascii_strcasecmp(enc, encoding) == 0;
            const bool preferred = match && (g_strcmp0(encoding, "H264") != 0 || g_strcmp0(mode, "1") == 0);
            gst_caps_unref(caps);
            if (preferred)
                return pt;
            if (match && !fallback)
                fallback = pt;
        }
        return fallback;
    }
    return 0;
}

// The header-extension id the offer gives to `uri` in its first m-line of `media`, or 0.
int offeredExtension(const GstSDPMessage *sdp, const char *media, const char *uri) {
    for (guint i = 0; i < gst_sdp_message_medias_len(sdp); ++i) {
        const GstSDPMedia *m = gst_sdp_message_get_media(sdp, i);
        if (g_strcmp0(gst_sdp_media_get_media(m), media) != 0)
            continue;
        for (guint a = 0; a < gst_sdp_media_attributes_len(m); ++a) {
            const GstSDPAttribute *attr = gst_sdp_media_get_attribute(m, a);
            if (g_strcmp0(attr->key, "extmap") != 0 || !attr->value)
                continue;
            // "ID[/direction] URI [attributes]"
            const QList<QByteArray> parts = QByteArray(attr->value).simplified().split(' ');
            if (parts.size() >= 2 && parts[1] == uri) {
                const int id = parts[0].split('/').first().toInt();
                if (id >= 1 && id <= 14)
                    return id;
            }
        }
        return 0;
    }
    return 0;
}

} // namespace

// Shared with webrtcbin's threads: they only reach the session while `session` is set.
// Every object whose signals carry it keeps it alive (keepAlive), so a callback that
// comes late — during or after the pipeline's shutdown — never touches freed memory.
struct DeviceSession::Guard : std::enable_shared_from_this<Guard> {
    void keepAlive(gpointer object) {
        g_object_set_data_full(G_OBJECT(object), "velmo-session-guard", new std::shared_ptr<Guard>(shared_from_this()),
                               [](gpointer p) { delete static_cast<std::shared_ptr<Guard> *>(p); });
    }

    std::mutex mutex;
    DeviceSession *session = nullptr;
    // Viewer messages handed to the main thread and not yet handled: a flooding viewer
    // loses messages instead of growing the queue.
    std::atomic<int> pending{0};
    // Set while a release of the viewer's keys, for input lost to a flood, is on its way.
    std::atomic<bool> releaseQueued{false};
    // Bytes of "file" messages handed to the main thread and not yet handled. A viewer
    // keeps at most a few MiB of a file unacknowledged; beyond fileBytesLimit messages
    // are dropped, and the transfer they belong to fails on the gap.
    std::atomic<qint64> fileBytes{0};
};

namespace {
constexpr int kMaxPendingMessages = 256;
constexpr qint64 kFileBytesLimit = 32 * 1024 * 1024;

PasscodeChallenge::Options challengeOptions(const DeviceSession::Options &options) {
    return {options.passcodes, options.lockout, options.iterations, options.proofKeys, options.hooks.wrongFingerprint};
}
} // namespace

DeviceSession::DeviceSession(const QString &sid, const QString &viewer, Options options, QObject *parent)
    : QObject(parent), m_sid(sid), m_viewer(viewer), m_since(QDateTime::currentSecsSinceEpoch()),
      m_options(std::move(options)), m_guard(std::make_shared<Guard>()), m_proof(challengeOptions(m_options)) {
    m_guard->session = this;
    m_channels = std::make_unique<SessionChannels>(m_guard.get());
    m_exchange = std::make_unique<ViewerExchange>(m_channels.get());
    connect(m_exchange.get(), &ViewerExchange::clipboardFromViewer, this, &DeviceSession::clipboardFromViewer);
    connect(m_exchange.get(), &ViewerExchange::transfersChanged, this, &DeviceSession::activityChanged);
    connect(m_exchange.get(), &ViewerExchange::clipboardImageFromViewer, this,
            &DeviceSession::clipboardImageFromViewer);
    connect(m_exchange.get(), &ViewerExchange::clipboardFilesFromViewer, this,
            &DeviceSession::clipboardFilesFromViewer);
    m_clock.start();
    m_startedAt = m_clock.msecsSinceReference();
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, [this] { lost(QStringLiteral("timeout")); });
    m_iceGrace.setSingleShot(true);
    m_iceGrace.setInterval(kIceGraceMs);
    connect(&m_iceGrace, &QTimer::timeout, this, [this] { lost(QStringLiteral("ice disconnected")); });
    m_askTimer.setSingleShot(true);
    connect(&m_askTimer, &QTimer::timeout, this, [this] {
        qCInfo(lcDevice) << m_sid << "nobody answered the request in time";
        refuseAsk(QStringLiteral("接続の許可を待ちましたが、応答がありませんでした"));
    });
    connect(&m_path, &SessionPath::silent, this, [this] { lost(QStringLiteral("viewer silent")); });
    connect(&m_path, &SessionPath::pathChanged, this, &DeviceSession::pathChanged);
}

DeviceSession::~DeviceSession() {
    teardown();
}

void DeviceSession::teardown() {
    if (m_tornDown)
        return;
    m_tornDown = true;
    {
        std::lock_guard lock(m_guard->mutex);
        m_guard->session = nullptr;
    }
    m_path.stop();
    if (m_video)
        m_video->stop();
    if (m_windows)
        m_windows->stopAll();
    m_input.reset();
    m_exchange->stop(QStringLiteral("接続が切れました"));
    if (m_busWatch)
        g_source_remove(m_busWatch);
    m_busWatch = 0;
    if (m_pipeline) {
        GstWebRtc::releaseBlockedSends(m_webrtc);
        gst_element_set_state(m_pipeline, GST_STATE_NULL);
    }
    // The sources push into the pipeline from other threads: they go once it has stopped.
    m_video.reset();
    m_windows.reset();
    m_audio.reset();
    m_mic.reset();
    m_channels->clear();
    if (m_webrtc)
        g_signal_handlers_disconnect_by_data(m_webrtc, m_guard.get());
    if (m_pipeline)
        gst_object_unref(m_pipeline);
    m_pipeline = nullptr;
    m_webrtc = nullptr;
}

bool DeviceSession::start(const QString &offerSdp) {
    GstSDPMessage *offer = nullptr;
    if (gst_sdp_message_new_from_text(offerSdp.toUtf8().constData(), &offer) != GST_SDP_OK || !offer)
        return false;
    if (gst_sdp_message_medias_len(offer) == 0) {
        gst_sdp_message_free(offer);
        return false;
    }
    m_offerSdp = offerSdp;
    m_h264Pt = offeredPayload(offer, "video", "H264");
    m_opusPt = offeredPayload(offer, "audio", "OPUS");
    // Without the viewer's congestion feedback (or with the fixed_rate hook) the encoder
    // keeps the viewer's kbps.
    m_twccExt = m_options.hooks.fixedRate ? 0 : offeredExtension(offer, "video", LinkRate::twccUri);

    m_pipeline = gst_pipeline_new(nullptr);
    m_webrtc = GstWebRtc::createWebRtcBin(nullptr, m_options.iceAddresses);
    if (!m_webrtc) {
        gst_sdp_message_free(offer);
        return false;
    }
    gst_bin_add(GST_BIN(m_pipeline), m_webrtc);
    GstWebRtc::applyIceServers(m_webrtc, m_options.iceUrls, m_options.iceUsername, m_options.iceCredential);

    Guard *g = m_guard.get();
    g->keepAlive(m_webrtc);
    g_signal_connect(m_webrtc, "on-ice-candidate", G_CALLBACK(onIceCandidate), g);
    g_signal_connect(m_webrtc, "on-data-channel", G_CALLBACK(onDataChannel), g);
    g_signal_connect(m_webrtc, "notify::connection-state", G_CALLBACK(onConnectionState), g);
    g_signal_connect(m_webrtc, "notify::ice-connection-state", G_CALLBACK(onIceState), g);
    g_signal_connect(m_webrtc, "pad-added", G_CALLBACK(onPadAdded), g);

    std::unique_ptr<VideoSource> source = m_options.makeVideo ? m_options.makeVideo(m_pipeline) : nullptr;
    if (!source) {
        qCWarning(lcDevice) << m_sid << "no picture to send";
        gst_sdp_message_free(offer);
        return false;
    }
    m_video = std::make_unique<SessionVideo>(std::move(source), m_channels.get());
    m_video->setBadChunks(m_options.hooks.badChunks);
    m_video->setPaced(!m_options.hooks.fixedRate);
    m_video->setRelayProbe([this] {
        m_path.update(m_webrtc);
        return m_path.relay();
    });
    connect(m_video.get(), &SessionVideo::ctrl, this, &DeviceSession::sendCtrl);
    connect(m_video.get(), &SessionVideo::statsSent, this, &DeviceSession::statsSent);
    // Display windows: pictures of their own from the same kind of source, JPEG only.
    m_windows = std::make_unique<MonitorWindows>(
        [this]() -> std::unique_ptr<VideoSource> {
            return m_options.makeVideo ? m_options.makeVideo(m_pipeline) : nullptr;
        },
        m_channels.get());
    m_windows->setPaced(!m_options.hooks.fixedRate);
    connect(m_windows.get(), &MonitorWindows::ctrl, this, &DeviceSession::sendCtrl);
    // The displays changed: the viewer learns the new list the way it learnt the first.
    connect(m_video->source(), &VideoSource::monitorsChanged, this, [this] {
        if (m_phase == Phase::Authed)
            sendAuthOk();
    });
    bool media = m_video->build(m_webrtc, m_h264Pt, m_twccExt);
    // The audio track is set up whenever it is offered, so that the host can switch audio on later.
    if (media && m_opusPt > 0) {
        m_audio = std::make_unique<AudioTrack>(m_pipeline, m_options.audioSource);
        m_audio->setOn(m_options.audioOn);
        m_audio->setKind(m_options.audioKind);
        connect(m_audio.get(), &AudioTrack::captureChanged, this, &DeviceSession::audioCaptureChanged);
        media = m_audio->addTo(m_webrtc, m_opusPt);
        // A viewer that offers to send its microphone may be heard once the host allows it;
        // the device it plays into is named for this session alone.
        if (media && m_options.microphones) {
            const QString id = QString::number(QRandomGenerator::global()->generate(), 16).rightJustified(8, u'0');
            m_mic = std::make_unique<ViewerMicrophone>(m_pipeline, m_options.microphones, id);
            connect(m_mic.get(), &ViewerMicrophone::deviceChanged, this, &DeviceSession::micChanged);
        }
    }
    if (!media) {
        qCWarning(lcDevice) << m_sid << "media branches could not be built";
        gst_sdp_message_free(offer);
        return false;
    }

    GstBus *bus = gst_pipeline_get_bus(GST_PIPELINE(m_pipeline));
    m_busWatch = gst_bus_add_watch(bus, onBus, g);
    gst_object_unref(bus);

    if (gst_element_set_state(m_pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        gst_sdp_message_free(offer);
        return false;
    }
    GstWebRTCSessionDescription *desc = gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_OFFER, offer);
    auto *ref = new std::shared_ptr<Guard>(m_guard);
    GstPromise *promise = gst_promise_new_with_change_func(
        onRemoteSet, ref, [](gpointer p) { delete static_cast<std::shared_ptr<Guard> *>(p); });
    g_signal_emit_by_name(m_webrtc, "set-remote-description", desc, promise);
    gst_webrtc_session_description_free(desc);
    m_deadline.start(kAuthTimeoutMs);
    return true;
}

void DeviceSession::addRemoteCandidate(const QJsonObject &payload) {
    if (!m_webrtc || m_phase == Phase::Ended)
        return;
    const QString cand = payload.value(QLatin1String("candidate")).toString();
    if (cand.isEmpty() || cand.size() > 4096)
        return;
    const int lines = int(GstWebRtc::mlineCount(m_offerSdp));
    if (lines == 0)
        return;
    int mline = -1;
    const QJsonValue index = payload.value(QLatin1String("sdpMLineIndex"));
    if (index.isDouble()) {
        const double d = index.toDouble();
        if (d >= 0 && d < lines)
            mline = int(d);
    } else if (const QString mid = payload.value(QLatin1String("sdpMid")).toString(); !mid.isEmpty()) {
        if (const std::optional<guint> found = GstWebRtc::mlineOf(m_offerSdp, mid))
            mline = int(*found);
    } else {
        mline = 0;
    }
    if (mline < 0)
        return;
    g_signal_emit_by_name(m_webrtc, "add-ice-candidate", guint(mline), cand.toUtf8().constData());
}

// webrtcbin thread: the remote offer is applied; make the answer.
void DeviceSession::onRemoteSet(GstPromise *promise, gpointer data) {
    auto guard = *static_cast<std::shared_ptr<Guard> *>(data);
    gst_promise_unref(promise);
    GstElement *webrtc = nullptr;
    {
        std::lock_guard lock(guard->mutex);
        if (!guard->session || !guard->session->m_webrtc)
            return;
        webrtc = GST_ELEMENT(gst_object_ref(guard->session->m_webrtc));
    }
    auto *ref = new std::shared_ptr<Guard>(guard);
    GstPromise *next = gst_promise_new_with_change_func(
        onAnswer, ref, [](gpointer p) { delete static_cast<std::shared_ptr<Guard> *>(p); });
    g_signal_emit_by_name(webrtc, "create-answer", nullptr, next);
    gst_object_unref(webrtc);
}

// webrtcbin thread: the answer is made; apply it and hand it to the viewer.
void DeviceSession::onAnswer(GstPromise *promise, gpointer data) {
    auto guard = *static_cast<std::shared_ptr<Guard> *>(data);
    GstWebRTCSessionDescription *answer = nullptr;
    if (gst_promise_wait(promise) == GST_PROMISE_RESULT_REPLIED) {
        if (const GstStructure *reply = gst_promise_get_reply(promise))
            gst_structure_get(reply, "answer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &answer, nullptr);
    }
    gst_promise_unref(promise);
    GstElement *webrtc = nullptr;
    {
        std::lock_guard lock(guard->mutex);
        DeviceSession *self = guard->session;
        if (self && self->m_webrtc) {
            if (!answer) {
                QMetaObject::invokeMethod(
                    self, [self] { self->lost(QStringLiteral("no answer")); }, Qt::QueuedConnection);
                return;
            }
            const QString sdp = GstWebRtc::sdpText(answer);
            // Queued before set-local-description runs, so the answer is known before any candidate.
            QMetaObject::invokeMethod(
                self,
                [self, sdp] {
                    self->m_answerSdp = sdp;
                    qCDebug(lcDevice) << self->m_sid << "answer after" << self->m_clock.elapsed() << "ms";
                    Q_EMIT self->outgoing(QJsonObject{{"type", "answer"}, {"payload", QJsonObject{{"sdp", sdp}}}});
                },
                Qt::QueuedConnection);
            webrtc = GST_ELEMENT(gst_object_ref(self->m_webrtc));
        }
    }
    // Outside the lock: webrtcbin only queues the operation, but nothing of ours is held meanwhile.
    if (webrtc && answer)
        g_signal_emit_by_name(webrtc, "set-local-description", answer, nullptr);
    if (webrtc)
        gst_object_unref(webrtc);
    if (answer)
        gst_webrtc_session_description_free(answer);
}

// webrtcbin thread.
void DeviceSession::onIceCandidate(GstElement *, guint mline, gchar *candidate, gpointer data) {
    const QString cand = QString::fromUtf8(candidate);
    std::lock_guard lock(static_cast<Guard *>(data)->mutex);
    DeviceSession *self = static_cast<Guard *>(data)->session;
    if (!self)
        return;
    QMetaObject::invokeMethod(
        self,
        [self, mline, cand] {
            QString mid = GstWebRtc::midOf(self->m_answerSdp, mline);
            if (mid.isEmpty())
                mid = QString::number(mline);
            Q_EMIT self->outgoing(QJsonObject{
                {"type", "ice"},
                {"payload", QJsonObject{{"candidate", cand}, {"sdpMid", mid}, {"sdpMLineIndex", int(mline)}}}});
        },
        Qt::QueuedConnection);
}

// webrtcbin thread: a channel the viewer created is open.
void DeviceSession::onDataChannel(GstElement *, GstWebRTCDataChannel *channel, gpointer data) {
    auto *guard = static_cast<Guard *>(data);
    guard->keepAlive(channel);
    g_signal_connect(channel, "on-message-string", G_CALLBACK(onChannelString), guard);
    g_signal_connect(channel, "on-message-data", G_CALLBACK(onChannelData), guard);
    g_signal_connect(channel, "on-close", G_CALLBACK(onChannelClose), guard);
    gchar *label = nullptr;
    g_object_get(channel, "label", &label, nullptr);
    const QString name = QString::fromUtf8(label);
    g_free(label);
    std::lock_guard lock(guard->mutex);
    DeviceSession *self = guard->session;
    if (!self) {
        g_signal_handlers_disconnect_by_data(channel, guard);
        return;
    }
    // The reference travels with the call: dropped with it if the session goes first.
    std::shared_ptr<GstWebRTCDataChannel> held(static_cast<GstWebRTCDataChannel *>(g_object_ref(channel)),
                                               [](GstWebRTCDataChannel *c) { g_object_unref(c); });
    QMetaObject::invokeMethod(
        self, [self, name, held] { self->channelOpened(name, held.get()); }, Qt::QueuedConnection);
}

// webrtcbin's streaming thread: media from the viewer (its microphone). Every pad gets a
// branch: one left unlinked would stop the pipeline.
void DeviceSession::onPadAdded(GstElement *, GstPad *pad, gpointer data) {
    if (GST_PAD_DIRECTION(pad) != GST_PAD_SRC)
        return;
    auto *guard = static_cast<Guard *>(data);
    {
        std::lock_guard lock(guard->mutex);
        DeviceSession *self = guard->session;
        if (self && self->m_mic && self->m_mic->link(pad))
            return;
    }
    // Nobody takes it (no microphone here, or a second track): it is dropped.
    GstElement *webrtc = gst_pad_get_parent_element(pad);
    GstObject *pipeline = webrtc ? gst_element_get_parent(webrtc) : nullptr;
    if (pipeline) {
        GstElement *drop = gst_element_factory_make("fakesink", nullptr);
        g_object_set(drop, "sync", FALSE, "async", FALSE, nullptr);
        gst_bin_add(GST_BIN(pipeline), drop);
        gst_element_sync_state_with_parent(drop);
        GstPad *in = gst_element_get_static_pad(drop, "sink");
        gst_pad_link(pad, in);
        gst_object_unref(in);
        gst_object_unref(pipeline);
    }
    if (webrtc)
        gst_object_unref(webrtc);
}

namespace {
QString labelOf(GstWebRTCDataChannel *channel) {
    gchar *label = nullptr;
    g_object_get(channel, "label", &label, nullptr);
    const QString name = QString::fromUtf8(label);
    g_free(label);
    return name;
}
} // namespace

// SCTP thread: a message on "file" goes to the main thread whole and in order, within
// the byte bound (a dropped chunk fails its transfer there).
void DeviceSession::handOverFile(Guard *guard, const QByteArray &bytes, bool binary) {
    if (guard->fileBytes.load() + bytes.size() > kFileBytesLimit)
        return;
    std::lock_guard lock(guard->mutex);
    DeviceSession *self = guard->session;
    if (!self)
        return;
    guard->fileBytes += bytes.size();
    QMetaObject::invokeMethod(
        self,
        [self, bytes, binary] {
            self->m_guard->fileBytes -= bytes.size();
            self->fileMessage(bytes, binary);
        },
        Qt::QueuedConnection);
}

// SCTP thread.
void DeviceSession::onChannelString(GstWebRTCDataChannel *channel, gchar *text, gpointer data) {
    auto *guard = static_cast<Guard *>(data);
    if (labelOf(channel) == QLatin1String("file")) {
        handOverFile(guard, QByteArray(text), false);
        return;
    }
    if (guard->pending.load() >= kMaxPendingMessages) {
        // A dropped input message may be a key-up: let go of everything the viewer
        // holds rather than leave a key down (one such release on its way at a time).
        if (labelOf(channel) == QLatin1String("input") && !guard->releaseQueued.exchange(true)) {
            std::lock_guard lock(guard->mutex);
            if (DeviceSession *self = guard->session) {
                QMetaObject::invokeMethod(
                    self,
                    [self] {
                        self->m_guard->releaseQueued = false;
                        self->releaseInput();
                    },
                    Qt::QueuedConnection);
            } else {
                guard->releaseQueued = false;
            }
        }
        return;
    }
    const QString label = labelOf(channel);
    const QByteArray bytes(text);
    std::lock_guard lock(guard->mutex);
    DeviceSession *self = guard->session;
    if (!self)
        return;
    ++guard->pending;
    QMetaObject::invokeMethod(
        self,
        [self, label, bytes] {
            --self->m_guard->pending;
            if (label == QLatin1String("ctrl"))
                self->ctrlMessage(bytes);
            else if (label == QLatin1String("input"))
                self->inputMessage(bytes);
        },
        Qt::QueuedConnection);
}

// SCTP thread.
void DeviceSession::onChannelData(GstWebRTCDataChannel *channel, GBytes *data, gpointer guard) {
    const QString label = labelOf(channel);
    gsize size = 0;
    const auto *ptr = static_cast<const char *>(g_bytes_get_data(data, &size));
    if (label == QLatin1String("file")) {
        handOverFile(static_cast<Guard *>(guard), QByteArray(ptr, qsizetype(size)), true);
        return;
    }
    if (label != QLatin1String("ctrl") && label != QLatin1String("input"))
        return; // the viewer sends nothing binary we use
    const QByteArray bytes(ptr, qsizetype(size));
    onChannelString(channel, const_cast<gchar *>(bytes.constData()), guard);
}

// SCTP thread.
void DeviceSession::onChannelClose(GstWebRTCDataChannel *channel, gpointer data) {
    const QString label = labelOf(channel);
    std::lock_guard lock(static_cast<Guard *>(data)->mutex);
    DeviceSession *self = static_cast<Guard *>(data)->session;
    if (!self || label != QLatin1String("ctrl"))
        return;
    QMetaObject::invokeMethod(
        self, [self] { self->lost(QStringLiteral("ctrl closed")); }, Qt::QueuedConnection);
}

// webrtcbin thread.
void DeviceSession::onConnectionState(GObject *webrtc, GParamSpec *, gpointer data) {
    GstWebRTCPeerConnectionState state = GST_WEBRTC_PEER_CONNECTION_STATE_NEW;
    g_object_get(webrtc, "connection-state", &state, nullptr);
    if (state != GST_WEBRTC_PEER_CONNECTION_STATE_FAILED && state != GST_WEBRTC_PEER_CONNECTION_STATE_CLOSED)
        return;
    std::lock_guard lock(static_cast<Guard *>(data)->mutex);
    DeviceSession *self = static_cast<Guard *>(data)->session;
    if (!self)
        return;
    QMetaObject::invokeMethod(
        self, [self] { self->lost(QStringLiteral("connection failed")); }, Qt::QueuedConnection);
}

// webrtcbin thread.
void DeviceSession::onIceState(GObject *webrtc, GParamSpec *, gpointer data) {
    GstWebRTCICEConnectionState state = GST_WEBRTC_ICE_CONNECTION_STATE_NEW;
    g_object_get(webrtc, "ice-connection-state", &state, nullptr);
    std::lock_guard lock(static_cast<Guard *>(data)->mutex);
    DeviceSession *self = static_cast<Guard *>(data)->session;
    if (!self)
        return;
    QMetaObject::invokeMethod(
        self,
        [self, state] {
            if (state == GST_WEBRTC_ICE_CONNECTION_STATE_FAILED || state == GST_WEBRTC_ICE_CONNECTION_STATE_CLOSED)
                self->lost(QStringLiteral("ice failed"));
            else if (state == GST_WEBRTC_ICE_CONNECTION_STATE_DISCONNECTED)
                self->m_iceGrace.start();
            else if (state == GST_WEBRTC_ICE_CONNECTION_STATE_CONNECTED ||
                     state == GST_WEBRTC_ICE_CONNECTION_STATE_COMPLETED)
                self->m_iceGrace.stop();
        },
        Qt::QueuedConnection);
}

// Main thread (GLib dispatcher of the Qt loop).
gboolean DeviceSession::onBus(GstBus *, GstMessage *msg, gpointer data) {
    if (GST_MESSAGE_TYPE(msg) != GST_MESSAGE_ERROR)
        return TRUE;
    DeviceSession *self = static_cast<Guard *>(data)->session;
    // A sound source that fails falls back to silence; the session goes on.
    if (self && self->m_audio && self->m_audio->takeError(msg))
        return TRUE;
    GError *err = nullptr;
    gst_message_parse_error(msg, &err, nullptr);
    const QString text = QString::fromUtf8(err ? err->message : "");
    const QString src = QString::fromUtf8(GST_OBJECT_NAME(GST_MESSAGE_SRC(msg)));
    g_clear_error(&err);
    if (self) {
        qCInfo(lcDevice) << self->m_sid << "pipeline error from" << src << text;
        QMetaObject::invokeMethod(
            self, [self] { self->lost(QStringLiteral("pipeline error")); }, Qt::QueuedConnection);
    }
    return TRUE;
}

void DeviceSession::channelOpened(const QString &label, GstWebRTCDataChannel *channel) {
    if (m_tornDown || !m_channels->add(label, channel)) {
        g_signal_handlers_disconnect_by_data(channel, m_guard.get());
        return;
    }
    qCDebug(lcDevice) << m_sid << "channel" << label << "open after" << m_clock.elapsed() << "ms";
    if (label == QLatin1String("ctrl") && m_phase == Phase::Negotiating)
        sendChallenge();
}

void DeviceSession::sendChallenge() {
    if (m_answerSdp.isEmpty())
        return;
    if (const qint64 left = m_proof.lockedFor(m_clock.msecsSinceReference()); left > 0) {
        sendCtrl(LockedMessage{left}.toJson());
        m_phase = Phase::Refused;
        m_deadline.start(kRefusedLingerMs);
        return;
    }
    const ChallengeMessage challenge = m_proof.issue(m_answerSdp);
    m_phase = Phase::Challenged;
    sendCtrl(challenge.toJson());
}

void DeviceSession::ctrlMessage(const QByteArray &bytes) {
    const std::optional<QJsonObject> parsed = CtrlMessage::parse(bytes);
    if (!parsed)
        return;
    const QJsonObject &msg = *parsed;
    const QString t = CtrlMessage::tagOf(msg);
    if (t == AuthMessage::tag) {
        verify(AuthMessage::fromJson(msg));
        return;
    }
    if (t == ViewerIntroduction::tag) {
        // Heard only from a viewer that has sent its proof (it follows "auth" at once), so
        // that the host user sees who asks; the first one counts.
        const bool proven = m_phase == Phase::Verifying || m_phase == Phase::Asking || m_phase == Phase::Authed;
        if (proven && !m_intro) {
            m_intro = ViewerIntroduction::fromJson(msg);
            Q_EMIT introduced();
        }
        return;
    }
    // Everything else is for authenticated viewers only.
    if (m_phase != Phase::Authed)
        return;
    if (t == QualityRequest::tag) {
        VideoSource *source = m_video->source();
        source->apply(QualityRequest::fromJson(msg, source->settings()));
    } else if (t == SelectMessage::tag) {
        const SelectMessage select = SelectMessage::fromJson(msg);
        m_video->source()->select(select.mode, select.id);
    } else if (t == StillMessage::tag) {
        m_video->source()->requestStill();
    } else if (t == FrameAckMessage::tag) {
        // The viewer has a JPEG frame: the next ones may follow (JpegPacer).
        if (const std::optional<FrameAckMessage> ack = FrameAckMessage::read(msg)) {
            if (ack->win > 0)
                m_windows->frameAcked(ack->win, ack->seq);
            else
                m_video->frameAcked(ack->seq);
        }
    } else if (t == WindowMessage::tag) {
        if (const std::optional<WindowMessage> open = WindowMessage::read(msg, m_video->source()->settings()))
            m_windows->open(*open);
    } else if (t == WindowEndMessage::tag) {
        if (const std::optional<WindowEndMessage> end = WindowEndMessage::read(msg))
            m_windows->end(end->win);
    } else if (t == RecordingMessage::tag) {
        const std::optional<RecordingMessage> rec = RecordingMessage::read(msg);
        if (rec && rec->on != m_viewerRecording) {
            m_viewerRecording = rec->on;
            qCInfo(lcDevice) << m_sid << (rec->on ? "the viewer records" : "the viewer stopped recording");
            Q_EMIT activityChanged();
        }
    } else if (t == PingMessage::tag) {
        // The viewer's round-trip measurement: its own number comes back untouched.
        if (const std::optional<PingMessage> ping = PingMessage::read(msg))
            sendCtrl(ping->pong());
    } else {
        m_exchange->handleCtrl(msg); // "clip", "clipimg", "clipfiles"
    }
}

void DeviceSession::fileMessage(const QByteArray &bytes, bool binary) {
    if (m_phase != Phase::Authed)
        return;
    if (binary) {
        m_exchange->files()->handleBinary(bytes);
        return;
    }
    const QJsonDocument doc = QJsonDocument::fromJson(bytes);
    if (doc.isObject())
        m_exchange->files()->handleText(doc.object());
}

void DeviceSession::setRights(bool input, bool clip, bool files) {
    m_exchange->setRights(input && m_options.injector, clip, files);
}

bool DeviceSession::micAllowed() const {
    return m_mic && m_options.micAllowed && m_options.micAllowed(m_sid);
}

void DeviceSession::setMicRight(bool on) {
    if (!m_mic)
        return;
    m_mic->setAllowed(on);
    if (m_phase == Phase::Authed)
        sendCtrl(PermMessage{std::nullopt, std::nullopt, std::nullopt, on}.toJson());
}

QString DeviceSession::micSource() const {
    return m_mic ? m_mic->source() : QString();
}

void DeviceSession::offerClipboard(const QString &text) {
    if (m_phase == Phase::Authed)
        m_exchange->offerClipboard(text);
}

void DeviceSession::offerClipboardImage(const QByteArray &png) {
    if (m_phase == Phase::Authed)
        m_exchange->offerClipboardImage(png);
}

void DeviceSession::offerClipboardFiles(const QStringList &paths) {
    if (m_phase == Phase::Authed)
        m_exchange->offerClipboardFiles(paths);
}

bool DeviceSession::sendFile(const QString &path) {
    if (m_phase != Phase::Authed)
        return false;
    m_exchange->files()->send(path);
    return true;
}

void DeviceSession::verify(const AuthMessage &auth) {
    // One proof per challenge: a refused viewer does not get to try again on the same connection.
    if (m_phase != Phase::Challenged)
        return;
    // Set before the check: a check whose keys are ready answers at once.
    m_phase = Phase::Verifying;
    const std::optional<DeviceLockout::Outcome> held =
        m_proof.check(auth, m_offerSdp, m_answerSdp, m_clock.msecsSinceReference(),
                      [self = QPointer<DeviceSession>(this)](const PasscodeChallenge::Verdict &verdict) {
                          // Main thread; the session may have gone meanwhile.
                          if (!self)
                              return;
                          self->m_openedByAuto = verdict.openedByAuto;
                          self->verified(verdict.outcome);
                      });
    if (held)
        refuseProof(*held);
}

void DeviceSession::refuseProof(const DeviceLockout::Outcome &out) {
    if (out.locked)
        sendCtrl(LockedMessage{out.retrySec}.toJson());
    else
        sendCtrl(AuthFailMessage{out.remaining}.toJson());
    // Keep the connection so the viewer can show why; it goes when the viewer
    // closes or after a while.
    m_phase = Phase::Refused;
    m_deadline.start(kRefusedLingerMs);
}

void DeviceSession::verified(const DeviceLockout::Outcome &out) {
    if (m_phase != Phase::Verifying)
        return;
    if (!out.accepted) {
        refuseProof(out);
        qCInfo(lcDevice) << m_sid << "passcode proof refused" << (out.locked ? "(locked)" : "");
        return;
    }
    m_deadline.stop();
    if (m_options.approvalRequired && m_options.approvalRequired()) {
        m_phase = Phase::Asking;
        const int waitMs = std::max(100, m_options.askTimeoutMs);
        m_askTimer.start(waitMs);
        m_askExpires = QDateTime::currentSecsSinceEpoch() + (waitMs + 999) / 1000;
        // The viewer learns that the host user is being asked, and for how long at most.
        sendCtrl({{"t", "approval_wait"}, {"sec", (waitMs + 999) / 1000}});
        qCInfo(lcDevice) << m_sid << "passcode proven; asking the host user";
        m_path.update(m_webrtc); // the request shows the viewer's address
        Q_EMIT askStarted();
        return;
    }
    admit();
}

QString DeviceSession::shortFingerprint() const {
    const QString fp = PasscodeProof::fingerprint(m_offerSdp).left(16);
    QStringList groups;
    for (qsizetype i = 0; i + 4 <= fp.size(); i += 4)
        groups.append(fp.mid(i, 4));
    return groups.join(u'-');
}

void DeviceSession::answerAsk(bool ok) {
    if (m_phase != Phase::Asking)
        return;
    m_askTimer.stop();
    qCInfo(lcDevice) << m_sid << (ok ? "admitted by the host user" : "refused by the host user");
    if (ok) {
        Q_EMIT askClosed();
        admit();
    } else {
        refuseAsk(QStringLiteral("接続を拒否しました"));
    }
}

void DeviceSession::refuseAsk(const QString &text) {
    if (m_phase != Phase::Asking)
        return;
    m_phase = Phase::Refused;
    m_askTimer.stop();
    Q_EMIT askClosed();
    // The viewer shows the reason; the connection ends a moment later.
    Q_EMIT outgoing(QJsonObject{{"type", "error"}, {"error", text}});
    QTimer::singleShot(kRefusalCloseDelayMs, this, [this] { hangUp(false); });
}

void DeviceSession::admit() {
    m_phase = Phase::Authed;
    m_admittedByAuto = m_openedByAuto;
    const bool audio = m_audio && m_options.audioOn;
    sendAuthOk();
    sendCtrl(AudioStateMessage{audio}.toJson());
    m_video->start();
    if (m_audio)
        m_audio->setFlowing(true);
    // The viewer learns whether its microphone is heard (a viewer told nothing assumes not).
    sendCtrl(PermMessage{std::nullopt, std::nullopt, std::nullopt, micAllowed()}.toJson());
    if (m_mic) {
        m_mic->setAllowed(micAllowed());
        m_mic->setFlowing(true);
    }
    if (m_options.injector)
        m_input = std::make_unique<RemoteInput>(m_options.injector);
    m_path.watch(m_webrtc);
    m_path.update(m_webrtc);
    m_exchange->start(m_options.injector && (!m_options.inputAllowed || m_options.inputAllowed(m_sid)),
                      !m_options.clipAllowed || m_options.clipAllowed(m_sid),
                      !m_options.filesAllowed || m_options.filesAllowed(m_sid));
    qCInfo(lcDevice) << m_sid << "viewer authenticated," << videoMode();
    Q_EMIT authedChanged();
    if (m_options.hooks.fileTransfer)
        HookTraffic::files(*m_channels);
    if (m_options.hooks.closeSide)
        for (const char *label : {"video", "input", "file"})
            m_channels->close(label);
}

void DeviceSession::sendAuthOk() {
    const bool audio = m_audio && m_options.audioOn;
    sendCtrl(AuthOkMessage{m_video->source()->monitors(), videoMode(), audio, m_options.deviceName, true}.toJson());
}

void DeviceSession::inputMessage(const QByteArray &bytes) {
    if (m_phase != Phase::Authed)
        return;
    if (m_options.inputAllowed && !m_options.inputAllowed(m_sid)) {
        releaseInput();
        return;
    }
    const QJsonDocument doc = QJsonDocument::fromJson(bytes);
    if (!doc.isObject())
        return;
    const QJsonObject msg = doc.object();
    // Input in a display window lands on that window's display; for a window that is not
    // open (any more) it is dropped, but a release in it lets go of what is held, so that
    // a window ending under a held key or button leaves nothing down.
    if (const QJsonValue win = msg.value(QLatin1String("win")); !win.isUndefined()) {
        const std::optional<qint64> n = Json::integral(win, 1, WindowMessage::maxWindows);
        const VideoSource *source = n ? m_windows->source(int(*n)) : nullptr;
        const QString t = msg.value(QLatin1String("t")).toString();
        if (m_input && source)
            m_input->handle(msg, inputTarget(source));
        else if (m_input && (t == QLatin1String("ku") || t == QLatin1String("mu")))
            m_input->releaseAll();
    } else {
        if (m_input)
            m_input->handle(msg, inputTarget(m_video ? m_video->source() : nullptr));
        // The test picture has no real pointer: the reported one follows the viewer's.
        const QJsonValue x = msg.value(QLatin1String("x"));
        const QJsonValue y = msg.value(QLatin1String("y"));
        if (x.isDouble() && y.isDouble() && m_video)
            m_video->viewerPointer(x.toDouble(), y.toDouble());
    }
    if (!m_options.hooks.inputLog || m_options.dataDir.isEmpty())
        return;
    QFile log(QDir(m_options.dataDir).filePath(QStringLiteral("device-input.jsonl")));
    if (log.size() > kMaxInputLog)
        return;
    if (log.open(QIODevice::Append))
        log.write(Json::compact(doc.object()) + '\n');
}

InputTarget DeviceSession::inputTarget(const VideoSource *source) const {
    if (source)
        if (const auto rect = source->desktopRect())
            return {*rect, source->frameSize(), source->desktopAreas()};
    // The test pattern: its display N stands for the desktop's N-th monitor.
    const QList<QRect> monitors = m_options.injector->monitors();
    const int index = source ? source->monitor() - 1 : 0;
    return {monitors.value(index, monitors.value(0)), source ? source->frameSize() : QSize(), {}};
}

void DeviceSession::releaseInput() {
    if (m_input)
        m_input->releaseAll();
}

void DeviceSession::setAudioOn(bool on) {
    const bool changed = m_options.audioOn != on;
    m_options.audioOn = on;
    if (m_phase == Phase::Authed && changed)
        sendCtrl(AudioStateMessage{on && m_audio}.toJson());
    if (m_audio)
        m_audio->setOn(on);
}

void DeviceSession::setAudioKind(const QString &kind) {
    m_options.audioKind = kind;
    if (m_audio)
        m_audio->setKind(kind);
}

QString DeviceSession::audioDevice() const {
    return m_audio ? m_audio->device() : QString();
}

QString DeviceSession::audioError() const {
    return m_audio ? m_audio->error() : QString();
}

void DeviceSession::setHostQuality(int fps, double scale, int kbps) {
    if (!m_video)
        return;
    VideoSource::Settings s = m_video->source()->settings();
    s.fps = fps;
    s.scale = scale;
    s.kbps = kbps;
    m_video->source()->apply(s);
}

void DeviceSession::sendCtrl(const QJsonObject &msg) {
    m_channels->sendText("ctrl", Json::compact(msg));
}

void DeviceSession::lost(const QString &reason) {
    if (m_phase == Phase::Ended)
        return;
    // Said goodbye (bye, a hang-up from either side, closed channels), or just gone
    // (silence, ICE, pipeline): after the latter a viewer may well come back.
    m_endedForGood = reason == QLatin1String("hung up") || reason == QLatin1String("ctrl closed");
    qCInfo(lcDevice) << m_sid << "session ends:" << reason;
    // Without an answer the viewer would wait for nothing: tell it.
    if (m_answerSdp.isEmpty() && reason != QLatin1String("hung up"))
        Q_EMIT outgoing(QJsonObject{{"type", "error"}, {"error", QStringLiteral("接続できません")}});
    const bool wasAuthed = m_phase == Phase::Authed;
    const bool wasAsking = m_phase == Phase::Asking;
    m_phase = Phase::Ended;
    m_askTimer.stop();
    m_deadline.stop();
    m_iceGrace.stop();
    m_path.stop();
    // Whatever the viewer held is let go as it leaves; half-received files are removed.
    m_input.reset();
    m_exchange->stop(QStringLiteral("接続が切れました"));
    if (m_video)
        m_video->stop();
    if (m_windows)
        m_windows->stopAll();
    if (m_audio)
        m_audio->stop();
    if (m_mic)
        m_mic->stop();
    if (wasAsking)
        Q_EMIT askClosed();
    if (wasAuthed)
        Q_EMIT authedChanged();
    Q_EMIT finished(reason);
}

void DeviceSession::hangUp(bool sendBye) {
    if (m_phase == Phase::Ended)
        return;
    if (sendBye)
        Q_EMIT outgoing(QJsonObject{{"type", "bye"}});
    // Closing the channels first lets the viewer see them close before the pipeline stops.
    m_channels->closeAll();
    lost(QStringLiteral("hung up"));
}

QJsonObject DeviceSession::lastStats() const {
    return m_video ? m_video->lastStats() : QJsonObject();
}

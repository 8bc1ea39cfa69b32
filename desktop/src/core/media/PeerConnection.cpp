#include "media/PeerConnection.h"

#include "media/DecodeClock.h"
#include "media/FrameConverter.h"
#include "media/VideoFrameTap.h"
#include "webrtc/GstWebRtc.h"

#include <QElapsedTimer>
#include <QImage>
#include <QLoggingCategory>
#include <QThread>

#include <gst/app/gstappsink.h>
#include <gst/video/video.h>

Q_LOGGING_CATEGORY(lcPeer, "velmo.webrtc.peer")

namespace {
// Receive-only codecs. Transport-wide congestion control, NACK and PLI let a
// sender ramp its bit rate up and recover from loss.
constexpr const char *twccUri = "http://www.ietf.org/id/draft-holmer-rmcat-transport-wide-cc-extensions-01";

GstCaps *videoCaps() {
    return gst_caps_from_string(
        QStringLiteral("application/x-rtp,media=video,encoding-name=H264,payload=102,clock-rate=90000,"
                       "packetization-mode=(string)1,profile-level-id=(string)42e01f,"
                       "level-asymmetry-allowed=(string)1,rtcp-fb-nack=(boolean)true,"
                       "rtcp-fb-nack-pli=(boolean)true,rtcp-fb-ccm-fir=(boolean)true,"
                       "rtcp-fb-transport-cc=(boolean)true,extmap-3=(string)%1")
            .arg(QLatin1String(twccUri))
            .toUtf8()
            .constData());
}

QByteArray audioCapsText() {
    return QStringLiteral("application/x-rtp,media=audio,encoding-name=OPUS,payload=111,clock-rate=48000,"
                          "encoding-params=(string)2,useinbandfec=(string)1,"
                          "rtcp-fb-transport-cc=(boolean)true,extmap-3=(string)%1")
        .arg(QLatin1String(twccUri))
        .toUtf8();
}

// A heap-held closure for GstPromise change functions.
struct OfferStep {
    std::shared_ptr<PeerConnection> self;
    std::function<void(std::optional<QString>, QString)> done;
    GstWebRTCSessionDescription *offer = nullptr;
    ~OfferStep() {
        if (offer)
            gst_webrtc_session_description_free(offer);
    }
};

QString promiseError(GstPromise *promise) {
    if (gst_promise_wait(promise) != GST_PROMISE_RESULT_REPLIED)
        return QStringLiteral("WebRTC operation interrupted");
    const GstStructure *reply = gst_promise_get_reply(promise);
    if (!reply)
        return {};
    if (gst_structure_has_field(reply, "error")) {
        GError *err = nullptr;
        gst_structure_get(reply, "error", G_TYPE_ERROR, &err, nullptr);
        const QString text = QString::fromUtf8(err ? err->message : "WebRTC error");
        g_clear_error(&err);
        return text;
    }
    return {};
}

// Puts a receive branch into the running pipeline and feeds it from the new pad.
bool addBranch(GstElement *pipeline, GstElement *bin, GstPad *pad, const char *what) {
    gst_bin_add(GST_BIN(pipeline), bin);
    gst_element_sync_state_with_parent(bin);
    GstPad *sinkPad = gst_element_get_static_pad(bin, "sink");
    const GstPadLinkReturn r = gst_pad_link(pad, sinkPad);
    gst_object_unref(sinkPad);
    if (r != GST_PAD_LINK_OK)
        qCWarning(lcPeer) << what << "branch does not link:" << r;
    return r == GST_PAD_LINK_OK;
}
} // namespace

Result<std::shared_ptr<PeerConnection>> PeerConnection::create(const Options &options, Callbacks callbacks) {
    std::shared_ptr<PeerConnection> pc(new PeerConnection);
    pc->m_callbacks = std::move(callbacks);
    QString error;
    if (!pc->build(options, &error)) {
        pc->m_live = false;
        pc->teardown(false);
        return Result<std::shared_ptr<PeerConnection>>::failure(Error::make(Error::Kind::Unavailable, error));
    }
    return Result<std::shared_ptr<PeerConnection>>::success(std::move(pc));
}

PeerConnection::~PeerConnection() {
    // Handlers carry pointers into this object: cut them before anything is freed.
    teardown(false);
    for (auto &ctx : m_channels)
        if (ctx->channel)
            g_object_unref(ctx->channel);
    if (m_pipeline)
        gst_object_unref(m_pipeline);
}

bool PeerConnection::build(const Options &options, QString *error) {
    auto failWith = [error](const QString &text) {
        if (error)
            *error = text;
        return false;
    };
    if (!GstWebRtc::init())
        return failWith(GstWebRtc::error());
    m_tap = options.tap;
    m_converter = std::make_unique<FrameConverter>();
    m_decodeClock = options.decodeClock;
    m_media = options.media;
    m_audioSink = options.audioSink.isEmpty() ? QStringLiteral("fakesink sync=false") : options.audioSink;

    m_pipeline = gst_pipeline_new(nullptr);
    gst_object_ref_sink(m_pipeline);
    m_webrtc = GstWebRtc::createWebRtcBin("webrtc");
    if (!m_webrtc)
        return failWith(QStringLiteral("webrtcbin is not available"));
    gst_bin_add(GST_BIN(m_pipeline), m_webrtc);
    GstWebRtc::applyIceServers(m_webrtc, options.iceUrls, options.iceUsername, options.iceCredential);

    g_signal_connect(m_webrtc, "on-ice-candidate", G_CALLBACK(onIceCandidate), this);
    g_signal_connect(m_webrtc, "notify::connection-state", G_CALLBACK(onConnectionState), this);
    g_signal_connect(m_webrtc, "notify::ice-connection-state", G_CALLBACK(onIceConnectionState), this);
    g_signal_connect(m_webrtc, "pad-added", G_CALLBACK(onPadAdded), this);
    GstBus *bus = gst_pipeline_get_bus(GST_PIPELINE(m_pipeline));
    gst_bus_set_sync_handler(bus, onBusMessage, this, nullptr);
    gst_object_unref(bus);

    if (gst_element_set_state(m_pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE)
        return failWith(QStringLiteral("the WebRTC pipeline does not start"));

    int index = 0;
    for (const QString &label : options.channels) {
        GstStructure *opts = gst_structure_new("data-channel-options", "ordered", G_TYPE_BOOLEAN, TRUE, nullptr);
        GstWebRTCDataChannel *channel = nullptr;
        g_signal_emit_by_name(m_webrtc, "create-data-channel", label.toUtf8().constData(), opts, &channel);
        gst_structure_free(opts);
        if (!channel)
            return failWith(QStringLiteral("data channel \"%1\" cannot be created").arg(label));
        connectChannel(index++, channel);
    }
    if (m_media)
        addTransceivers(options);
    return true;
}

void PeerConnection::addTransceivers(const Options &options) {
    // Video first, then audio: the m-lines keep this order.
    GstCaps *caps = videoCaps();
    GstWebRTCRTPTransceiver *t = nullptr;
    g_signal_emit_by_name(m_webrtc, "add-transceiver", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_RECVONLY, caps, &t);
    gst_caps_unref(caps);
    // Video asks for lost packets again (NACK, answered by retransmission) before it
    // falls back to asking for a key frame.
    if (t) {
        g_object_set(t, "do-nack", TRUE, nullptr);
        gst_object_unref(t);
    }
    // The audio m-line is sendrecv from the start when this side may send (its microphone):
    // turning the microphone on later then needs no new offer.
    if (options.audioSender && options.audioSender(m_pipeline, m_webrtc, audioCapsText()))
        return;
    caps = gst_caps_from_string(audioCapsText().constData());
    t = nullptr;
    g_signal_emit_by_name(m_webrtc, "add-transceiver", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_RECVONLY, caps, &t);
    gst_caps_unref(caps);
    if (t)
        gst_object_unref(t);
}

void PeerConnection::connectChannel(int index, GstWebRTCDataChannel *channel) {
    auto ctx = std::make_unique<ChannelContext>();
    ctx->owner = this;
    ctx->index = index;
    ctx->channel = channel;
    g_signal_connect(channel, "on-open", G_CALLBACK(onChannelOpen), ctx.get());
    g_signal_connect(channel, "on-close", G_CALLBACK(onChannelClose), ctx.get());
    g_signal_connect(channel, "on-message-string", G_CALLBACK(onChannelString), ctx.get());
    g_signal_connect(channel, "on-message-data", G_CALLBACK(onChannelData), ctx.get());
    m_channels.push_back(std::move(ctx));
}

void PeerConnection::createOffer(std::function<void(std::optional<QString>, QString)> done) {
    auto *step = new OfferStep{shared_from_this(), std::move(done)};
    // ":pc" thread: the offer is ready.
    auto onOffer = [](GstPromise *promise, gpointer data) {
        auto *step = static_cast<OfferStep *>(data);
        const QString err = promiseError(promise);
        const GstStructure *reply = gst_promise_get_reply(promise);
        GstWebRTCSessionDescription *offer = nullptr;
        if (err.isEmpty() && reply)
            gst_structure_get(reply, "offer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &offer, nullptr);
        gst_promise_unref(promise);
        if (!offer) {
            step->done(std::nullopt, err.isEmpty() ? QStringLiteral("no offer was created") : err);
            delete step;
            return;
        }
        step->offer = offer;
        // ":pc" thread: the local description is in place.
        auto onLocal = [](GstPromise *promise, gpointer data) {
            std::unique_ptr<OfferStep> step(static_cast<OfferStep *>(data));
            const QString err = promiseError(promise);
            gst_promise_unref(promise);
            if (!err.isEmpty())
                step->done(std::nullopt, err);
            else
                step->done(GstWebRtc::sdpText(step->offer), QString());
        };
        GstPromise *next = gst_promise_new_with_change_func(onLocal, step, nullptr);
        g_signal_emit_by_name(step->self->m_webrtc, "set-local-description", offer, next);
    };
    GstPromise *promise = gst_promise_new_with_change_func(onOffer, step, nullptr);
    g_signal_emit_by_name(m_webrtc, "create-offer", nullptr, promise);
}

void PeerConnection::setRemoteAnswer(const QByteArray &sdp) {
    GstWebRTCSessionDescription *answer = GstWebRtc::parseDescription(GST_WEBRTC_SDP_TYPE_ANSWER, sdp);
    if (!answer) {
        qCDebug(lcPeer) << "answer dropped: SDP does not parse";
        return;
    }
    g_signal_emit_by_name(m_webrtc, "set-remote-description", answer, nullptr);
    gst_webrtc_session_description_free(answer);
}

void PeerConnection::addRemoteCandidate(guint mline, const QString &mid, const QString &candidate) {
    if (candidate.isEmpty())
        return;
    if (!mid.isEmpty()) {
        if (GstWebRTCSessionDescription *remote = GstWebRtc::description(m_webrtc, "remote-description")) {
            if (const auto index = GstWebRtc::mlineOf(remote->sdp, mid))
                mline = *index;
            gst_webrtc_session_description_free(remote);
        }
    }
    g_signal_emit_by_name(m_webrtc, "add-ice-candidate", mline, candidate.toUtf8().constData());
}

bool PeerConnection::sendText(int channel, const QByteArray &utf8) {
    if (channel < 0 || channel >= int(m_channels.size()) || !m_live)
        return false;
    return GstWebRtc::sendText(m_channels[channel]->channel, utf8);
}

bool PeerConnection::sendBinary(int channel, const QByteArray &bytes) {
    if (channel < 0 || channel >= int(m_channels.size()) || !m_live)
        return false;
    return GstWebRtc::sendBinary(m_channels[channel]->channel, bytes);
}

quint64 PeerConnection::bufferedAmount(int channel) const {
    if (channel < 0 || channel >= int(m_channels.size()) || !m_channels[channel]->channel)
        return 0;
    guint64 amount = 0;
    g_object_get(m_channels[channel]->channel, "buffered-amount", &amount, nullptr);
    return amount;
}

QString PeerConnection::localSdp() const {
    GstWebRTCSessionDescription *d = GstWebRtc::description(m_webrtc, "local-description");
    const QString s = GstWebRtc::sdpText(d);
    if (d)
        gst_webrtc_session_description_free(d);
    return s;
}

QString PeerConnection::remoteSdp() const {
    GstWebRTCSessionDescription *d = GstWebRtc::description(m_webrtc, "remote-description");
    const QString s = GstWebRtc::sdpText(d);
    if (d)
        gst_webrtc_session_description_free(d);
    return s;
}

GstWebRTCPeerConnectionState PeerConnection::connectionState() const {
    GstWebRTCPeerConnectionState state = GST_WEBRTC_PEER_CONNECTION_STATE_NEW;
    if (m_webrtc)
        g_object_get(m_webrtc, "connection-state", &state, nullptr);
    return state;
}

int PeerConnection::channelState(int channel) const {
    if (channel < 0 || channel >= int(m_channels.size()))
        return 0;
    GstWebRTCDataChannelState state = GST_WEBRTC_DATA_CHANNEL_STATE_CLOSED;
    g_object_get(m_channels[channel]->channel, "ready-state", &state, nullptr);
    return int(state);
}

void PeerConnection::getStats(std::function<void(const GstStructure *)> done) {
    if (!m_webrtc || !m_live)
        return;
    struct StatsStep {
        std::shared_ptr<PeerConnection> self;
        std::function<void(const GstStructure *)> done;
    };
    auto *step = new StatsStep{shared_from_this(), std::move(done)};
    // ":pc" thread: the statistics are collected.
    auto onStats = [](GstPromise *promise, gpointer data) {
        std::unique_ptr<StatsStep> step(static_cast<StatsStep *>(data));
        const GstStructure *reply =
            gst_promise_wait(promise) == GST_PROMISE_RESULT_REPLIED ? gst_promise_get_reply(promise) : nullptr;
        if (step->self->m_live)
            step->done(reply);
        gst_promise_unref(promise);
    };
    GstPromise *promise = gst_promise_new_with_change_func(onStats, step, nullptr);
    g_signal_emit_by_name(m_webrtc, "get-stats", nullptr, promise);
}

void PeerConnection::setEncodedSink(EncodedSink sink) {
    std::lock_guard guard(m_encodedLock);
    m_encodedSink = std::move(sink);
}

void PeerConnection::requestKeyFrame() {
    GstElement *encoded = nullptr;
    {
        std::lock_guard guard(m_encodedLock);
        if (m_encodedElement)
            encoded = GST_ELEMENT(gst_object_ref(m_encodedElement));
    }
    if (!encoded)
        return;
    // Travels upstream through the depayloader to the RTP session, which asks the sender.
    gst_element_send_event(encoded, gst_video_event_new_upstream_force_key_unit(GST_CLOCK_TIME_NONE, TRUE, 0));
    gst_object_unref(encoded);
}

void PeerConnection::setAudio(bool enabled, double volume) {
    m_audioEnabled = enabled;
    m_audioVolume = volume;
    if (GstElement *v = m_volume.load())
        g_object_set(v, "mute", !enabled, "volume", volume, nullptr);
}

void PeerConnection::shutdown() {
    if (!m_live.exchange(false))
        return;
    setEncodedSink(nullptr);
    for (auto &ctx : m_channels)
        if (ctx->channel)
            gst_webrtc_data_channel_close(ctx->channel);
}

void PeerConnection::teardown(bool waitForChannels) {
    m_live = false;
    // The far side only sees its channels close when the pipeline is still
    // running while they do; a few milliseconds suffice, 500 ms is the bound.
    QElapsedTimer waited;
    waited.start();
    while (waitForChannels && waited.elapsed() < 500) {
        bool open = false;
        for (int i = 0; i < int(m_channels.size()); ++i)
            open = open || channelState(i) != GST_WEBRTC_DATA_CHANNEL_STATE_CLOSED;
        if (!open)
            break;
        QThread::msleep(5);
    }
    {
        std::lock_guard guard(m_encodedLock);
        m_encodedSink = nullptr;
        m_encodedElement = nullptr;
    }
    for (auto &ctx : m_channels)
        g_signal_handlers_disconnect_by_data(ctx->channel, ctx.get());
    if (m_webrtc)
        g_signal_handlers_disconnect_by_data(m_webrtc, this);
    if (m_pipeline) {
        GstWebRtc::releaseBlockedSends(m_webrtc);
        gst_element_set_state(m_pipeline, GST_STATE_NULL);
        GstBus *bus = gst_pipeline_get_bus(GST_PIPELINE(m_pipeline));
        gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
        gst_object_unref(bus);
    }
}

void PeerConnection::reportLost(const QString &why) {
    if (!m_live || m_lostReported.exchange(true))
        return;
    qCInfo(lcPeer) << "connection lost:" << why;
    if (m_callbacks.lost)
        m_callbacks.lost(why);
}

// ":pc" thread.
void PeerConnection::onIceCandidate(GstElement *, guint mline, gchar *candidate, gpointer data) {
    auto *self = static_cast<PeerConnection *>(data);
    if (!self->m_live || !self->m_callbacks.localCandidate)
        return;
    QString mid;
    if (GstWebRTCSessionDescription *local = GstWebRtc::description(self->m_webrtc, "local-description")) {
        mid = GstWebRtc::midOf(local->sdp, mline);
        gst_webrtc_session_description_free(local);
    }
    self->m_callbacks.localCandidate(mline, mid, QString::fromUtf8(candidate));
}

// ":pc" thread.
void PeerConnection::onConnectionState(GObject *, GParamSpec *, gpointer data) {
    auto *self = static_cast<PeerConnection *>(data);
    const GstWebRTCPeerConnectionState state = self->connectionState();
    if (state == GST_WEBRTC_PEER_CONNECTION_STATE_DISCONNECTED || state == GST_WEBRTC_PEER_CONNECTION_STATE_FAILED ||
        state == GST_WEBRTC_PEER_CONNECTION_STATE_CLOSED)
        self->reportLost(QStringLiteral("connection state %1").arg(int(state)));
    else if (state == GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED && self->m_live &&
             self->m_callbacks.transportConnected)
        self->m_callbacks.transportConnected();
}

// webrtcbin's thread, like onConnectionState.
void PeerConnection::onIceConnectionState(GObject *, GParamSpec *, gpointer data) {
    auto *self = static_cast<PeerConnection *>(data);
    GstWebRTCICEConnectionState state = GST_WEBRTC_ICE_CONNECTION_STATE_NEW;
    g_object_get(self->m_webrtc, "ice-connection-state", &state, nullptr);
    if ((state == GST_WEBRTC_ICE_CONNECTION_STATE_CONNECTED || state == GST_WEBRTC_ICE_CONNECTION_STATE_COMPLETED) &&
        self->m_live && self->m_callbacks.iceConnected)
        self->m_callbacks.iceConnected();
}

// Any streaming thread: webrtcbin posts transport errors on the bus and
// nowhere else.
GstBusSyncReply PeerConnection::onBusMessage(GstBus *, GstMessage *msg, gpointer data) {
    auto *self = static_cast<PeerConnection *>(data);
    if (GST_MESSAGE_TYPE(msg) == GST_MESSAGE_LATENCY && self->m_pipeline) {
        // A branch added while playing (the tracks) changes the latency; the audio
        // sink plays late without a new distribution. Not from this thread.
        gst_element_call_async(
            self->m_pipeline, [](GstElement *e, gpointer) { gst_bin_recalculate_latency(GST_BIN(e)); }, nullptr,
            nullptr);
    } else if (GST_MESSAGE_TYPE(msg) == GST_MESSAGE_ERROR) {
        GError *err = nullptr;
        gchar *debug = nullptr;
        gst_message_parse_error(msg, &err, &debug);
        const QString source = QString::fromUtf8(G_OBJECT_TYPE_NAME(GST_MESSAGE_SRC(msg)));
        const QString text = QString::fromUtf8(err ? err->message : "");
        g_clear_error(&err);
        g_free(debug);
        if (source.contains(QLatin1String("Sctp")) || source.contains(QLatin1String("Dtls")) ||
            source.contains(QLatin1String("Nice")))
            self->reportLost(source + ": " + text);
        else
            qCWarning(lcPeer) << "pipeline error from" << source << text;
        if (self->m_live && self->m_callbacks.elementError)
            self->m_callbacks.elementError(msg);
    }
    return GST_BUS_DROP;
}

// ":pc" thread.
void PeerConnection::onChannelOpen(GstWebRTCDataChannel *, gpointer data) {
    auto *ctx = static_cast<ChannelContext *>(data);
    if (ctx->owner->m_live && ctx->owner->m_callbacks.channelOpen)
        ctx->owner->m_callbacks.channelOpen(ctx->index);
}

// ":pc" thread: a channel we did not close went away. Only the first channel
// (the control channel) carries the connection; the others may come and go.
void PeerConnection::onChannelClose(GstWebRTCDataChannel *, gpointer data) {
    auto *ctx = static_cast<ChannelContext *>(data);
    if (ctx->index != 0)
        return;
    ctx->owner->reportLost(QStringLiteral("channel %1 closed").arg(ctx->index));
}

// ":pc" thread.
void PeerConnection::onChannelString(GstWebRTCDataChannel *, gchar *str, gpointer data) {
    auto *ctx = static_cast<ChannelContext *>(data);
    if (ctx->owner->m_live && ctx->owner->m_callbacks.message && str)
        ctx->owner->m_callbacks.message(ctx->index, QByteArray(str), false);
}

// ":pc" thread.
void PeerConnection::onChannelData(GstWebRTCDataChannel *, GBytes *bytes, gpointer data) {
    auto *ctx = static_cast<ChannelContext *>(data);
    if (!ctx->owner->m_live || !ctx->owner->m_callbacks.message)
        return;
    gsize size = 0;
    const void *p = bytes ? g_bytes_get_data(bytes, &size) : nullptr;
    ctx->owner->m_callbacks.message(ctx->index, QByteArray(static_cast<const char *>(p), qsizetype(size)), true);
}

// Jitter-buffer thread: a track arrived.
void PeerConnection::onPadAdded(GstElement *, GstPad *pad, gpointer data) {
    auto *self = static_cast<PeerConnection *>(data);
    if (GST_PAD_DIRECTION(pad) != GST_PAD_SRC)
        return;
    self->linkIncoming(pad);
}

void PeerConnection::linkIncoming(GstPad *pad) {
    GstCaps *caps = gst_pad_get_current_caps(pad);
    if (!caps)
        caps = gst_pad_query_caps(pad, nullptr);
    const GstStructure *s = caps ? gst_caps_get_structure(caps, 0) : nullptr;
    const QString media = QString::fromUtf8(s ? gst_structure_get_string(s, "media") : nullptr);
    const QString encoding = QString::fromUtf8(s ? gst_structure_get_string(s, "encoding-name") : nullptr).toUpper();
    if (caps)
        gst_caps_unref(caps);
    if (media == QLatin1String("video") && encoding == QLatin1String("H264") && !m_videoLinked.exchange(true)) {
        linkVideo(pad);
    } else if (media == QLatin1String("audio") && encoding == QLatin1String("OPUS") && !m_audioLinked.exchange(true)) {
        linkAudio(pad);
    } else {
        // Drain whatever else arrives so that it cannot stall the bundle.
        GstElement *sink = gst_element_factory_make("fakesink", nullptr);
        g_object_set(sink, "sync", FALSE, "async", FALSE, nullptr);
        gst_bin_add(GST_BIN(m_pipeline), sink);
        gst_element_sync_state_with_parent(sink);
        GstPad *sinkPad = gst_element_get_static_pad(sink, "sink");
        gst_pad_link(pad, sinkPad);
        gst_object_unref(sinkPad);
    }
}

void PeerConnection::linkVideo(GstPad *pad) {
    // The depayloaded stream splits: one branch decodes for the screen, the other
    // hands the access units as they came to a recorder (dropped while none listens).
    // A packet that stays lost (retransmission did not bring it in time) asks the host
    // for a key frame (a PLI; the host answers at most twice a second), or the damaged
    // area would stay grey until the next periodic key frame.
    // The decoder threads over the slices of a picture (the host's encoder cuts one per
    // thread): frame threads would hold each picture back by a frame per thread. Its YUV
    // pictures go to the tap as they are (videoconvert only passes them through, or
    // converts a format FrameConverter does not take) and are turned into RGB there, in
    // one pass much cheaper than videoconvert's.
    GstElement *bin = gst_parse_bin_from_description(
        "queue max-size-buffers=0 max-size-bytes=0 max-size-time=500000000 ! rtph264depay request-keyframe=true ! "
        "tee name=split "
        "split. ! queue ! avdec_h264 name=decoder thread-type=slice ! videoconvert ! "
        "video/x-raw,format={ I420, NV12, Y42B, Y444 } ! appsink name=tap sync=false max-buffers=1 drop=true "
        "split. ! queue max-size-buffers=0 max-size-bytes=0 max-size-time=2000000000 ! "
        "appsink name=encoded sync=false async=false",
        TRUE, nullptr);
    if (!bin) {
        qCWarning(lcPeer) << "H.264 decoding is not available (gstreamer1.0-libav)";
        return;
    }
    GstElement *sink = gst_bin_get_by_name(GST_BIN(bin), "tap");
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = onVideoSample;
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, this, nullptr);
    gst_object_unref(sink);
    GstElement *encoded = gst_bin_get_by_name(GST_BIN(bin), "encoded");
    GstAppSinkCallbacks encodedCallbacks{};
    encodedCallbacks.new_sample = onEncodedSample;
    gst_app_sink_set_callbacks(GST_APP_SINK(encoded), &encodedCallbacks, this, nullptr);
    {
        std::lock_guard guard(m_encodedLock);
        m_encodedElement = encoded; // the pipeline keeps it alive
    }
    gst_object_unref(encoded);
    if (GstElement *decoder = gst_bin_get_by_name(GST_BIN(bin), "decoder")) {
        GstPad *in = gst_element_get_static_pad(decoder, "sink");
        GstPad *out = gst_element_get_static_pad(decoder, "src");
        gst_pad_add_probe(in, GST_PAD_PROBE_TYPE_BUFFER, onDecoderIn, this, nullptr);
        gst_pad_add_probe(out, GST_PAD_PROBE_TYPE_BUFFER, onDecoderOut, this, nullptr);
        gst_object_unref(in);
        gst_object_unref(out);
        gst_object_unref(decoder);
    }
    if (!addBranch(m_pipeline, bin, pad, "video"))
        return;
    if (m_live && m_callbacks.videoTrack)
        m_callbacks.videoTrack();
}

void PeerConnection::linkAudio(GstPad *pad) {
    const QString description = QStringLiteral("queue ! rtpopusdepay ! opusdec ! audioconvert ! audioresample ! "
                                               "volume name=volume ! %1")
                                    .arg(m_audioSink);
    GError *err = nullptr;
    GstElement *bin = gst_parse_bin_from_description(description.toUtf8().constData(), TRUE, &err);
    if (!bin) {
        qCWarning(lcPeer) << "audio playback is not available:" << (err ? err->message : "");
        g_clear_error(&err);
        return;
    }
    if (GstElement *v = gst_bin_get_by_name(GST_BIN(bin), "volume")) {
        g_object_set(v, "mute", !m_audioEnabled.load(), "volume", m_audioVolume.load(), nullptr);
        gst_object_unref(v); // the pipeline keeps it alive
        m_volume = v;
    }
    if (!addBranch(m_pipeline, bin, pad, "audio"))
        return;
    if (m_live && m_callbacks.audioTrack)
        m_callbacks.audioTrack();
}

// Streaming thread of the encoded branch: one access unit, passed on while a recorder listens.
GstFlowReturn PeerConnection::onEncodedSample(GstAppSink *sink, gpointer data) {
    auto *self = static_cast<PeerConnection *>(data);
    GstSample *sample = gst_app_sink_pull_sample(sink);
    if (!sample)
        return GST_FLOW_OK;
    {
        std::lock_guard guard(self->m_encodedLock);
        if (self->m_live && self->m_encodedSink)
            self->m_encodedSink(sample);
    }
    gst_sample_unref(sample);
    return GST_FLOW_OK;
}

// Decoder input thread: remembers when a frame went in, by its PTS.
GstPadProbeReturn PeerConnection::onDecoderIn(GstPad *, GstPadProbeInfo *info, gpointer data) {
    auto *self = static_cast<PeerConnection *>(data);
    GstBuffer *buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    if (!buffer || !GST_BUFFER_PTS_IS_VALID(buffer) || !self->m_decodeClock)
        return GST_PAD_PROBE_OK;
    std::lock_guard guard(self->m_decodeLock);
    self->m_decodeStarts[size_t(self->m_decodeNext)] = {GST_BUFFER_PTS(buffer), g_get_monotonic_time()};
    self->m_decodeNext = (self->m_decodeNext + 1) % int(self->m_decodeStarts.size());
    return GST_PAD_PROBE_OK;
}

// Decoder output thread: the frame with the same PTS came out.
GstPadProbeReturn PeerConnection::onDecoderOut(GstPad *, GstPadProbeInfo *info, gpointer data) {
    auto *self = static_cast<PeerConnection *>(data);
    GstBuffer *buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    if (!buffer || !GST_BUFFER_PTS_IS_VALID(buffer) || !self->m_decodeClock)
        return GST_PAD_PROBE_OK;
    const gint64 now = g_get_monotonic_time();
    std::lock_guard guard(self->m_decodeLock);
    for (auto &[pts, started] : self->m_decodeStarts) {
        if (started != 0 && pts == GST_BUFFER_PTS(buffer)) {
            self->m_decodeClock->add((now - started) * 1000);
            started = 0;
            break;
        }
    }
    return GST_PAD_PROBE_OK;
}

// Video decoder thread: one decoded frame, converted into a picture for the tap.
GstFlowReturn PeerConnection::onVideoSample(GstAppSink *sink, gpointer data) {
    auto *self = static_cast<PeerConnection *>(data);
    GstSample *sample = gst_app_sink_pull_sample(sink);
    if (!sample)
        return GST_FLOW_OK;
    GstVideoInfo info;
    GstBuffer *buffer = gst_sample_get_buffer(sample);
    GstCaps *caps = gst_sample_get_caps(sample);
    if (!buffer || !caps || !gst_video_info_from_caps(&info, caps) || !self->m_tap) {
        gst_sample_unref(sample);
        return GST_FLOW_OK;
    }
    GstVideoFrame frame;
    if (!gst_video_frame_map(&frame, &info, buffer, GST_MAP_READ)) {
        gst_sample_unref(sample);
        return GST_FLOW_OK;
    }
    const QImage image = self->m_converter->convert(frame);
    gst_video_frame_unmap(&frame);
    gst_sample_unref(sample);
    self->m_tap->renderFrame(image);
    return GST_FLOW_OK;
}

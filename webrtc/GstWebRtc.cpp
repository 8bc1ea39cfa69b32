#include "webrtc/GstWebRtc.h"

#include "protocol/IceUrl.h"

#include <QLoggingCategory>

#include <mutex>

Q_LOGGING_CATEGORY(lcGstWebRtc, "velmo.webrtc")

namespace GstWebRtc {

namespace {
std::once_flag initOnce;
bool initOk = false;
QString initError;
} // namespace

bool init() {
    std::call_once(initOnce, [] {
        GError *err = nullptr;
        if (!gst_init_check(nullptr, nullptr, &err)) {
            initError = QString::fromUtf8(err ? err->message : "gst_init failed");
            g_clear_error(&err);
            return;
        }
        GstElementFactory *factory = gst_element_factory_find("webrtcbin");
        if (!factory) {
            initError = QStringLiteral("webrtcbin is not installed (gstreamer1.0-plugins-bad, gstreamer1.0-nice)");
            return;
        }
        gst_object_unref(factory);
        initOk = true;
    });
    return initOk;
}

QString error() {
    return initError;
}

QStringList iceAddresses() {
    QStringList out;
    const QByteArray env = qgetenv("VELMO_ICE_ADDRESSES");
    for (const QByteArray &part : env.split(',')) {
        const QString a = QString::fromUtf8(part).trimmed();
        if (!a.isEmpty())
            out.append(a);
    }
    return out;
}

void setIfPresent(GObject *object, const char *property, const GValue *value) {
    if (!object)
        return;
    GParamSpec *pspec = g_object_class_find_property(G_OBJECT_GET_CLASS(object), property);
    if (pspec && (pspec->flags & G_PARAM_WRITABLE) && !(pspec->flags & G_PARAM_CONSTRUCT_ONLY))
        g_object_set_property(object, property, value);
}

void setBoolIfPresent(GObject *object, const char *property, bool value) {
    GValue v = G_VALUE_INIT;
    g_value_init(&v, G_TYPE_BOOLEAN);
    g_value_set_boolean(&v, value);
    setIfPresent(object, property, &v);
    g_value_unset(&v);
}

void setUIntIfPresent(GObject *object, const char *property, guint value) {
    GValue v = G_VALUE_INIT;
    g_value_init(&v, G_TYPE_UINT);
    g_value_set_uint(&v, value);
    setIfPresent(object, property, &v);
    g_value_unset(&v);
}

GObject *niceAgent(GstElement *webrtcbin) {
    if (!webrtcbin || !g_object_class_find_property(G_OBJECT_GET_CLASS(webrtcbin), "ice-agent"))
        return nullptr;
    GObject *ice = nullptr;
    g_object_get(webrtcbin, "ice-agent", &ice, nullptr);
    if (!ice)
        return nullptr;
    GObject *agent = nullptr;
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(ice), "agent"))
        g_object_get(ice, "agent", &agent, nullptr);
    g_object_unref(ice);
    return agent;
}

// The RTP bin's thread that creates a receiver's jitter buffer. With retransmission on,
// the jitter buffer by default also expects the packet after each one at the pace the
// stream had so far, asks for it again and gives it up as lost when it is late. A
// screen is sent only when it changes: the first packet after any pause counted as
// lost, was dropped when it came, and the decoder asked for a key frame that the
// next pause turned into another one. Holes in the sequence still bring
// retransmissions.
void onNewJitterBuffer(GstElement *, GstElement *jitterBuffer, guint, guint, gpointer) {
    setBoolIfPresent(G_OBJECT(jitterBuffer), "rtx-next-seqnum", false);
}

GstElement *createWebRtcBin(const char *name, const QStringList &addresses) {
    if (!init())
        return nullptr;
    GstElement *webrtc = gst_element_factory_make("webrtcbin", name);
    if (!webrtc)
        return nullptr;
    g_object_set(webrtc, "bundle-policy", GST_WEBRTC_BUNDLE_POLICY_MAX_BUNDLE, nullptr);
    // The jitter buffer's default (200 ms) shows every frame late.
    setUIntIfPresent(G_OBJECT(webrtc), "latency", 50);
    if (GstElement *rtpbin = gst_bin_get_by_name(GST_BIN(webrtc), "rtpbin")) {
        g_signal_connect(rtpbin, "new-jitterbuffer", G_CALLBACK(onNewJitterBuffer), nullptr);
        gst_object_unref(rtpbin);
    }

    if (GObject *agent = niceAgent(webrtc)) {
        // Debian's libnice probes UPnP (SSDP multicast) on every gathering.
        setBoolIfPresent(agent, "upnp", false);
        // Without connectivity-check keepalives a vanished peer changes no state at
        // all; with them libnice fails the pair once consent has been missing for
        // about 50 s (its fixed limit; measured). Short STUN timers keep the
        // checks themselves from adding to that.
        setBoolIfPresent(agent, "keepalive-conncheck", true);
        setUIntIfPresent(agent, "stun-max-retransmissions", 3);
        setUIntIfPresent(agent, "stun-initial-timeout", 200);
        setUIntIfPresent(agent, "stun-reliable-timeout", 2000);
        // Checks are paced 20 ms apart by default, which makes up most of a set-up
        // on a fast network; a handful of pairs at 5 ms is still far below any rate
        // limit.
        setUIntIfPresent(agent, "stun-pacing-timer", 5);
        g_object_unref(agent);
    }
    GObject *ice = nullptr;
    g_object_get(webrtc, "ice-agent", &ice, nullptr);
    if (ice) {
        // TCP candidates only add noise to the checks; media and data go over UDP.
        setBoolIfPresent(ice, "ice-tcp", false);
        for (const QString &a : addresses) {
            gboolean ok = FALSE;
            g_signal_emit_by_name(ice, "add-local-ip-address", a.toUtf8().constData(), &ok);
            if (!ok)
                qCWarning(lcGstWebRtc) << "cannot gather on" << a;
        }
        g_object_unref(ice);
    }
    return webrtc;
}

int applyIceServers(GstElement *webrtcbin, const QStringList &urls, const QString &username,
                    const QString &credential) {
    int applied = 0;
    bool haveStun = false;
    for (const QString &url : urls) {
        if (const auto stun = IceUrl::stunUri(url)) {
            if (haveStun)
                continue; // webrtcbin takes one STUN server
            g_object_set(webrtcbin, "stun-server", stun->toUtf8().constData(), nullptr);
            haveStun = true;
            ++applied;
        } else if (const auto turn = IceUrl::turnUri(url, username, credential)) {
            gboolean ok = FALSE;
            g_signal_emit_by_name(webrtcbin, "add-turn-server", turn->toUtf8().constData(), &ok);
            if (ok)
                ++applied;
            else
                qCWarning(lcGstWebRtc) << "TURN server refused:" << url;
        } else {
            qCWarning(lcGstWebRtc) << "ICE server URL not understood:" << url;
        }
    }
    return applied;
}

QString sdpText(const GstWebRTCSessionDescription *desc) {
    if (!desc || !desc->sdp)
        return {};
    gchar *text = gst_sdp_message_as_text(desc->sdp);
    const QString out = QString::fromUtf8(text);
    g_free(text);
    return out;
}

GstWebRTCSessionDescription *parseDescription(GstWebRTCSDPType type, const QByteArray &sdp) {
    GstSDPMessage *msg = nullptr;
    if (gst_sdp_message_new(&msg) != GST_SDP_OK)
        return nullptr;
    if (gst_sdp_message_parse_buffer(reinterpret_cast<const guint8 *>(sdp.constData()), guint(sdp.size()), msg) !=
            GST_SDP_OK ||
        gst_sdp_message_medias_len(msg) == 0) {
        gst_sdp_message_free(msg);
        return nullptr;
    }
    return gst_webrtc_session_description_new(type, msg);
}

GstWebRTCSessionDescription *description(GstElement *webrtcbin, const char *property) {
    GstWebRTCSessionDescription *desc = nullptr;
    if (webrtcbin)
        g_object_get(webrtcbin, property, &desc, nullptr);
    return desc;
}

QString midOf(const GstSDPMessage *sdp, guint mline) {
    if (!sdp || mline >= gst_sdp_message_medias_len(sdp))
        return {};
    const GstSDPMedia *media = gst_sdp_message_get_media(sdp, mline);
    const gchar *mid = gst_sdp_media_get_attribute_val(media, "mid");
    return mid ? QString::fromUtf8(mid) : QString();
}

std::optional<guint> mlineOf(const GstSDPMessage *sdp, const QString &mid) {
    if (!sdp || mid.isEmpty())
        return std::nullopt;
    const QByteArray want = mid.toUtf8();
    for (guint i = 0; i < gst_sdp_message_medias_len(sdp); ++i) {
        const gchar *m = gst_sdp_media_get_attribute_val(gst_sdp_message_get_media(sdp, i), "mid");
        if (m && want == m)
            return i;
    }
    return std::nullopt;
}

namespace {
// Runs `use` on the parsed text; `fallback` when it does not parse.
template <typename T, typename Use> T withSdp(const QString &sdpText, T fallback, Use use) {
    GstSDPMessage *sdp = nullptr;
    if (gst_sdp_message_new_from_text(sdpText.toUtf8().constData(), &sdp) != GST_SDP_OK || !sdp)
        return fallback;
    T out = use(sdp);
    gst_sdp_message_free(sdp);
    return out;
}
} // namespace

QString midOf(const QString &sdpText, guint mline) {
    return withSdp(sdpText, QString(), [mline](const GstSDPMessage *sdp) { return midOf(sdp, mline); });
}

std::optional<guint> mlineOf(const QString &sdpText, const QString &mid) {
    return withSdp(sdpText, std::optional<guint>(), [&mid](const GstSDPMessage *sdp) { return mlineOf(sdp, mid); });
}

guint mlineCount(const QString &sdpText) {
    return withSdp(sdpText, guint(0), [](const GstSDPMessage *sdp) { return gst_sdp_message_medias_len(sdp); });
}

void releaseBlockedSends(GstElement *webrtcbin) {
    if (!webrtcbin)
        return;
    GstIterator *elements = gst_bin_iterate_recurse(GST_BIN(webrtcbin));
    GValue item = G_VALUE_INIT;
    while (gst_iterator_next(elements, &item) == GST_ITERATOR_OK) {
        auto *element = GST_ELEMENT(g_value_get_object(&item));
        GstElementFactory *factory = gst_element_get_factory(element);
        if (factory && g_strcmp0(GST_OBJECT_NAME(factory), "sctpenc") == 0) {
            GstIterator *pads = gst_element_iterate_sink_pads(element);
            GValue pad = G_VALUE_INIT;
            while (gst_iterator_next(pads, &pad) == GST_ITERATOR_OK) {
                gst_pad_send_event(GST_PAD(g_value_get_object(&pad)), gst_event_new_flush_start());
                g_value_reset(&pad);
            }
            g_value_unset(&pad);
            gst_iterator_free(pads);
        }
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(elements);
}

bool sendText(GstWebRTCDataChannel *channel, const QByteArray &utf8) {
    if (!channel)
        return false;
    GError *err = nullptr;
    const bool ok = gst_webrtc_data_channel_send_string_full(channel, utf8.constData(), &err);
    g_clear_error(&err);
    return ok;
}

bool sendBinary(GstWebRTCDataChannel *channel, const QByteArray &bytes) {
    if (!channel)
        return false;
    GBytes *data = g_bytes_new(bytes.constData(), gsize(bytes.size()));
    GError *err = nullptr;
    const bool ok = gst_webrtc_data_channel_send_data_full(channel, data, &err);
    g_clear_error(&err);
    g_bytes_unref(data);
    return ok;
}

} // namespace GstWebRtc

#include "support/ScriptedAnswerer.h"

#include "protocol/PasscodeProof.h"
#include "protocol/ctrl/AuthFailMessage.h"
#include "protocol/ctrl/AuthMessage.h"
#include "protocol/ctrl/AuthOkMessage.h"
#include "protocol/ctrl/ChallengeMessage.h"
#include "protocol/ctrl/CtrlMessage.h"
#include "util/MainThreadLink.h"
#include "webrtc/GstWebRtc.h"

#include <QJsonArray>
#include <QJsonDocument>

// The answerer stops its pipeline synchronously before it dies, so GStreamer
// callbacks may use the raw pointer; they only touch state through the link.
namespace {
struct ChannelHook {
    ScriptedAnswerer *owner;
    std::shared_ptr<MainThreadLink> link;
    QString label;
};

void onChannelString(GstWebRTCDataChannel *, gchar *str, gpointer data) {
    auto *hook = static_cast<ChannelHook *>(data);
    const QByteArray bytes(str ? str : "");
    auto *owner = hook->owner;
    const QString label = hook->label;
    hook->link->post([owner, label, bytes] {
        owner->received.append({label, bytes});
        Q_EMIT owner->messageReceived(label, bytes, false);
    });
}

void onChannelData(GstWebRTCDataChannel *, GBytes *data, gpointer user) {
    auto *hook = static_cast<ChannelHook *>(user);
    gsize size = 0;
    const void *p = data ? g_bytes_get_data(data, &size) : nullptr;
    const QByteArray bytes(static_cast<const char *>(p), qsizetype(size));
    auto *owner = hook->owner;
    const QString label = hook->label;
    hook->link->post([owner, label, bytes] {
        owner->received.append({label, bytes});
        Q_EMIT owner->messageReceived(label, bytes, true);
    });
}

void freeHook(gpointer data, GClosure *) {
    delete static_cast<ChannelHook *>(data);
}

QString sdpTextOf(GstPromise *promise, const char *field) {
    const GstStructure *reply = gst_promise_get_reply(promise);
    GstWebRTCSessionDescription *desc = nullptr;
    if (reply)
        gst_structure_get(reply, field, GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &desc, nullptr);
    const QString text = GstWebRtc::sdpText(desc);
    if (desc)
        gst_webrtc_session_description_free(desc);
    return text;
}
} // namespace

ScriptedAnswerer::ScriptedAnswerer(QObject *parent) : QObject(parent), m_link(std::make_shared<MainThreadLink>(this)) {
    GstWebRtc::init();
    m_pipeline = gst_pipeline_new("answerer");
    gst_object_ref_sink(m_pipeline);
    m_webrtc = GstWebRtc::createWebRtcBin("answer");
    gst_bin_add(GST_BIN(m_pipeline), m_webrtc);
    g_signal_connect(m_webrtc, "on-ice-candidate", G_CALLBACK(onIce), this);
    g_signal_connect(m_webrtc, "on-data-channel", G_CALLBACK(onDataChannel), this);
    gst_element_set_state(m_pipeline, GST_STATE_PLAYING);
}

ScriptedAnswerer::~ScriptedAnswerer() {
    kill();
}

void ScriptedAnswerer::kill() {
    m_link->detach();
    if (!m_pipeline)
        return;
    g_signal_handlers_disconnect_by_data(m_webrtc, this);
    GstWebRtc::releaseBlockedSends(m_webrtc); // a send waiting for SCTP room would hold the stop
    gst_element_set_state(m_pipeline, GST_STATE_NULL);
    for (GstWebRTCDataChannel *c : std::as_const(m_channels))
        g_object_unref(c);
    m_channels.clear();
    gst_object_unref(m_pipeline);
    m_pipeline = nullptr;
    m_webrtc = nullptr;
}

// ":pc" thread.
void ScriptedAnswerer::onIce(GstElement *webrtc, guint mline, gchar *candidate, gpointer data) {
    auto *self = static_cast<ScriptedAnswerer *>(data);
    QString mid;
    if (GstWebRTCSessionDescription *d = GstWebRtc::description(webrtc, "local-description")) {
        mid = GstWebRtc::midOf(d->sdp, mline);
        gst_webrtc_session_description_free(d);
    }
    const QString c = QString::fromUtf8(candidate);
    self->m_link->post([self, mline, mid, c] {
        if (self->reply)
            self->reply(QJsonObject{
                {"type", "ice"},
                {"sid", self->sid},
                {"payload", QJsonObject{{"candidate", c}, {"sdpMid", mid}, {"sdpMLineIndex", int(mline)}}}});
    });
}

// ":pc" thread: the viewer opened a channel.
void ScriptedAnswerer::onDataChannel(GstElement *, GstWebRTCDataChannel *channel, gpointer data) {
    auto *self = static_cast<ScriptedAnswerer *>(data);
    gchar *label = nullptr;
    g_object_get(channel, "label", &label, nullptr);
    const QString l = QString::fromUtf8(label);
    g_free(label);
    ChannelInfo info;
    gboolean ordered = FALSE, negotiated = FALSE;
    gint id = -1, retransmits = -1, lifetime = -1;
    g_object_get(channel, "id", &id, "ordered", &ordered, "max-retransmits", &retransmits, "max-packet-lifetime",
                 &lifetime, "negotiated", &negotiated, nullptr);
    info.id = id;
    info.ordered = ordered;
    info.maxRetransmits = retransmits;
    info.maxPacketLifeTime = lifetime;
    info.negotiated = negotiated;
    g_object_ref(channel);
    g_signal_connect_data(channel, "on-message-string", G_CALLBACK(onChannelString),
                          new ChannelHook{self, self->m_link, l}, freeHook, GConnectFlags(0));
    g_signal_connect_data(channel, "on-message-data", G_CALLBACK(onChannelData), new ChannelHook{self, self->m_link, l},
                          freeHook, GConnectFlags(0));
    self->m_link->post([self, channel, l, info] {
        self->channelInfo.insert(l, info);
        if (!self->m_pipeline) {
            g_object_unref(channel);
            return;
        }
        self->m_channels.insert(l, channel);
        self->openChannels.append(l);
        Q_EMIT self->channelOpened(l);
        if (l == QLatin1String("ctrl") && self->autoChallenge)
            self->sendChallenge();
    });
}

void ScriptedAnswerer::handle(const QJsonObject &message) {
    signals_.append(message);
    const QString type = message.value("type").toString();
    if (!m_webrtc)
        return;
    if (type == QLatin1String("connect")) {
        sid = message.value("sid").toString();
        viewerTo = message.value("to").toString();
        offerSdp = message.value("payload").toObject().value("sdp").toString();
        GstWebRTCSessionDescription *offer = GstWebRtc::parseDescription(GST_WEBRTC_SDP_TYPE_OFFER, offerSdp.toUtf8());
        if (!offer)
            return;
        // ":pc" thread: remote offer set; create the answer.
        auto onRemote = [](GstPromise *promise, gpointer data) {
            auto *self = static_cast<ScriptedAnswerer *>(data);
            gst_promise_unref(promise);
            auto onAnswer = [](GstPromise *promise, gpointer data) {
                auto *self = static_cast<ScriptedAnswerer *>(data);
                const GstStructure *reply = gst_promise_get_reply(promise);
                GstWebRTCSessionDescription *answer = nullptr;
                if (reply)
                    gst_structure_get(reply, "answer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &answer, nullptr);
                const QString text = sdpTextOf(promise, "answer");
                gst_promise_unref(promise);
                if (!answer)
                    return;
                g_signal_emit_by_name(self->m_webrtc, "set-local-description", answer, nullptr);
                gst_webrtc_session_description_free(answer);
                self->m_link->post([self, text] {
                    if (self->reply)
                        self->reply(QJsonObject{
                            {"type", "answer"}, {"sid", self->sid}, {"payload", QJsonObject{{"sdp", text}}}});
                    Q_EMIT self->answered();
                });
            };
            g_signal_emit_by_name(self->m_webrtc, "create-answer", nullptr,
                                  gst_promise_new_with_change_func(onAnswer, self, nullptr));
        };
        g_signal_emit_by_name(m_webrtc, "set-remote-description", offer,
                              gst_promise_new_with_change_func(onRemote, this, nullptr));
        gst_webrtc_session_description_free(offer);
    } else if (type == QLatin1String("ice")) {
        const QJsonObject p = message.value("payload").toObject();
        const QString c = p.value("candidate").toString();
        if (!c.isEmpty())
            g_signal_emit_by_name(m_webrtc, "add-ice-candidate", guint(p.value("sdpMLineIndex").toInt()),
                                  c.toUtf8().constData());
    }
}

QString ScriptedAnswerer::localFingerprint() const {
    GstWebRTCSessionDescription *d = GstWebRtc::description(m_webrtc, "local-description");
    const QString fp = PasscodeProof::fingerprint(GstWebRtc::sdpText(d));
    if (d)
        gst_webrtc_session_description_free(d);
    return fp;
}

void ScriptedAnswerer::sendChallenge() {
    ChallengeMessage challenge{nonce, autoSalt, fixedSalt, std::nullopt, std::nullopt};
    if (hostFpOverride != QLatin1String("-"))
        challenge.hostFp = hostFpOverride.isEmpty() ? localFingerprint() : hostFpOverride;
    QJsonObject c = challenge.toJson();
    // Any value, in range or not: the viewer's checks are what the tests look at.
    if (!iters.isUndefined())
        c.insert(ChallengeMessage::itersKey, iters);
    sendText(QStringLiteral("ctrl"), c);
    // Answer proofs from here on.
    disconnect(this, &ScriptedAnswerer::messageReceived, this, nullptr);
    connect(this, &ScriptedAnswerer::messageReceived, this, [this](const QString &label, const QByteArray &bytes) {
        if (label != QLatin1String("ctrl"))
            return;
        const QJsonObject o = QJsonDocument::fromJson(bytes).object();
        if (CtrlMessage::is<AuthMessage>(o))
            onCtrl(o);
    });
}

void ScriptedAnswerer::onCtrl(const QJsonObject &message) {
    PasscodeProof::Input in;
    in.nonce = nonce;
    in.localFingerprint = PasscodeProof::fingerprint(offerSdp); // the viewer's
    in.remoteFingerprint = localFingerprint();                  // ours, as the viewer sees it
    in.iters = quint32(iters.isDouble() ? iters.toDouble() : 100000);
    in.autoSalt = autoSalt;
    in.fixedSalt = fixedSalt;
    const AuthMessage auth = AuthMessage::fromJson(message);
    bool ok = false;
    for (const QString &pass : {autoPasscode, fixedPasscode}) {
        if (pass.isEmpty())
            continue;
        in.passcode = pass;
        const auto expected = PasscodeProof::compute(in);
        ok = ok || (expected && (expected->a == auth.a || expected->f == auth.f));
    }
    if (ok) {
        ++authsAccepted;
        AuthOkMessage ok;
        ok.monitors = QJsonArray{QJsonObject{{"id", 1}, {"name", "Main"}, {"w", 1920}, {"h", 1080}, {"primary", true}}};
        // The test's own fields, as they are (also ones the record would not write).
        QJsonObject m = ok.toJson();
        for (auto it = authOkExtra.begin(); it != authOkExtra.end(); ++it)
            m.insert(it.key(), it.value());
        sendText(QStringLiteral("ctrl"), m);
    } else {
        ++authsRejected;
        sendText(QStringLiteral("ctrl"), AuthFailMessage{--remaining}.toJson());
    }
}

void ScriptedAnswerer::closeChannel(const QString &label) {
    if (GstWebRTCDataChannel *c = m_channels.value(label))
        gst_webrtc_data_channel_close(c);
}

bool ScriptedAnswerer::sendText(const QString &label, const QJsonObject &message) {
    return sendRaw(label, QJsonDocument(message).toJson(QJsonDocument::Compact), false);
}

bool ScriptedAnswerer::sendRaw(const QString &label, const QByteArray &bytes, bool binary) {
    GstWebRTCDataChannel *c = m_channels.value(label);
    if (!c)
        return false;
    return binary ? GstWebRtc::sendBinary(c, bytes) : GstWebRtc::sendText(c, bytes);
}

QList<QJsonObject> ScriptedAnswerer::receivedOn(const QString &label) const {
    QList<QJsonObject> out;
    for (const auto &[l, bytes] : received)
        if (l == label)
            out.append(QJsonDocument::fromJson(bytes).object());
    return out;
}

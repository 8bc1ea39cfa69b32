#include "support/DeviceTestViewer.h"

#include "protocol/PasscodeProof.h"
#include "protocol/ctrl/AuthMessage.h"
#include "protocol/ctrl/ChallengeMessage.h"
#include "protocol/ctrl/CtrlMessage.h"
#include "webrtc/GstWebRtc.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QUuid>
#include <QtEndian>

#include <gst/app/gstappsink.h>
#include <gst/sdp/sdp.h>
#include <gst/video/video.h>
#include <gst/webrtc/webrtc.h>

namespace {
QByteArray compact(const QJsonObject &o) {
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QString midAt(const QString &sdpText, guint mline) {
    GstSDPMessage *sdp = nullptr;
    QString mid;
    if (gst_sdp_message_new_from_text(sdpText.toUtf8().constData(), &sdp) == GST_SDP_OK) {
        if (mline < gst_sdp_message_medias_len(sdp))
            mid = QString::fromUtf8(gst_sdp_media_get_attribute_val(gst_sdp_message_get_media(sdp, mline), "mid"));
        gst_sdp_message_free(sdp);
    }
    return mid.isEmpty() ? QStringLiteral("0") : mid;
}
} // namespace

DeviceTestViewer::DeviceTestViewer(const QString &server, const QString &deviceId, Options options, QObject *parent)
    : QObject(parent), m_server(server), m_deviceId(deviceId), m_options(std::move(options)),
      m_sid(QUuid::createUuid().toString(QUuid::Id128).left(8).toLower()) {
    connect(&m_ws, &QWebSocket::textMessageReceived, this, &DeviceTestViewer::onSignal);
}

DeviceTestViewer::~DeviceTestViewer() {
    if (m_pipeline) {
        // A viewer that poured more into a channel than SCTP takes holds sctpenc's stream
        // lock in a wait for room; stopping would wait on that lock for ever.
        GstWebRtc::releaseBlockedSends(m_webrtc);
        gst_element_set_state(m_pipeline, GST_STATE_NULL);
        for (GObject *ch : {m_ctrl, m_video, m_input, m_file})
            if (ch) {
                g_signal_handlers_disconnect_by_data(ch, this);
                g_object_unref(ch);
            }
        gst_object_unref(m_pipeline);
    }
    if (m_lastSample)
        gst_sample_unref(m_lastSample);
}

QImage DeviceTestViewer::h264Picture() const {
    GstSample *sample = nullptr;
    {
        std::lock_guard lock(m_sampleLock);
        sample = m_lastSample ? gst_sample_ref(m_lastSample) : nullptr;
    }
    if (!sample)
        return {};
    QImage out;
    GstVideoInfo info;
    GstMapInfo map;
    GstBuffer *buffer = gst_sample_get_buffer(sample);
    if (gst_video_info_from_caps(&info, gst_sample_get_caps(sample)) && buffer &&
        gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        out = QImage(map.data, GST_VIDEO_INFO_WIDTH(&info), GST_VIDEO_INFO_HEIGHT(&info),
                     GST_VIDEO_INFO_PLANE_STRIDE(&info, 0), QImage::Format_RGBX8888)
                  .copy();
        gst_buffer_unmap(buffer, &map);
    }
    gst_sample_unref(sample);
    return out;
}

QString DeviceTestViewer::fingerprint(const QString &sdp) {
    static const QRegularExpression re(QStringLiteral("a=fingerprint:sha-256 ([0-9A-Fa-f:]+)"));
    const auto m = re.match(sdp);
    return m.hasMatch() ? m.captured(1).remove(QLatin1Char(':')).toUpper() : QString();
}

QPair<QString, QString> DeviceTestViewer::pythonProof(const QString &passcode, const QByteArray &nonce,
                                                      const QByteArray &autoSalt, const QByteArray &fixedSalt,
                                                      const QString &viewerFp, const QString &hostFp, qint64 iters) {
    static const char *script = R"(
import sys, hashlib, hmac, base64
p, nonce, asalt, fsalt, lfp, rfp, it = sys.argv[1:]
msg = base64.b64decode(nonce) + lfp.encode() + rfp.encode()
for salt in (asalt, fsalt):
    k = hashlib.pbkdf2_hmac('sha256', p.encode(), base64.b64decode(salt), int(it), 32)
    print(base64.b64encode(hmac.new(k, msg, hashlib.sha256).digest()).decode())
)";
    QProcess py;
    py.start(QStringLiteral("python3"),
             {QStringLiteral("-c"), QString::fromLatin1(script), passcode, QString::fromLatin1(nonce.toBase64()),
              QString::fromLatin1(autoSalt.toBase64()), QString::fromLatin1(fixedSalt.toBase64()), viewerFp, hostFp,
              QString::number(iters)});
    py.waitForFinished(30000);
    const QStringList lines = QString::fromUtf8(py.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    if (lines.size() != 2)
        return {};
    return {lines[0], lines[1]};
}

void DeviceTestViewer::start() {
    m_pipeline = gst_pipeline_new(nullptr);
    m_webrtc = gst_element_factory_make("webrtcbin", nullptr);
    gst_util_set_object_arg(G_OBJECT(m_webrtc), "bundle-policy", "max-bundle");
    gst_bin_add(GST_BIN(m_pipeline), m_webrtc);
    GstElement *ice = nullptr;
    g_object_get(m_webrtc, "ice-agent", &ice, nullptr);
    if (ice) {
        GObject *agent = nullptr;
        g_object_get(ice, "agent", &agent, nullptr);
        if (agent) {
            g_object_set(agent, "upnp", FALSE, nullptr);
            g_object_unref(agent);
        }
        for (const QString &a : qEnvironmentVariable("VELMO_ICE_ADDRESSES").split(',', Qt::SkipEmptyParts)) {
            gboolean ok = FALSE;
            g_signal_emit_by_name(ice, "add-local-ip-address", a.toUtf8().constData(), &ok);
        }
        gst_object_unref(ice);
    }
    GstWebRtc::applyIceServers(m_webrtc, m_options.iceUrls, m_options.iceUsername, m_options.iceCredential);
    if (m_options.relayOnly)
        gst_util_set_object_arg(G_OBJECT(m_webrtc), "ice-transport-policy", "relay");
    g_signal_connect(m_webrtc, "on-ice-candidate", G_CALLBACK(onIce), this);
    g_signal_connect(m_webrtc, "pad-added", G_CALLBACK(onPadAdded), this);
    gst_element_set_state(m_pipeline, GST_STATE_READY);

    GstStructure *opts = gst_structure_new("opts", "ordered", G_TYPE_BOOLEAN, TRUE, nullptr);
    GObject **slots[] = {&m_ctrl, &m_video, &m_input, &m_file};
    const char *labels[] = {"ctrl", "video", "input", "file"};
    for (int i = 0; i < 4; ++i) {
        GstWebRTCDataChannel *ch = nullptr;
        g_signal_emit_by_name(m_webrtc, "create-data-channel", labels[i], opts, &ch);
        *slots[i] = G_OBJECT(ch);
        g_signal_connect(ch, "on-message-string", G_CALLBACK(onMessageString), this);
        g_signal_connect(ch, "on-message-data", G_CALLBACK(onMessageData), this);
        g_signal_connect(ch, "on-open", G_CALLBACK(onOpen), this);
    }
    gst_structure_free(opts);
    if (m_options.h264) {
        GstCaps *v = gst_caps_from_string("application/x-rtp,media=video,encoding-name=H264,payload=102,"
                                          "clock-rate=90000,packetization-mode=(string)1,"
                                          "profile-level-id=(string)42e01f");
        GstCaps *a = gst_caps_from_string(
            "application/x-rtp,media=audio,encoding-name=OPUS,payload=111,clock-rate=48000,encoding-params=(string)2");
        GstWebRTCRTPTransceiver *t = nullptr;
        g_signal_emit_by_name(m_webrtc, "add-transceiver", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_RECVONLY, v, &t);
        if (t)
            gst_object_unref(t);
        g_signal_emit_by_name(m_webrtc, "add-transceiver", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_RECVONLY, a, &t);
        if (t)
            gst_object_unref(t);
        gst_caps_unref(v);
        gst_caps_unref(a);
    }
    gst_element_set_state(m_pipeline, GST_STATE_PLAYING);

    QUrl url(m_server);
    url.setScheme(url.scheme() == QLatin1String("https") ? QStringLiteral("wss") : QStringLiteral("ws"));
    url.setPath(QStringLiteral("/ws/viewer"));
    connect(&m_ws, &QWebSocket::connected, this, [this] {
        GstPromise *p = gst_promise_new_with_change_func(
            [](GstPromise *promise, gpointer data) {
                auto *self = static_cast<DeviceTestViewer *>(data);
                GstWebRTCSessionDescription *offer = nullptr;
                gst_structure_get(gst_promise_get_reply(promise), "offer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &offer,
                                  nullptr);
                gst_promise_unref(promise);
                g_signal_emit_by_name(self->m_webrtc, "set-local-description", offer, nullptr);
                gchar *text = gst_sdp_message_as_text(offer->sdp);
                const QString sdp = QString::fromUtf8(text);
                g_free(text);
                gst_webrtc_session_description_free(offer);
                QMetaObject::invokeMethod(
                    self,
                    [self, sdp] {
                        self->m_offer = sdp;
                        self->m_ws.sendTextMessage(
                            QString::fromUtf8(compact({{"type", "connect"},
                                                       {"to", self->m_deviceId},
                                                       {"sid", self->m_sid},
                                                       {"payload", QJsonObject{{"sdp", sdp}}}})));
                    },
                    Qt::QueuedConnection);
            },
            this, nullptr);
        g_signal_emit_by_name(m_webrtc, "create-offer", nullptr, p);
    });
    m_ws.open(url);
}

void DeviceTestViewer::close() {
    if (m_ws.state() == QAbstractSocket::ConnectedState)
        m_ws.sendTextMessage(QString::fromUtf8(compact({{"type", "bye"}, {"to", m_deviceId}, {"sid", m_sid}})));
    for (GObject *ch : {m_ctrl, m_video, m_input, m_file})
        if (ch)
            g_signal_emit_by_name(ch, "close");
}

void DeviceTestViewer::onSignal(const QString &text) {
    const QJsonObject msg = QJsonDocument::fromJson(text.toUtf8()).object();
    if (msg.value("sid").toString() != m_sid)
        return;
    signals_.append(msg);
    const QString type = msg.value("type").toString();
    if (type == QLatin1String("answer")) {
        m_answer = msg.value("payload").toObject().value("sdp").toString();
        GstSDPMessage *sdp = nullptr;
        gst_sdp_message_new_from_text(m_answer.toUtf8().constData(), &sdp);
        GstWebRTCSessionDescription *desc = gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_ANSWER, sdp);
        g_signal_emit_by_name(m_webrtc, "set-remote-description", desc, nullptr);
        gst_webrtc_session_description_free(desc);
    } else if (type == QLatin1String("ice")) {
        const QJsonObject p = msg.value("payload").toObject();
        g_signal_emit_by_name(m_webrtc, "add-ice-candidate", guint(p.value("sdpMLineIndex").toInt()),
                              p.value("candidate").toString().toUtf8().constData());
    } else if (type == QLatin1String("bye")) {
        gotBye = true;
    }
    Q_EMIT progressed();
}

void DeviceTestViewer::onIce(GstElement *, guint mline, gchar *candidate, gpointer data) {
    auto *self = static_cast<DeviceTestViewer *>(data);
    const QString cand = QString::fromUtf8(candidate);
    QMetaObject::invokeMethod(
        self,
        [self, mline, cand] {
            self->m_ws.sendTextMessage(
                QString::fromUtf8(compact({{"type", "ice"},
                                           {"to", self->m_deviceId},
                                           {"sid", self->m_sid},
                                           {"payload", QJsonObject{{"candidate", cand},
                                                                   {"sdpMid", midAt(self->m_offer, mline)},
                                                                   {"sdpMLineIndex", int(mline)}}}})));
        },
        Qt::QueuedConnection);
}

void DeviceTestViewer::onPadAdded(GstElement *, GstPad *pad, gpointer data) {
    auto *self = static_cast<DeviceTestViewer *>(data);
    if (GST_PAD_DIRECTION(pad) != GST_PAD_SRC)
        return;
    GstCaps *caps = gst_pad_get_current_caps(pad);
    if (!caps)
        caps = gst_pad_query_caps(pad, nullptr);
    const char *media = gst_structure_get_string(gst_caps_get_structure(caps, 0), "media");
    const bool video = g_strcmp0(media, "video") == 0;
    gst_caps_unref(caps);
    const char *desc = video ? "queue ! rtph264depay ! avdec_h264 ! videoconvert ! appsink name=s sync=false "
                               "emit-signals=true caps=video/x-raw,format=RGBx"
                             : "queue ! rtpopusdepay ! opusdec ! appsink name=s sync=false emit-signals=true";
    GstElement *bin = gst_parse_bin_from_description(desc, TRUE, nullptr);
    GstElement *sink = gst_bin_get_by_name(GST_BIN(bin), "s");
    g_object_set_data(G_OBJECT(sink), "video", GINT_TO_POINTER(video ? 1 : 0));
    g_signal_connect(sink, "new-sample", G_CALLBACK(onDecoded), self);
    gst_object_unref(sink);
    gst_bin_add(GST_BIN(self->m_pipeline), bin);
    gst_element_sync_state_with_parent(bin);
    GstPad *sinkPad = gst_element_get_static_pad(bin, "sink");
    gst_pad_link(pad, sinkPad);
    gst_object_unref(sinkPad);
}

GstFlowReturn DeviceTestViewer::onDecoded(GstElement *sink, gpointer data) {
    auto *self = static_cast<DeviceTestViewer *>(data);
    GstSample *sample = gst_app_sink_pull_sample(GST_APP_SINK(sink));
    if (!sample)
        return GST_FLOW_EOS;
    if (g_object_get_data(G_OBJECT(sink), "video")) {
        int w = 0, h = 0;
        const GstStructure *s = gst_caps_get_structure(gst_sample_get_caps(sample), 0);
        gst_structure_get_int(s, "width", &w);
        gst_structure_get_int(s, "height", &h);
        ++self->h264Frames;
        {
            std::lock_guard lock(self->m_sampleLock);
            if (self->m_lastSample)
                gst_sample_unref(self->m_lastSample);
            self->m_lastSample = gst_sample_ref(sample);
        }
        QMetaObject::invokeMethod(
            self,
            [self, w, h] {
                self->h264Size = QSize(w, h);
                Q_EMIT self->progressed();
            },
            Qt::QueuedConnection);
    } else {
        ++self->audioBuffers;
    }
    gst_sample_unref(sample);
    return GST_FLOW_OK;
}

void DeviceTestViewer::onOpen(GObject *, gpointer data) {
    auto *self = static_cast<DeviceTestViewer *>(data);
    ++self->m_openChannels;
}

void DeviceTestViewer::onMessageString(GObject *ch, gchar *text, gpointer data) {
    auto *self = static_cast<DeviceTestViewer *>(data);
    const QByteArray bytes(text);
    QMetaObject::invokeMethod(
        self,
        [self, ch, bytes] {
            if (ch == self->m_ctrl) {
                const QJsonDocument doc = QJsonDocument::fromJson(bytes);
                if (doc.isObject())
                    self->handleCtrl(doc.object());
            } else if (ch == self->m_video) {
                ++self->malformedVideo;
            } else if (ch == self->m_file) {
                self->handleFile(bytes, false);
            }
            Q_EMIT self->progressed();
        },
        Qt::QueuedConnection);
}

void DeviceTestViewer::onMessageData(GObject *ch, GBytes *bytes, gpointer data) {
    auto *self = static_cast<DeviceTestViewer *>(data);
    gsize size = 0;
    const auto *ptr = static_cast<const char *>(g_bytes_get_data(bytes, &size));
    const QByteArray copy(ptr, qsizetype(size));
    QMetaObject::invokeMethod(
        self,
        [self, ch, copy] {
            if (ch == self->m_video)
                self->handleVideo(copy);
            else if (ch == self->m_file)
                self->handleFile(copy, true);
            else if (ch == self->m_ctrl) {
                const QJsonDocument doc = QJsonDocument::fromJson(copy);
                if (doc.isObject())
                    self->handleCtrl(doc.object());
            }
            Q_EMIT self->progressed();
        },
        Qt::QueuedConnection);
}

void DeviceTestViewer::handleCtrl(const QJsonObject &msg) {
    ctrl.append(msg);
    const std::optional<ChallengeMessage> challenge =
        CtrlMessage::is<ChallengeMessage>(msg) ? ChallengeMessage::fromJson(msg) : std::nullopt;
    if (challenge && m_options.autoProve) {
        const QString localFp = fingerprint(m_offer);
        const QString remoteFp = fingerprint(m_answer);
        // Like the app: a host fingerprint that is not the answer's gets no proof.
        if (challenge->hostFp && *challenge->hostFp != remoteFp) {
            Q_EMIT ctrlReceived(msg);
            return;
        }
        const auto proof =
            pythonProof(m_options.passcode, challenge->nonce, challenge->autoSalt, challenge->fixedSalt, localFp,
                        remoteFp, qint64(challenge->iters.value_or(PasscodeProof::defaultIterations)));
        sendCtrl(AuthMessage{proof.first, proof.second}.toJson());
        proofSent = true;
    }
    Q_EMIT ctrlReceived(msg);
}

void DeviceTestViewer::handleVideo(const QByteArray &bytes) {
    if (bytes.size() < 14 || bytes[0] != 1) {
        ++malformedVideo;
        return;
    }
    const auto *p = reinterpret_cast<const uchar *>(bytes.constData());
    const quint32 seq = qFromBigEndian<quint32>(p + 1);
    const int index = qFromBigEndian<quint16>(p + 5);
    const int count = qFromBigEndian<quint16>(p + 7);
    Partial &part = m_partial[seq];
    if (part.parts.isEmpty()) {
        part.parts.resize(count);
        part.w = qFromBigEndian<quint16>(p + 9);
        part.h = qFromBigEndian<quint16>(p + 11);
        part.flags = p[13];
    }
    if (index >= part.parts.size()) {
        ++malformedVideo;
        return;
    }
    part.parts[index] = bytes.mid(14);
    if (++part.got < part.parts.size())
        return;
    QByteArray whole;
    for (const QByteArray &b : std::as_const(part.parts))
        whole += b;
    const Partial done = part;
    // Older frames that never completed are abandoned, as the app does.
    m_partial.erase(m_partial.begin(), m_partial.upperBound(seq));
    if (done.flags & 1) {
        stills.append(whole);
        return;
    }
    frameSizes.append(QSize(done.w, done.h));
    if (m_options.ackFrames)
        sendCtrl({{"t", "frame_ack"}, {"seq", qint64(seq)}});
    QImage img = QImage::fromData(whole, "JPEG");
    if (!img.isNull())
        frames.append(img);
    if (frames.size() > 50)
        frames.removeFirst();
}

void DeviceTestViewer::handleFile(const QByteArray &bytes, bool binary) {
    if (!binary) {
        const QJsonDocument doc = QJsonDocument::fromJson(bytes);
        if (doc.isObject())
            fileEvents.append(doc.object());
        else
            fileRejects.append(bytes);
        return;
    }
    if (bytes.size() < 9 || bytes[0] != 2) {
        fileRejects.append(bytes);
        return;
    }
    files[qFromBigEndian<quint32>(reinterpret_cast<const uchar *>(bytes.constData()) + 1)] += bytes.mid(9);
}

void DeviceTestViewer::sendText(GObject *channel, const QJsonObject &msg) {
    if (!channel)
        return;
    g_signal_emit_by_name(channel, "send-string", compact(msg).constData());
}

void DeviceTestViewer::sendCtrl(const QJsonObject &msg) {
    sendText(m_ctrl, msg);
}
void DeviceTestViewer::sendInput(const QJsonObject &msg) {
    sendText(m_input, msg);
}

int DeviceTestViewer::count(const QString &t) const {
    int n = 0;
    for (const QJsonObject &m : ctrl)
        n += CtrlMessage::tagOf(m) == t;
    return n;
}

QJsonObject DeviceTestViewer::last(const QString &t) const {
    for (auto it = ctrl.crbegin(); it != ctrl.crend(); ++it)
        if (CtrlMessage::tagOf(*it) == t)
            return *it;
    return {};
}

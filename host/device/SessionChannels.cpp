#include "device/SessionChannels.h"

#include "webrtc/GstWebRtc.h"

bool SessionChannels::add(const QString &label, GstWebRTCDataChannel *channel) {
    if (m_channels.contains(label))
        return false;
    m_channels.insert(label, static_cast<GstWebRTCDataChannel *>(g_object_ref(channel)));
    return true;
}

bool SessionChannels::sendText(const char *label, const QByteArray &text) {
    return GstWebRtc::sendText(m_channels.value(QLatin1String(label)), text);
}

bool SessionChannels::sendBinary(const char *label, const QByteArray &bytes) {
    if (bytes.size() > maxMessage)
        return false;
    return GstWebRtc::sendBinary(m_channels.value(QLatin1String(label)), bytes);
}

quint64 SessionChannels::buffered(const char *label) const {
    GstWebRTCDataChannel *ch = m_channels.value(QLatin1String(label));
    guint64 amount = 0;
    if (ch)
        g_object_get(ch, "buffered-amount", &amount, nullptr);
    return amount;
}

void SessionChannels::closeAll() {
    for (GstWebRTCDataChannel *ch : std::as_const(m_channels))
        gst_webrtc_data_channel_close(ch);
}

void SessionChannels::close(const char *label) {
    if (GstWebRTCDataChannel *ch = m_channels.take(QLatin1String(label))) {
        g_signal_handlers_disconnect_by_data(ch, m_handlerData);
        gst_webrtc_data_channel_close(ch);
        g_object_unref(ch);
    }
}

void SessionChannels::clear() {
    for (GstWebRTCDataChannel *ch : std::as_const(m_channels)) {
        g_signal_handlers_disconnect_by_data(ch, m_handlerData);
        g_object_unref(ch);
    }
    m_channels.clear();
}

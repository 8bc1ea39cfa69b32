#include "device/SessionChannels.h"

bool SessionChannels::add(const QString &label, GstWebRTCDataChannel *channel) {
    if (m_channels.contains(label))
        return false;
    m_channels.insert(label, static_cast<GstWebRTCDataChannel *>(g_object_ref(channel)));
    return true;
}

bool SessionChannels::sendText(const char *label, const QByteArray &text) {
    GstWebRTCDataChannel *ch = m_channels.value(QLatin1String(label));
    if (!ch)
        return false;
    return gst_webrtc_data_channel_send_string_full(ch, text.constData(), nullptr);
}

bool SessionChannels::sendBinary(const char *label, const QByteArray &bytes) {
    GstWebRTCDataChannel *ch = m_channels.value(QLatin1String(label));
    if (!ch || bytes.size() > maxMessage)
        return false;
    GBytes *b = g_bytes_new(bytes.constData(), gsize(bytes.size()));
    const bool ok = gst_webrtc_data_channel_send_data_full(ch, b, nullptr);
    g_bytes_unref(b);
    return ok;
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

void SessionChannels::releaseBlockedSends(GstElement *webrtcbin) {
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

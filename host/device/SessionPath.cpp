#include "device/SessionPath.h"

#include "webrtc/SelectedPair.h"

#include <gst/webrtc/webrtc.h>

SessionPath::SessionPath(QObject *parent) : QObject(parent) {
    m_watchdog.setInterval(1000);
    connect(&m_watchdog, &QTimer::timeout, this, [this] {
        if (g_get_monotonic_time() - m_lastInbound.load() > silenceLimitUs)
            Q_EMIT silent();
    });
}

void SessionPath::update(GstElement *webrtc) {
    if (!webrtc)
        return;
    const std::optional<SelectedPair> pair = SelectedPair::read(webrtc);
    if (!pair)
        return;
    const bool relay = pair->relayed();
    if (relay != m_relay || pair->remoteIp != m_remoteIp) {
        m_relay = relay;
        m_remoteIp = pair->remoteIp;
        Q_EMIT pathChanged();
    }
}

void SessionPath::watch(GstElement *webrtc) {
    m_lastInbound = g_get_monotonic_time();
    int probes = 0;
    GstIterator *it = gst_bin_iterate_recurse(GST_BIN(webrtc));
    GValue item = G_VALUE_INIT;
    while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        auto *element = GST_ELEMENT(g_value_get_object(&item));
        GstElementFactory *factory = gst_element_get_factory(element);
        if (factory && g_strcmp0(GST_OBJECT_NAME(factory), "nicesrc") == 0) {
            if (GstPad *pad = gst_element_get_static_pad(element, "src")) {
                gst_pad_add_probe(pad, GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
                                  inboundProbe, &m_lastInbound, nullptr);
                gst_object_unref(pad);
                ++probes;
            }
        }
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
    if (probes > 0)
        m_watchdog.start();
}

// ICE receive thread.
GstPadProbeReturn SessionPath::inboundProbe(GstPad *, GstPadProbeInfo *, gpointer lastInbound) {
    static_cast<std::atomic<gint64> *>(lastInbound)->store(g_get_monotonic_time());
    return GST_PAD_PROBE_OK;
}

#include "device/SessionPath.h"

#include "webrtc/SelectedPair.h"
#include <QHostAddress>
#include <QNetworkInterface>

#include <gst/webrtc/webrtc.h>

#include <algorithm>

SessionPath::SessionPath(QObject *parent) : QObject(parent) {
    m_watchdog.setInterval(1000);
    connect(&m_watchdog, &QTimer::timeout, this, [this] {
        if (g_get_monotonic_time() - m_lastInbound.load() > silenceLimitUs)
            Q_EMIT silent();
    });
}

QString SessionPath::usableAddress(const QString &remote, const QString &local) {
    // A link-local IPv6 address means nothing without the link: it gets the zone of the
    // interface the pair runs on (that of the local address), as in "fe80::1%eth0".
    const QHostAddress address(remote);
    if (address.protocol() != QAbstractSocket::IPv6Protocol || !address.isLinkLocal() || remote.contains(u'%'))
        return remote;
    const Q_IPV6ADDR ours = QHostAddress(local).toIPv6Address();
    for (const QNetworkInterface &iface : QNetworkInterface::allInterfaces()) {
        for (const QNetworkAddressEntry &entry : iface.addressEntries()) {
            // Compared without the scope that the interface's own entry carries.
            const Q_IPV6ADDR theirs = entry.ip().toIPv6Address();
            if (entry.ip().protocol() == QAbstractSocket::IPv6Protocol && std::equal(ours.c, ours.c + 16, theirs.c))
                return remote + u'%' + iface.name();
        }
    }
    return remote;
}

void SessionPath::update(GstElement *webrtc) {
    if (!webrtc)
        return;
    const std::optional<SelectedPair> pair = SelectedPair::read(webrtc);
    if (!pair)
        return;
    const bool relay = pair->relayed();
    const QString ip = usableAddress(pair->remoteIp, pair->localIp);
    if (relay != m_relay || ip != m_remoteIp) {
        m_relay = relay;
        m_remoteIp = ip;
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

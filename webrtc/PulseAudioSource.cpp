#include "webrtc/PulseAudioSource.h"

#include <QLoggingCategory>

#include <atomic>

Q_LOGGING_CATEGORY(lcPulse, "velmo.audio.pulse")

namespace {
// Streaming thread of the probe pipeline.
GstPadProbeReturn noteBuffer(GstPad *, GstPadProbeInfo *, gpointer seen) {
    static_cast<std::atomic<bool> *>(seen)->store(true);
    return GST_PAD_PROBE_OK;
}
} // namespace

AudioSource::Opened PulseAudioSource::open(const QString &kind) const {
    GstElement *src = gst_element_factory_make("pulsesrc", nullptr);
    if (!src)
        return {nullptr, {}, QStringLiteral("pulsesrc がありません(gstreamer1.0-pulseaudio)")};
    gst_object_ref_sink(src);
    // The session's pipeline keeps the system clock: a clock that leaves with a replaced
    // source would stop the whole pipeline.
    g_object_set(src, "provide-clock", FALSE, "client-name", "Velmo Remote", nullptr);
    if (kind == QLatin1String("system"))
        g_object_set(src, "device", "@DEFAULT_MONITOR@", nullptr);

    // Play it into a private pipeline until the first samples come: that proves the
    // server and the device, and the real session never sees a failing open.
    GstElement *probe = gst_pipeline_new(nullptr);
    GstElement *sink = gst_element_factory_make("fakesink", nullptr);
    g_object_set(sink, "sync", FALSE, "async", FALSE, nullptr);
    gst_bin_add_many(GST_BIN(probe), src, sink, nullptr);
    gst_element_link(src, sink);
    std::atomic<bool> seen{false};
    GstPad *pad = gst_element_get_static_pad(sink, "sink");
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, noteBuffer, &seen, nullptr);
    gst_object_unref(pad);

    QString error;
    GstBus *bus = gst_pipeline_get_bus(GST_PIPELINE(probe));
    if (gst_element_set_state(probe, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE)
        error = QStringLiteral("サウンドサーバーにつながりません");
    const gint64 deadline = g_get_monotonic_time() + gint64(openTimeoutMs) * 1000;
    while (error.isEmpty() && !seen.load() && g_get_monotonic_time() < deadline) {
        GstMessage *msg = gst_bus_timed_pop_filtered(bus, 20 * GST_MSECOND, GST_MESSAGE_ERROR);
        if (!msg)
            continue;
        GError *err = nullptr;
        gst_message_parse_error(msg, &err, nullptr);
        qCInfo(lcPulse) << kind << "cannot be recorded:" << (err ? err->message : "");
        error = kind == QLatin1String("system") ? QStringLiteral("システム音を録れません(出力の monitor がありません)")
                                                : QStringLiteral("マイクを録れません");
        g_clear_error(&err);
        gst_message_unref(msg);
    }
    if (error.isEmpty() && !seen.load())
        error = QStringLiteral("サウンドサーバーが応答しません");
    gst_object_unref(bus);

    gchar *current = nullptr;
    if (error.isEmpty())
        g_object_get(src, "current-device", &current, nullptr);
    const QString device = QString::fromUtf8(current ? current : "");
    g_free(current);

    gst_element_set_state(probe, GST_STATE_NULL);
    // Our own reference keeps the source for the session; the probe pipeline goes.
    gst_bin_remove(GST_BIN(probe), src);
    gst_object_unref(probe);
    if (!error.isEmpty()) {
        gst_object_unref(src);
        return {nullptr, {}, error};
    }
    return {src, device.isEmpty() ? kind : device, {}};
}

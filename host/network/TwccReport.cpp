#include "network/TwccReport.h"

namespace {
void readOne(const GValue *v, std::vector<CongestionController::Packet> &out) {
    if (!v || !GST_VALUE_HOLDS_STRUCTURE(v))
        return;
    const GstStructure *s = gst_value_get_structure(v);
    guint64 local = GST_CLOCK_TIME_NONE;
    guint64 remote = GST_CLOCK_TIME_NONE;
    guint size = 0;
    gboolean lost = FALSE;
    if (!gst_structure_get_uint64(s, "local-ts", &local) || local == GST_CLOCK_TIME_NONE)
        return;
    gst_structure_get_uint64(s, "remote-ts", &remote);
    gst_structure_get_uint(s, "size", &size);
    gst_structure_get_boolean(s, "lost", &lost);
    CongestionController::Packet p;
    p.sendUs = int64_t(local / 1000);
    p.recvUs = (lost || remote == GST_CLOCK_TIME_NONE) ? -1 : int64_t(remote / 1000);
    p.size = int(size);
    out.push_back(p);
}
} // namespace

std::vector<CongestionController::Packet> TwccReport::read(const GstStructure *report) {
    std::vector<CongestionController::Packet> out;
    const GValue *list = report ? gst_structure_get_value(report, "packets") : nullptr;
    if (!list)
        return out;
    if (GST_VALUE_HOLDS_LIST(list) || GST_VALUE_HOLDS_ARRAY(list)) {
        const guint n = GST_VALUE_HOLDS_LIST(list) ? gst_value_list_get_size(list) : gst_value_array_get_size(list);
        for (guint i = 0; i < n; ++i)
            readOne(GST_VALUE_HOLDS_LIST(list) ? gst_value_list_get_value(list, i) : gst_value_array_get_value(list, i),
                    out);
        return out;
    }
    // GValueArray (deprecated, but what the RTP session uses).
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    if (G_VALUE_HOLDS(list, g_value_array_get_type())) {
        auto *arr = static_cast<GValueArray *>(g_value_get_boxed(list));
        for (guint i = 0; arr && i < arr->n_values; ++i)
            readOne(g_value_array_get_nth(arr, i), out);
    }
    G_GNUC_END_IGNORE_DEPRECATIONS
    return out;
}

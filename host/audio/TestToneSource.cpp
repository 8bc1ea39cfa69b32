#include "audio/TestToneSource.h"

AudioSource::Opened TestToneSource::open(const QString &) const {
    GstElement *tone = gst_element_factory_make("audiotestsrc", nullptr);
    if (!tone)
        return {nullptr, {}, QStringLiteral("audiotestsrc がありません")};
    gst_object_ref_sink(tone);
    g_object_set(tone, "is-live", TRUE, "do-timestamp", TRUE, "freq", 440.0, "volume", 0.05, nullptr);
    gst_util_set_object_arg(G_OBJECT(tone), "wave", "sine");
    return {tone, QStringLiteral("テスト音 440 Hz"), {}};
}

#include "audio/TestToneSource.h"

#include "device/WebrtcTrack.h"

#include <QByteArray>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcTone, "velmo.audio.tone")

bool TestToneSource::addOpus(GstElement *webrtc, int pt) {
    const QByteArray rtpCaps =
        "application/x-rtp,media=audio,encoding-name=OPUS,clock-rate=48000,payload=" + QByteArray::number(pt);
    GError *err = nullptr;
    const QByteArray desc = "audiotestsrc is-live=true wave=sine freq=440 volume=0.05 ! valve name=gate drop=true "
                            "drop-mode=forward-sticky-events ! audioconvert ! audioresample ! opusenc ! rtpopuspay ! "
                            "capsfilter caps=\"" +
                            rtpCaps + "\"";
    GstElement *bin = gst_parse_bin_from_description(desc.constData(), TRUE, &err);
    if (!bin) {
        qCWarning(lcTone) << "opus branch:" << (err ? err->message : "?");
        g_clear_error(&err);
        return false;
    }
    gst_bin_add(GST_BIN(m_pipeline), bin);
    m_valve = gst_bin_get_by_name(GST_BIN(bin), "gate");
    gst_object_unref(m_valve);
    update();
    return WebrtcTrack::link(bin, webrtc, rtpCaps);
}

void TestToneSource::setFlowing(bool on) {
    m_flowing = on;
    update();
}

void TestToneSource::setAudioOn(bool on) {
    m_on = on;
    update();
}

void TestToneSource::update() {
    if (m_valve)
        g_object_set(m_valve, "drop", !(m_flowing && m_on), nullptr);
}

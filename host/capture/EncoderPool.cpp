#include "capture/EncoderPool.h"

#include "capture/CaptureFeed.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcPool, "velmo.capture.pool")

EncoderPool::EncoderPool() : m_h264(probeH264Encoder()) {}

QString EncoderPool::probeH264Encoder() {
    for (const char *name : {"vah264enc", "vaapih264enc"}) {
        GstElementFactory *factory = gst_element_factory_find(name);
        if (!factory)
            continue;
        gst_object_unref(factory);
        // Present is not enough (no device, no H.264 entry point): encode a few frames.
        const QByteArray desc = "videotestsrc num-buffers=3 ! video/x-raw,width=320,height=240,framerate=30/1 ! " +
                                VideoEncoder::encoderDescription(QString::fromLatin1(name), true, 70, 1000, 30) +
                                " ! fakesink";
        GError *err = nullptr;
        GstElement *pipeline = gst_parse_launch(desc.constData(), &err);
        g_clear_error(&err);
        if (!pipeline)
            continue;
        gst_element_set_state(pipeline, GST_STATE_PLAYING);
        GstBus *bus = gst_element_get_bus(pipeline);
        GstMessage *msg =
            gst_bus_timed_pop_filtered(bus, 3 * GST_SECOND, GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
        const bool ok = msg && GST_MESSAGE_TYPE(msg) == GST_MESSAGE_EOS;
        if (msg)
            gst_message_unref(msg);
        gst_object_unref(bus);
        gst_element_set_state(pipeline, GST_STATE_NULL);
        gst_object_unref(pipeline);
        if (ok) {
            qCInfo(lcPool) << "H.264 encoder:" << name;
            return QString::fromLatin1(name);
        }
        qCInfo(lcPool) << name << "is present but does not work here";
    }
    qCInfo(lcPool) << "H.264 encoder: x264enc (no working VA-API encoder)";
    return QStringLiteral("x264enc");
}

std::shared_ptr<VideoEncoder> EncoderPool::encoder(const std::shared_ptr<CaptureFeed> &feed,
                                                   const VideoEncoder::Key &key) {
    for (auto it = m_encoders.begin(); it != m_encoders.end();) {
        auto e = it->lock();
        if (!e) {
            it = m_encoders.erase(it);
            continue;
        }
        if (e->feed() == feed.get() && e->key() == key)
            return e;
        ++it;
    }
    auto e = std::make_shared<VideoEncoder>(feed, key, m_h264);
    e->setExtraFrameCostUs(m_extraCostUs);
    if (!e->start())
        return nullptr;
    m_encoders.append(e);
    return e;
}

#include "media/StreamRecorder.h"

#include "webrtc/GstWebRtc.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QThread>
#include <QThreadPool>

#include <gst/video/video.h>

Q_LOGGING_CATEGORY(lcRecorder, "velmo.recorder")

namespace {
bool hasElement(const char *name) {
    GstElementFactory *f = gst_element_factory_find(name);
    if (!f)
        return false;
    gst_object_unref(f);
    return true;
}

GstElement *make(const char *factory, const char *name = nullptr) {
    return gst_element_factory_make(factory, name);
}

void releaseImage(gpointer image) {
    delete static_cast<QImage *>(image);
}
} // namespace

QString StreamRecorder::frameEncoder() {
    if (!GstWebRtc::init())
        return {};
    for (const char *name : {"x264enc", "openh264enc", "avenc_h264_omx", "vaapih264enc"})
        if (hasElement(name))
            return QString::fromLatin1(name);
    return {};
}

Result<std::shared_ptr<StreamRecorder>> StreamRecorder::start(const QString &path, Input input, Ended ended) {
    std::shared_ptr<StreamRecorder> r(new StreamRecorder);
    r->m_path = path;
    r->m_partPath = path + QStringLiteral(".part");
    r->m_input = input;
    r->m_ended = std::move(ended);
    QString error;
    if (!r->build(&error)) {
        r->m_reported = true; // nothing to report: the caller gets the error now
        if (r->m_pipeline)
            gst_element_set_state(r->m_pipeline, GST_STATE_NULL);
        QFile::remove(r->m_partPath);
        return Result<std::shared_ptr<StreamRecorder>>::failure(Error::make(Error::Kind::Unavailable, error));
    }
    return Result<std::shared_ptr<StreamRecorder>>::success(std::move(r));
}

bool StreamRecorder::build(QString *error) {
    auto failWith = [error](const QString &text) {
        *error = text;
        return false;
    };
    if (!GstWebRtc::init())
        return failWith(GstWebRtc::error());
    for (const char *name : {"appsrc", "h264parse", "matroskamux", "filesink"})
        if (!hasElement(name))
            return failWith(QStringLiteral("録画に必要な GStreamer の部品 %1 がありません").arg(QLatin1String(name)));
    QString encoder;
    if (m_input == Input::Frames) {
        encoder = frameEncoder();
        if (encoder.isEmpty())
            return failWith(QStringLiteral("録画に使える H.264 エンコーダがありません"));
    }
    // The file is made here so that a folder that cannot be written is reported at once.
    {
        QFile probe(m_partPath);
        if (!probe.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return failWith(probe.errorString());
    }

    m_pipeline = gst_pipeline_new("recorder");
    gst_object_ref_sink(m_pipeline);
    m_src = make("appsrc", "src");
    GstElement *parse = make("h264parse");
    GstElement *mux = make("matroskamux");
    GstElement *sink = make("filesink");
    g_object_set(m_src, "format", GST_FORMAT_TIME, "is-live", TRUE, "do-timestamp", FALSE, "max-bytes",
                 guint64(maxQueuedBytes), nullptr);
    g_object_set(sink, "location", QFile::encodeName(m_partPath).constData(), "sync", FALSE, "async", FALSE, nullptr);
    gst_bin_add_many(GST_BIN(m_pipeline), m_src, parse, mux, sink, nullptr);
    bool linked = false;
    if (m_input == Input::H264) {
        linked = gst_element_link_many(m_src, parse, mux, sink, nullptr);
    } else {
        GstElement *convert = make("videoconvert");
        GstElement *scale = make("videoscale");
        GstElement *size = make("capsfilter", "size");
        GstElement *enc = make(encoder.toLatin1().constData());
        if (!convert || !scale || !size || !enc)
            return failWith(QStringLiteral("録画用のパイプラインを作れません"));
        if (encoder == QLatin1String("x264enc"))
            gst_util_set_object_arg(G_OBJECT(enc), "tune", "zerolatency");
        if (encoder == QLatin1String("x264enc"))
            gst_util_set_object_arg(G_OBJECT(enc), "speed-preset", "veryfast");
        gst_bin_add_many(GST_BIN(m_pipeline), convert, scale, size, enc, nullptr);
        linked = gst_element_link_many(m_src, convert, scale, size, enc, parse, mux, sink, nullptr);
        // Queued pictures beyond the bound are dropped, the oldest first.
        gst_util_set_object_arg(G_OBJECT(m_src), "leaky-type", "downstream");
    }
    if (!linked)
        return failWith(QStringLiteral("録画用のパイプラインをつなげません"));
    GstBus *bus = gst_pipeline_get_bus(GST_PIPELINE(m_pipeline));
    gst_bus_set_sync_handler(bus, onBusMessage, this, nullptr);
    gst_object_unref(bus);
    if (gst_element_set_state(m_pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE)
        return failWith(QStringLiteral("録画用のパイプラインが動きません"));
    m_startNs = g_get_monotonic_time() * 1000;
    qCInfo(lcRecorder) << "recording" << (m_input == Input::H264 ? "H.264 as received" : "frames with") << encoder
                       << "into" << m_path;
    return true;
}

StreamRecorder::~StreamRecorder() {
    if (m_pipeline) {
        GstBus *bus = gst_pipeline_get_bus(GST_PIPELINE(m_pipeline));
        gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
        gst_object_unref(bus);
        gst_element_set_state(m_pipeline, GST_STATE_NULL);
        gst_object_unref(m_pipeline);
    }
    if (m_caps)
        gst_caps_unref(m_caps);
}

void StreamRecorder::pushEncoded(GstSample *sample) {
    if (m_finishing || m_input != Input::H264 || !sample)
        return;
    GstBuffer *in = gst_sample_get_buffer(sample);
    GstCaps *caps = gst_sample_get_caps(sample);
    if (!in || !caps || !GST_BUFFER_PTS_IS_VALID(in))
        return;
    std::lock_guard guard(m_pushLock);
    if (m_finishing)
        return;
    if (!m_sawKeyFrame) {
        if (GST_BUFFER_FLAG_IS_SET(in, GST_BUFFER_FLAG_DELTA_UNIT))
            return; // a file that starts in the middle of a group shows garbage until the next key frame
        m_sawKeyFrame = true;
        m_base = GST_BUFFER_PTS(in);
    }
    if (gst_app_src_get_current_level_bytes(GST_APP_SRC(m_src)) > maxQueuedBytes) {
        fail(QStringLiteral("録画の書き込みが追いつきません"));
        return;
    }
    if (m_caps && !gst_caps_is_equal(m_caps, caps)) {
        finishLocked(QStringLiteral("映像の形式が変わったため、そこまでの録画を保存しました"));
        return;
    }
    if (!m_caps) {
        gst_caps_replace(&m_caps, caps);
        gst_app_src_set_caps(GST_APP_SRC(m_src), caps);
    }
    // The same memory, with time stamps that start at zero.
    GstBuffer *out = gst_buffer_copy(in);
    const GstClockTime pts = GST_BUFFER_PTS(in);
    GST_BUFFER_PTS(out) = pts >= m_base ? pts - m_base : 0;
    GST_BUFFER_DTS(out) = GST_BUFFER_PTS(out); // constrained baseline: decode order is display order
    if (gst_app_src_push_buffer(GST_APP_SRC(m_src), out) == GST_FLOW_OK)
        ++m_frames;
}

void StreamRecorder::pushFrame(const QImage &frame) {
    if (m_finishing || m_input != Input::Frames || frame.isNull())
        return;
    QImage image = frame.format() == QImage::Format_RGB32 ? frame : frame.convertToFormat(QImage::Format_RGB32);
    std::lock_guard guard(m_pushLock);
    if (m_finishing)
        return;
    if (!m_frameSize.isValid()) {
        // The encoder wants even sizes; later pictures of another size are scaled into this one.
        m_frameSize = QSize(std::max(2, image.width() & ~1), std::max(2, image.height() & ~1));
        GstElement *size = gst_bin_get_by_name(GST_BIN(m_pipeline), "size");
        GstCaps *fixed = gst_caps_new_simple("video/x-raw", "width", G_TYPE_INT, m_frameSize.width(), "height",
                                             G_TYPE_INT, m_frameSize.height(), "format", G_TYPE_STRING, "I420",
                                             "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, nullptr);
        g_object_set(size, "caps", fixed, nullptr);
        gst_caps_unref(fixed);
        gst_object_unref(size);
    }
    GstVideoInfo info;
    gst_video_info_set_format(&info, GST_VIDEO_FORMAT_BGRx, guint(image.width()), guint(image.height()));
    info.stride[0] = int(image.bytesPerLine());
    info.size = gsize(image.sizeInBytes());
    GstCaps *caps = gst_video_info_to_caps(&info);
    gst_caps_set_simple(caps, "framerate", GST_TYPE_FRACTION, 0, 1, nullptr);
    if (!m_caps || !gst_caps_is_equal(m_caps, caps)) {
        gst_caps_replace(&m_caps, caps);
        gst_app_src_set_caps(GST_APP_SRC(m_src), caps);
    }
    gst_caps_unref(caps);
    // The picture's own pixels, kept alive by a shared copy of the image until the encoder is done.
    auto *hold = new QImage(image);
    GstBuffer *buffer =
        gst_buffer_new_wrapped_full(GST_MEMORY_FLAG_READONLY, const_cast<uchar *>(hold->constBits()),
                                    gsize(hold->sizeInBytes()), 0, gsize(hold->sizeInBytes()), hold, releaseImage);
    gst_buffer_add_video_meta_full(buffer, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_FORMAT_BGRx, guint(image.width()),
                                   guint(image.height()), 1, info.offset, info.stride);
    const qint64 now = g_get_monotonic_time() * 1000;
    GST_BUFFER_PTS(buffer) = GstClockTime(std::max<qint64>(0, now - m_startNs));
    GST_BUFFER_DTS(buffer) = GST_BUFFER_PTS(buffer);
    if (gst_app_src_push_buffer(GST_APP_SRC(m_src), buffer) == GST_FLOW_OK)
        ++m_frames;
}

void StreamRecorder::finish() {
    std::lock_guard guard(m_pushLock); // a push in progress completes first
    finishLocked(QString());
}

// Under m_pushLock.
void StreamRecorder::finishLocked(const QString &note) {
    if (m_finishing.exchange(true))
        return;
    m_note = note;
    // The owner may let go now (a window closing): the file is still finished.
    {
        std::lock_guard alive(m_aliveLock);
        if (!m_reported)
            m_keepAlive = shared_from_this();
    }
    if (m_frames == 0) {
        end(QStringLiteral("録画できた映像がありません"));
        return;
    }
    gst_app_src_end_of_stream(GST_APP_SRC(m_src));
    // The muxer writes its index and duration on the end of stream; a pipeline that
    // cannot get there within a few seconds is stuck, and its file is not kept.
    std::weak_ptr<StreamRecorder> weak = weak_from_this();
    QThreadPool::globalInstance()->start([weak] {
        // Worker thread: waits for the end without holding the recorder alive.
        for (int i = 0; i < 100; ++i) {
            QThread::msleep(50);
            const auto self = weak.lock();
            if (!self || self->m_reported)
                return;
        }
        if (const auto self = weak.lock())
            self->end(QStringLiteral("録画ファイルを閉じられませんでした"));
    });
}

void StreamRecorder::fail(const QString &error) {
    m_finishing = true;
    end(error);
}

// Any thread: the recording is over, well (empty error) or not.
void StreamRecorder::end(const QString &error) {
    {
        std::lock_guard alive(m_aliveLock);
        if (m_reported.exchange(true))
            return;
    }
    // Stopping a pipeline from one of its own streaming threads deadlocks: a worker does it.
    std::shared_ptr<StreamRecorder> self = weak_from_this().lock();
    if (!self)
        return;
    QThreadPool::globalInstance()->start([self, error] { self->stopAndReport(error); });
}

// Worker thread.
void StreamRecorder::stopAndReport(const QString &error) {
    gst_element_set_state(m_pipeline, GST_STATE_NULL);
    QString outcome = error;
    if (outcome.isEmpty()) {
        QFile::remove(m_path); // the save dialog asked before replacing it
        if (!QFile::rename(m_partPath, m_path))
            outcome = QStringLiteral("録画ファイルを %1 に置けませんでした").arg(QFileInfo(m_path).fileName());
    }
    if (!outcome.isEmpty()) {
        QFile::remove(m_partPath);
        qCWarning(lcRecorder) << "recording into" << m_path << "failed:" << outcome;
    } else {
        qCInfo(lcRecorder) << "recording saved:" << m_path << m_frames.load() << "pictures";
    }
    if (m_ended)
        m_ended(m_path, outcome, outcome.isEmpty() ? m_note : QString());
    std::shared_ptr<StreamRecorder> last;
    {
        std::lock_guard alive(m_aliveLock);
        last = std::move(m_keepAlive);
    }
}

// Any streaming thread of the recorder's pipeline: the end of the stream reached the
// file, or an element failed. Both are handed to a worker by end().
GstBusSyncReply StreamRecorder::onBusMessage(GstBus *, GstMessage *msg, gpointer data) {
    auto *self = static_cast<StreamRecorder *>(data);
    if (GST_MESSAGE_TYPE(msg) == GST_MESSAGE_EOS) {
        self->end(QString());
    } else if (GST_MESSAGE_TYPE(msg) == GST_MESSAGE_ERROR) {
        GError *err = nullptr;
        gchar *debug = nullptr;
        gst_message_parse_error(msg, &err, &debug);
        const QString text = QString::fromUtf8(err ? err->message : "recording pipeline error");
        qCWarning(lcRecorder) << "pipeline error:" << text << debug;
        g_clear_error(&err);
        g_free(debug);
        self->fail(QStringLiteral("録画に失敗しました: ") + text);
    }
    return GST_BUS_DROP;
}

#include "platform/wayland/PipeWireFrameGrabber.h"

#include "platform/wayland/PipeWireStream.h"

#include <QLoggingCategory>

#include <gst/app/gstappsink.h>
#include <gst/video/video.h>

#include <climits>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcPipeWireGrab, "velmo.capture.pipewire")

namespace {
// While the node is not known yet, the capture thread looks again this often.
constexpr int kNodeWaitMs = 50;

// appsink's streaming thread (PipeWire's): a picture came; the capture thread wakes.
GstFlowReturn newSample(GstAppSink *, gpointer data) {
    auto *fd = static_cast<int *>(data);
    const quint64 one = 1;
    [[maybe_unused]] const ssize_t n = write(*fd, &one, sizeof one);
    return GST_FLOW_OK;
}
} // namespace

PipeWireFrameGrabber::PipeWireFrameGrabber(std::shared_ptr<PipeWireStream> stream) : m_stream(std::move(stream)) {
    m_eventFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

PipeWireFrameGrabber::~PipeWireFrameGrabber() {
    stopPipeline();
    if (m_picture)
        gst_buffer_unref(m_picture);
    if (m_held)
        gst_sample_unref(m_held);
    if (m_eventFd >= 0)
        close(m_eventFd);
}

Result<std::monostate> PipeWireFrameGrabber::open(const QRect &rect) {
    if (m_eventFd < 0)
        return Result<std::monostate>::failure(
            Error::make(Error::Kind::Unavailable, QStringLiteral("no eventfd for the screen-cast capture")));
    if (m_stream->ended)
        return Result<std::monostate>::failure(
            Error::make(Error::Kind::Unavailable, QStringLiteral("the screen-cast session has ended")));
    if (!gst_element_factory_find("pipewiresrc"))
        return Result<std::monostate>::failure(Error::make(
            Error::Kind::Unavailable, QStringLiteral("GStreamer has no pipewiresrc (package gstreamer1.0-pipewire)")));
    m_rect = rect;
    return Result<std::monostate>::success({});
}

bool PipeWireFrameGrabber::setRect(const QRect &rect) {
    m_rect = rect;
    return true;
}

// Capture thread.
bool PipeWireFrameGrabber::build() {
    // always-copy: the picture leaves PipeWire's buffers at once (they go back to the
    // compositor, which has only a few), so one may be held by the encoders as long as they
    // like. A portal's stream is reached only through the connection it opened for us (fd;
    // pipewiresrc takes a copy of it).
    m_builtNode = m_stream->node;
    const int remote = m_stream->remote;
    const QByteArray desc = QByteArrayLiteral("pipewiresrc name=src always-copy=true path=") +
                            QByteArray::number(m_builtNode) +
                            (remote >= 0 ? QByteArrayLiteral(" fd=") + QByteArray::number(remote) : QByteArray()) +
                            " ! videoconvert ! video/x-raw,format=BGRx ! appsink name=sink sync=false max-buffers=1 "
                            "drop=true";
    GError *err = nullptr;
    m_pipeline = gst_parse_launch(desc.constData(), &err);
    if (!m_pipeline || err) {
        qCWarning(lcPipeWireGrab) << "no capture pipeline:" << (err ? err->message : "?");
        if (err)
            g_error_free(err);
        if (m_pipeline)
            gst_object_unref(m_pipeline);
        m_pipeline = nullptr;
        return false;
    }
    m_sink = gst_bin_get_by_name(GST_BIN(m_pipeline), "sink");
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = newSample;
    gst_app_sink_set_callbacks(GST_APP_SINK(m_sink), &callbacks, &m_eventFd, nullptr);
    if (gst_element_set_state(m_pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        qCWarning(lcPipeWireGrab) << "the capture pipeline of node" << m_builtNode << "does not start";
        stopPipeline();
        return false;
    }
    qCInfo(lcPipeWireGrab) << "capturing monitor" << m_stream->connector << "from PipeWire node"
                           << m_stream->node.load();
    return true;
}

void PipeWireFrameGrabber::stopPipeline() {
    if (!m_pipeline)
        return;
    if (m_held)
        gst_sample_unref(std::exchange(m_held, nullptr));
    gst_element_set_state(m_pipeline, GST_STATE_NULL);
    gst_object_unref(m_sink);
    gst_object_unref(m_pipeline);
    m_sink = nullptr;
    m_pipeline = nullptr;
}

// Capture thread. An error on the pipeline's bus (the stream went away) ends the capture.
bool PipeWireFrameGrabber::pipelineFailed() {
    GstBus *bus = gst_element_get_bus(m_pipeline);
    bool failed = false;
    while (GstMessage *msg = gst_bus_pop_filtered(bus, GstMessageType(GST_MESSAGE_ERROR | GST_MESSAGE_EOS))) {
        if (GST_MESSAGE_TYPE(msg) == GST_MESSAGE_ERROR) {
            GError *err = nullptr;
            gst_message_parse_error(msg, &err, nullptr);
            qCWarning(lcPipeWireGrab) << "the screen stream of" << m_stream->connector
                                      << "failed:" << (err ? err->message : "?");
            if (err)
                g_error_free(err);
        } else {
            qCWarning(lcPipeWireGrab) << "the screen stream of" << m_stream->connector << "ended";
        }
        failed = true;
        gst_message_unref(msg);
    }
    gst_object_unref(bus);
    return failed;
}

FrameGrabber::Poll PipeWireFrameGrabber::poll() {
    Poll p;
    // Mutter draws the pointer: nothing to draw here, nothing to follow.
    p.pointer = QPoint(INT_MIN / 2, INT_MIN / 2);
    // A new session gives the monitor a new node: the pipeline moves to it. One that failed
    // waits for the next node.
    const quint32 node = m_stream->node;
    if (m_pipeline && node != m_builtNode)
        stopPipeline();
    if (!m_pipeline && node && node != m_failedNode && !m_stream->ended && !build())
        m_failedNode = node;
    if (m_pipeline && pipelineFailed()) {
        m_failedNode = m_builtNode;
        stopPipeline();
    }
    p.lost = m_stream->ended;
    quint64 count = 0;
    if (read(m_eventFd, &count, sizeof count) > 0 && count > 0) {
        m_received += count;
        m_fresh = true;
    }
    p.damaged = m_fresh.load();
    return p;
}

void PipeWireFrameGrabber::wait(int wakeFd, int timeoutMs) {
    pollfd fds[2] = {{wakeFd, POLLIN, 0}, {m_eventFd, POLLIN, 0}};
    if (!m_pipeline)
        timeoutMs = timeoutMs < 0 ? kNodeWaitMs : std::min(timeoutMs, kNodeWaitMs);
    ::poll(fds, 2, timeoutMs);
}

FrameGrabber::Grab PipeWireFrameGrabber::grab() {
    if (!m_sink)
        return Grab::Failed;
    // The newest picture is kept until it fits the monitor's rectangle: after a mode change
    // or a turn the new size may come before the new layout reaches the feed, and Mutter
    // sends no other picture of a still desktop.
    if (GstSample *fresh = gst_app_sink_try_pull_sample(GST_APP_SINK(m_sink), 0)) {
        if (m_held)
            gst_sample_unref(m_held);
        m_held = fresh;
    }
    m_fresh = false;
    if (!m_held)
        return Grab::Failed;
    GstVideoInfo info;
    GstCaps *caps = gst_sample_get_caps(m_held);
    GstBuffer *buf = gst_sample_get_buffer(m_held);
    if (!caps || !buf || !gst_video_info_from_caps(&info, caps)) {
        gst_sample_unref(std::exchange(m_held, nullptr));
        return Grab::Failed;
    }
    const int w = int(GST_VIDEO_INFO_WIDTH(&info));
    const int h = int(GST_VIDEO_INFO_HEIGHT(&info));
    if (QSize(w, h) != m_rect.size()) {
        if (!m_sizeWarned)
            qCInfo(lcPipeWireGrab) << "stream picture is" << w << "x" << h << "while the monitor is" << m_rect.size();
        m_sizeWarned = true;
        return Grab::Failed;
    }
    GstSample *sample = std::exchange(m_held, nullptr);
    m_sizeWarned = false;
    // The consumers want lines of exactly width × 4 bytes in a buffer of their own.
    GstVideoFrame frame;
    if (!gst_video_frame_map(&frame, &info, buf, GST_MAP_READ)) {
        gst_sample_unref(sample);
        return Grab::Failed;
    }
    const size_t line = size_t(w) * 4;
    GstBuffer *out = gst_buffer_new_allocate(nullptr, line * size_t(h), nullptr);
    GstMapInfo map;
    if (gst_buffer_map(out, &map, GST_MAP_WRITE)) {
        const int stride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0);
        const auto *src = static_cast<const guint8 *>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0));
        if (size_t(stride) == line)
            std::memcpy(map.data, src, line * size_t(h));
        else
            for (int y = 0; y < h; ++y)
                std::memcpy(map.data + size_t(y) * line, src + size_t(y) * size_t(stride), line);
        gst_buffer_unmap(out, &map);
    }
    gst_video_frame_unmap(&frame);
    gst_sample_unref(sample);
    if (m_picture)
        gst_buffer_unref(m_picture);
    m_picture = out;
    return Grab::Ok;
}

GstBuffer *PipeWireFrameGrabber::picture() {
    return std::exchange(m_picture, nullptr);
}

const QImage &PipeWireFrameGrabber::cursor(QPoint *hotspot) const {
    *hotspot = QPoint();
    return m_noCursor;
}

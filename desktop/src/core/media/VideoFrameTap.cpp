#include "media/VideoFrameTap.h"

VideoFrameTap::VideoFrameTap(SizeSink onSize, FrameSink onFrame)
    : m_onSize(std::move(onSize)), m_onFrame(std::move(onFrame)) {}

void VideoFrameTap::renderFrame(const QImage &frame) {
    if (frame.isNull())
        return;
    {
        std::lock_guard guard(m_lock);
        m_latest = frame;
    }
    m_frames.fetch_add(1, std::memory_order_relaxed);
    reportSize(frame.size());
    if (m_onFrame && !m_notified.exchange(true))
        m_onFrame();
}

void VideoFrameTap::setSize(QSize size) {
    if (size.width() > 0 && size.height() > 0)
        reportSize(size);
}

void VideoFrameTap::reportSize(QSize size) {
    // Only changes travel to the main thread: this runs for every frame.
    if (size == m_reported)
        return;
    m_reported = size;
    if (m_onSize)
        m_onSize(size);
}

QImage VideoFrameTap::latestImage() const {
    m_notified.store(false);
    std::lock_guard guard(m_lock);
    return m_latest;
}

bool VideoFrameTap::hasFrame() const {
    std::lock_guard guard(m_lock);
    return !m_latest.isNull();
}

#pragma once

#include <QImage>
#include <QSize>

#include <atomic>
#include <functional>
#include <mutex>

// Frame sink of the H.264 track: keeps the latest decoded frame for painting and
// snapshots, reports the frame size only when it changes, and asks for a repaint
// at most once until the painter has fetched the frame.
//
// renderFrame()/setSize() run on the decoder's streaming thread; latestImage() on
// any thread (the screen view calls it on the main thread). The callbacks given to
// the constructor run on the streaming thread and must hand over to their owner.
class VideoFrameTap {
public:
    using SizeSink = std::function<void(QSize)>;
    using FrameSink = std::function<void()>;

    explicit VideoFrameTap(SizeSink onSize = {}, FrameSink onFrame = {});

    // Streaming thread: one decoded frame. A null image is ignored.
    void renderFrame(const QImage &frame);
    // Streaming thread: the negotiated size; only positive sizes count.
    void setSize(QSize size);

    // The last frame delivered, or a null image before the first one. Fetching it
    // re-arms the repaint notification.
    QImage latestImage() const;
    bool hasFrame() const;
    // Frames delivered so far (for tests and statistics).
    quint64 frameCount() const { return m_frames.load(std::memory_order_relaxed); }

private:
    void reportSize(QSize size);

    SizeSink m_onSize;
    FrameSink m_onFrame;
    mutable std::mutex m_lock; // guards m_latest
    QImage m_latest;
    QSize m_reported;                            // streaming thread only
    mutable std::atomic<bool> m_notified{false}; // a repaint request is outstanding
    std::atomic<quint64> m_frames{0};
};

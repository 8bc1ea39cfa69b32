#pragma once

#include "capture/FrameGrabber.h"

#include <QImage>

#include <atomic>
#include <memory>

struct PipeWireStream;
typedef struct _GstElement GstElement;
typedef struct _GstSample GstSample;

// Reads one monitor of a Wayland desktop from its screen-cast stream: `pipewiresrc` on the
// stream's PipeWire node (through the portal's connection where there is one) into an
// appsink that keeps only the newest picture. The compositor sends a picture only when the
// monitor changed, so an idle desktop costs nothing, and poll() reports a change exactly
// when one arrived. The pointer is drawn in by the compositor. The pipeline is built on the
// capture thread once the node is known (the session announces it shortly after it
// started), and moves to the new node when Mutter made a new session.
class PipeWireFrameGrabber : public FrameGrabber {
public:
    explicit PipeWireFrameGrabber(std::shared_ptr<PipeWireStream> stream);
    ~PipeWireFrameGrabber() override;

    Result<std::monostate> open(const QRect &rect) override;
    bool setRect(const QRect &rect) override;
    Poll poll() override;
    void wait(int wakeFd, int timeoutMs) override;
    bool reportsMotion() const override { return true; }
    Grab grab() override;
    GstBuffer *picture() override;
    const QImage &cursor(QPoint *hotspot) const override;

    // Pictures that arrived from PipeWire (for figures).
    quint64 received() const { return m_received.load(); }

private:
    bool build();
    void stopPipeline();
    bool pipelineFailed();

    std::shared_ptr<PipeWireStream> m_stream;
    QRect m_rect;
    GstElement *m_pipeline = nullptr;
    GstElement *m_sink = nullptr;
    int m_eventFd = -1; // readable when a picture arrived
    std::atomic<bool> m_fresh{false};
    std::atomic<quint64> m_received{0};
    quint32 m_builtNode = 0;  // the node the pipeline reads
    quint32 m_failedNode = 0; // a node whose pipeline failed: the next one is waited for
    bool m_sizeWarned = false;
    GstBuffer *m_picture = nullptr; // the last grab, until taken
    GstSample *m_held = nullptr;    // the newest picture from the stream, until it fits
    QImage m_noCursor;
};

#pragma once

#include "capture/FrameGrabber.h"

#include <QImage>

#include <memory>
#include <vector>

class WaylandClient;

// Grabs one output of a wlroots compositor through the screencopy protocol, on a
// connection of its own used only on the feed's capture thread. A copy request is always
// outstanding: after the first picture it is `copy_with_damage`, which the compositor
// answers only once the output changed, so an idle desktop costs nothing and poll()
// reports a change exactly when a new picture has arrived. The compositor writes into one
// of a few shared-memory buffers that goes on to the encoders as the frame itself (no
// copy); the pointer is drawn in by the compositor.
class WlrFrameGrabber : public FrameGrabber {
public:
    WlrFrameGrabber();
    ~WlrFrameGrabber() override;

    bool open(const QRect &rect, QString *error) override;
    bool setRect(const QRect &rect) override;
    Poll poll() override;
    void wait(int wakeFd, int timeoutMs) override;
    bool reportsMotion() const override { return true; }
    Grab grab() override;
    GstBuffer *picture() override;
    const QImage &cursor(QPoint *hotspot) const override;

    struct Buffer;
    struct Request;

private:
    void request();
    void copyInto();
    std::shared_ptr<Buffer> freeBuffer();
    void dropRequest();

    std::unique_ptr<WaylandClient> m_client;
    struct Impl;
    std::unique_ptr<Impl> d;
    QImage m_noCursor;
};

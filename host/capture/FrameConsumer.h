#pragma once

#include <QSize>

#include <gst/gst.h>

// Something that takes a feed's pictures (an encoder). Every method is called on the
// feed's capture thread.
class FrameConsumer {
public:
    virtual ~FrameConsumer() = default;
    // A picture (BGRx, stride = width × 4, the pointer drawn in); borrowed: take a reference
    // to keep it. `repeat`: the same picture as last time.
    virtual void consumeFrame(GstBuffer *frame, QSize size, bool repeat) = 0;
    // How many pictures a second it takes at most.
    virtual int maxFps() const = 0;
    // Whether it wants the last picture again although nothing changed (a key frame
    // was asked for, or the stream needs a sign of life).
    virtual bool wantsRepeat(gint64 nowUs) = 0;
};

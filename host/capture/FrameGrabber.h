#pragma once

#include "protocol/Result.h"

#include <variant>

#include <QImage>
#include <QPoint>
#include <QRect>
#include <QString>

#include <gst/gst.h>

// The platform part of a capture feed: reads one rectangle of the desktop and the
// pointer. Created on any thread, then used only on its feed's capture thread.
class FrameGrabber {
public:
    struct Poll {
        bool damaged = false;       // the rectangle's picture changed since the last poll
        bool cursorChanged = false; // the pointer's shape changed
        QPoint pointer;             // desktop coordinates
        bool lost = false;          // the display went away: the feed stops
    };

    virtual ~FrameGrabber() = default;
    // Connects and prepares for `rect`; fails with the reason when capture cannot work.
    virtual Result<std::monostate> open(const QRect &rect) = 0;
    // A new rectangle (layout change, other display); false when it cannot be captured.
    virtual bool setRect(const QRect &rect) = 0;
    // What happened since the last call; never blocks on the display server for long.
    virtual Poll poll() = 0;
    // Blocks until poll() may have news, `wakeFd` turns readable or `timeoutMs` passes
    // (-1: no limit).
    virtual void wait(int wakeFd, int timeoutMs) = 0;
    // Whether wait() also returns when the pointer moves; if not, the feed has to look at
    // the pointer on a timer.
    virtual bool reportsMotion() const = 0;
    enum class Grab {
        Ok,
        Busy,  // every picture the grabber may have is still in use: try again later
        Failed // the server refused (the display is changing): wait for the next change
    };
    // Reads the rectangle's pixels into a picture that no later grab overwrites while
    // someone holds it.
    virtual Grab grab() = 0;
    // The picture of the last successful grab (BGRx, stride = width × 4), writable, a new
    // reference; null when it was taken already.
    virtual GstBuffer *picture() = 0;
    // The pointer's picture (ARGB32 premultiplied) and its hot spot.
    virtual const QImage &cursor(QPoint *hotspot) const = 0;
};

#pragma once

#include "capture/FrameGrabber.h"

#include <QImage>

#include <cstdint>
#include <memory>

// Grabs a rectangle of an X11 display with MIT-SHM, learns from XDamage whether it
// changed and from XFixes what the pointer looks like. Its own display connection,
// used only on the feed's capture thread. The server writes each picture into a shared
// memory segment that is handed on as the frame itself (no copy); a few segments take
// turns, one is grabbed into again once every buffer made from it is gone.
class X11FrameGrabber : public FrameGrabber {
public:
    X11FrameGrabber() = default;
    ~X11FrameGrabber() override;

    bool open(const QRect &rect, QString *error) override;
    bool setRect(const QRect &rect) override;
    Poll poll() override;
    void wait(int wakeFd, int timeoutMs) override;
    bool reportsMotion() const override;
    Grab grab() override;
    GstBuffer *picture() override;
    const QImage &cursor(QPoint *hotspot) const override;

private:
    struct Segment;
    std::shared_ptr<Segment> makeSegment();
    void dropSegments();
    void fetchCursor();

    struct Impl;
    Impl *d = nullptr;
    QRect m_rect;
    QImage m_cursor;
    QPoint m_hotspot;
};

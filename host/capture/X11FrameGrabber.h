#pragma once

#include "capture/FrameGrabber.h"

#include <QImage>

#include <cstdint>

// Grabs a rectangle of an X11 display with MIT-SHM, learns from XDamage whether it
// changed and from XFixes what the pointer looks like. Its own display connection,
// used only on the feed's capture thread.
class X11FrameGrabber : public FrameGrabber {
public:
    X11FrameGrabber() = default;
    ~X11FrameGrabber() override;

    bool open(const QRect &rect, QString *error) override;
    bool setRect(const QRect &rect) override;
    Poll poll() override;
    void wait(int wakeFd, int timeoutMs) override;
    bool reportsMotion() const override;
    bool grab() override;
    const uchar *pixels(int *stride) const override;
    const QImage &cursor(QPoint *hotspot) const override;

private:
    bool makeImage(const QRect &rect);
    void freeImage();
    void fetchCursor();

    struct Impl;
    Impl *d = nullptr;
    QRect m_rect;
    QImage m_cursor;
    QPoint m_hotspot;
};

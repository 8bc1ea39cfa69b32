#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

// Where the host-side windows go on a screen. Rectangles are in the window
// system's coordinates (y grows downwards); `visible` is the screen's
// available area, `full` its whole frame.
namespace WindowPlacement {
// Approval prompt number `index`: centred, moved up 24 per index, never
// closer than 8 to the top of the visible area.
QPoint askWindow(const QRect &visible, const QSize &size, int index);
// Profile window number `index`: lower-right corner, stacked upwards with a
// gap of 8; when that would pass the top, a 28-step cascade of six slots.
QPoint profileWindow(const QRect &visible, const QSize &size, int index);
// The notice bar: centred on the full frame, 2 below the top of the visible area.
QRect noticeBar(const QRect &full, const QRect &visible, const QSize &size);
// Centred in the area (used when there is no screen geometry to speak of).
QPoint centred(const QRect &area, const QSize &size);
} // namespace WindowPlacement

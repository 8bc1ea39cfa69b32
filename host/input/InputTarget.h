#pragma once

#include <QList>
#include <QRect>
#include <QSize>

// What a viewer's pointer coordinates refer to: the picture it sees (frame pixels,
// after the capture's scale) and the monitor that picture shows, in desktop pixels.
struct InputTarget {
    QRect monitor;
    QSize frame;
    // When the picture shows several displays: their rectangles in desktop pixels. A point
    // outside all of them is moved to the nearest one. Empty: all of `monitor` is a display.
    QList<QRect> areas;
};

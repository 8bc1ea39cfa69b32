#pragma once

#include <QRect>
#include <QSize>

// What a viewer's pointer coordinates refer to: the picture it sees (frame pixels,
// after the capture's scale) and the monitor that picture shows, in desktop pixels.
struct InputTarget {
    QRect monitor;
    QSize frame;
};

#pragma once

#include <QRect>
#include <QString>

// One display of the shared desktop, in the desktop's pixel coordinates. Ids stay
// the same for a display while it exists (a layout change does not renumber them);
// id 0 stands for the whole desktop.
struct CaptureMonitor {
    int id = 0;
    QString name;
    QRect rect;
    bool primary = false;
    bool operator==(const CaptureMonitor &) const = default;
};

#pragma once

#include "capture/CaptureMonitor.h"

#include <QImage>
#include <QList>
#include <QObject>

#include <memory>

class CaptureFeed;

// The desktop a device shares: its displays and one frame feed per display. A feed
// lives while someone holds it; asking again for a display that has a live feed gives
// the same feed, so viewers of one display share one capture. X11 fills this now; a
// Wayland back end (portal ScreenCast + PipeWire) would fill the same interface.
// Main thread.
class ScreenCapture : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // Whether capture works here; when not, problem() says why (for the log).
    virtual bool available() const = 0;
    virtual QString problem() const = 0;
    // What captures, for the status ("X11 MIT-SHM + XDamage").
    virtual QString description() const = 0;
    virtual QList<CaptureMonitor> monitors() const = 0;
    // The feed of monitor `id` (0: the whole desktop); null for an unknown id.
    virtual std::shared_ptr<CaptureFeed> feed(int id) = 0;
    // A picture of monitor `id` now, fitted into `box` (for the thumbnail); null on failure.
    virtual QImage snapshot(int id, QSize box) = 0;

    // The desktop asks its user (its own dialog) whether to share the screen: no monitor and
    // no picture until the answer; then ready() or failed().
    virtual bool waiting() const { return false; }

    // The monitor a viewer starts with: the primary one.
    int primaryId() const {
        const auto all = monitors();
        for (const CaptureMonitor &m : all)
            if (m.primary)
                return m.id;
        return all.isEmpty() ? 0 : all.first().id;
    }

Q_SIGNALS:
    // The pictures can come (after the desktop's user agreed, or the compositor set up).
    void ready();
    // Displays were added, removed, moved or resized; live feeds already follow.
    void monitorsChanged();
    // Capture stopped for good (the compositor ended the session the pictures came through).
    void failed(const QString &problem);
};

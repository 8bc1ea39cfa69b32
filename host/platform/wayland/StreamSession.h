#pragma once

#include "platform/wayland/PipeWireStream.h"

#include <QList>
#include <QObject>

#include <memory>

// A compositor session that screen-casts the monitors as PipeWire streams: Mutter's own
// remote desktop, or the desktop portal's. What the capture needs of either. Main thread.
class StreamSession : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    virtual const QList<std::shared_ptr<PipeWireStream>> &streams() const = 0;
    // Why the session ended or was refused; empty while it works or is being set up.
    virtual QString problem() const = 0;
    // The desktop is asking its user (a dialog) whether to share: no stream yet.
    virtual bool waiting() const { return false; }

Q_SIGNALS:
    void failed(const QString &problem);
    // Every stream has its node (again, after a new session took the place of an old one).
    void streamsReady();
    // Monitors moved, turned, changed their mode or came: the streams' rectangles are new.
    void monitorsChanged();
};

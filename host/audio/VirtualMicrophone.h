#pragma once

#include "protocol/Result.h"

#include <QString>

// A microphone that programs on this desktop can choose, fed with what a viewer says: a
// playback device (the sink the voice is played into) and the input programs record.
// One per session, told apart by `id`. Every call talks to the sound server and may wait
// for it: worker threads only, never the main thread.
class VirtualMicrophone {
public:
    struct Device {
        QString sink;   // where the viewer's voice is played
        QString source; // what programs record
    };

    virtual ~VirtualMicrophone() = default;
    virtual Result<Device> create(const QString &id) const = 0;
    // Removes the device of `id`; nothing happens when there is none.
    virtual void remove(const QString &id) const = 0;
    // Removes what agents that ended without cleaning up (killed, crashed) left behind;
    // how many parts went.
    virtual int removeLeftovers() const = 0;
};

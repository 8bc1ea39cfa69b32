#pragma once

#include "platform/wayland/RemoteDesktopInjector.h"

#include <memory>

class MutterSession;

// Input on a Mutter desktop through the agent's remote-desktop session (see
// RemoteDesktopInjector). Mutter 43 types a keysym only where a key of the session's layout
// gives it (at any shift level); others it drops with a warning in its log. Main thread only.
class MutterInjector : public RemoteDesktopInjector {
public:
    explicit MutterInjector(std::shared_ptr<MutterSession> session);
    ~MutterInjector() override;

private:
    bool working() const override;
    void motion(const PipeWireStream &stream, double x, double y) override;
    void pointerButton(quint32 code, bool down) override;
    void axisDiscrete(quint32 axis, int steps) override;
    void keycode(quint32 evdev, bool down) override;
    void keysym(quint32 sym, bool down) override;

    std::shared_ptr<MutterSession> m_session;
};

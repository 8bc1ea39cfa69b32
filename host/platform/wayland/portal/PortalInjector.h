#pragma once

#include "platform/wayland/RemoteDesktopInjector.h"

#include <memory>

class PortalSession;

// Input through the desktop portal's RemoteDesktop session (see RemoteDesktopInjector).
// Nothing reaches the desktop before its user allowed the keyboard and the pointer. Main
// thread only.
class PortalInjector : public RemoteDesktopInjector {
public:
    explicit PortalInjector(std::shared_ptr<PortalSession> session);
    ~PortalInjector() override;

    QList<QRect> monitors() const override;

private:
    bool working() const override;
    void motion(const PipeWireStream &stream, double x, double y) override;
    void pointerButton(quint32 code, bool down) override;
    void axisDiscrete(quint32 axis, int steps) override;
    void keycode(quint32 evdev, bool down) override;
    void keysym(quint32 sym, bool down) override;

    std::shared_ptr<PortalSession> m_session;
};

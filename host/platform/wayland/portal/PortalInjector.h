#pragma once

#include "input/InputInjector.h"

#include <QSet>

#include <memory>

class PortalSession;

// Input through the desktop portal's RemoteDesktop session: the pointer by absolute motion
// over a monitor's stream (in the stream's own coordinates), buttons and keys by their evdev
// codes, wheel notches as discrete axis steps, and a character no key gives by its keysym.
// Nothing reaches the desktop before its user allowed the keyboard and the pointer. What is
// held down is let go of when the injector goes. Main thread only.
class PortalInjector : public InputInjector {
public:
    explicit PortalInjector(std::shared_ptr<PortalSession> session);
    ~PortalInjector() override;

    QList<QRect> monitors() const override;
    void movePointer(QPoint desktop) override;
    bool button(int button, bool down) override;
    bool key(quint32 evdev, bool down) override;
    bool typeCharacter(char32_t ch) override;

private:
    bool working() const;

    std::shared_ptr<PortalSession> m_session;
    QSet<quint32> m_keys;    // evdev codes held down
    QSet<quint32> m_buttons; // evdev button codes held down
};

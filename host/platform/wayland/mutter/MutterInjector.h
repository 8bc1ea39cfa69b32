#pragma once

#include "input/InputInjector.h"

#include <QSet>

#include <memory>

class MutterSession;

// Input on a Mutter desktop through the agent's remote-desktop session: the pointer by
// absolute motion over a monitor's stream, buttons and keys by their evdev codes, and a
// character by its keysym. Mutter 43 types a keysym only where a key of the session's
// layout gives it (at any shift level); others it drops with a warning in its log. What is
// held down is let go of when the injector goes. Main thread only.
class MutterInjector : public InputInjector {
public:
    explicit MutterInjector(std::shared_ptr<MutterSession> session);
    ~MutterInjector() override;

    QList<QRect> monitors() const override;
    void movePointer(QPoint desktop) override;
    bool button(int button, bool down) override;
    bool key(quint32 evdev, bool down) override;
    bool typeCharacter(char32_t ch) override;

private:
    bool working() const;

    std::shared_ptr<MutterSession> m_session;
    QSet<quint32> m_keys;    // evdev codes held down
    QSet<quint32> m_buttons; // evdev button codes held down
};

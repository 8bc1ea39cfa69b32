#pragma once

#include "input/InputInjector.h"

#include <QSet>

class PipeWireStream;
class StreamSession;

// Input through a compositor's remote-desktop session (Mutter's own, or the desktop
// portal's): the pointer by absolute motion over a monitor's stream, in the stream's own
// coordinates (the monitor under the point, else the nearest one, the point brought onto
// it); buttons and keys by their evdev codes; wheel notches as discrete axis steps; a
// character no key gives by its keysym. How each call is spelled on the bus, and whether
// input may go now, is the subclass's. The subclass's destructor calls releaseAll(), so
// nothing stays held when the injector goes. Main thread only.
class RemoteDesktopInjector : public InputInjector {
public:
    QList<QRect> monitors() const override;
    void movePointer(QPoint desktop) override;
    bool button(int button, bool down) override;
    bool key(quint32 evdev, bool down) override;
    bool typeCharacter(char32_t ch) override;

protected:
    explicit RemoteDesktopInjector(const StreamSession &session) : m_streams(session) {}
    // Lets go of every key and button held down.
    void releaseAll();

    virtual bool working() const = 0;
    virtual void motion(const PipeWireStream &stream, double x, double y) = 0;
    virtual void pointerButton(quint32 code, bool down) = 0;
    // NotifyPointerAxisDiscrete: axis 0 vertical, 1 horizontal.
    virtual void axisDiscrete(quint32 axis, int steps) = 0;
    virtual void keycode(quint32 evdev, bool down) = 0;
    virtual void keysym(quint32 sym, bool down) = 0;

private:
    const StreamSession &m_streams;
    QSet<quint32> m_keys;    // evdev codes held down
    QSet<quint32> m_buttons; // evdev button codes held down
};

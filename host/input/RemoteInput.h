#pragma once

#include "input/InputTarget.h"

#include <QJsonObject>
#include <QSet>

class InputInjector;

// One viewer's "input" messages turned into desktop input: pointer positions mapped
// from frame pixels onto the shown monitor (and clamped to it), buttons, wheel steps,
// keys by their `code`, typed text and the key bar's combinations. Remembers every
// key and button this viewer holds so that releaseAll() lets go of them when the
// viewer leaves or loses its input right: a viewer never leaves a key pressed.
// Main thread only.
class RemoteInput {
public:
    // One wheel step ("wh" units): a mouse wheel notch.
    static constexpr double wheelStep = 40.0;
    // Most wheel steps one message gives, and most characters one "text" types.
    static constexpr int maxWheelSteps = 10;
    static constexpr int maxTextLength = 1000;

    explicit RemoteInput(InputInjector *injector);
    ~RemoteInput();
    RemoteInput(const RemoteInput &) = delete;
    RemoteInput &operator=(const RemoteInput &) = delete;

    // Handles one message; unknown types and malformed fields are ignored.
    void handle(const QJsonObject &msg, const InputTarget &target);
    // Releases every key and button this viewer holds.
    void releaseAll();
    int heldKeys() const { return int(m_keys.size()); }
    int heldButtons() const { return int(m_buttons.size()); }

    // Frame pixels → desktop pixels inside the monitor (and on one of its displays).
    static QPoint toDesktop(double x, double y, const InputTarget &target);

private:
    bool movePointer(const QJsonObject &msg, const InputTarget &target);
    void pressButton(const QJsonObject &msg, bool down);
    void wheel(double dx, double dy);
    void pressKey(const QJsonObject &msg, bool down);
    void typeText(const QString &text);
    void ctrlAltDel();

    InputInjector *m_injector; // not owned, outlives this
    QSet<quint32> m_keys;      // evdev codes held down
    QSet<int> m_buttons;       // X buttons held down
    double m_wheelX = 0;       // wheel travel not yet given as a step
    double m_wheelY = 0;
};

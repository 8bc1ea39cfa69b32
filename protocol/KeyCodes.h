#pragma once

#include <QString>

#include <optional>

// The key vocabulary of the "kd"/"ku" input messages: W3C KeyboardEvent `code`
// strings, tied to the Linux evdev key codes (KEY_* of linux/input-event-codes.h)
// the viewer reads and the host injects.
class KeyCodes {
public:
    // evdev code → code, or nothing for a code without a key of ours.
    static std::optional<QString> fromEvdev(quint32 evdevCode);
    // code → evdev code, or nothing for a code we do not know.
    static std::optional<quint32> toEvdev(const QString &code);

    // Whether the code names one of the eight modifier keys tracked as held.
    static bool isModifier(const QString &code);

    // Number of rows of the table (evdev codes with a name).
    static int count();
};

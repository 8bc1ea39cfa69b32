#pragma once

#include <QString>

#include <optional>

// W3C `code` names of the "kd"/"ku" messages → Linux evdev key codes (KEY_* of
// linux/input-event-codes.h), read from the key vocabulary the viewer uses, so that
// both ends agree on every key.
class KeyCodes {
public:
    // The evdev code of a `code`, or nothing for names outside the vocabulary.
    static std::optional<quint32> evdev(const QString &code);
};

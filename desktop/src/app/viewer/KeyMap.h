#pragma once

#include <QString>
#include <Qt>

#include <optional>

class QKeyEvent;

// Physical keys of Qt key events → W3C KeyboardEvent `code` strings, the
// vocabulary of the "kd"/"ku" input messages (protocol/KeyCodes).
//
// Two tables name the same physical keys: the macOS virtual key codes (kept so
// that both builds speak the same vocabulary) and the Linux evdev codes of
// KeyCodes. Qt hands out the latter as QKeyEvent::nativeScanCode, offset by 8
// (the X11/XKB keycode), under xcb and Wayland alike.
class KeyMap {
public:
    // macOS virtual key code → code, or nothing for the codes without a key.
    static std::optional<QString> dom(quint16 keyCode);
    // XKB keycode as Qt reports it (evdev + 8) → code.
    static std::optional<QString> scanCode(quint32 nativeScanCode);
    // Qt key of a US layout → code. Only for events without a scan code
    // (synthesised events, platforms that report none); left and right
    // modifiers cannot be told apart there and count as left.
    static std::optional<QString> qtKey(int key, Qt::KeyboardModifiers modifiers);
    // The code of an event: its scan code when it has one, else its Qt key.
    static std::optional<QString> code(const QKeyEvent &event);

    // The `ch` of a "kd": the event's text when it is exactly one character
    // whose first scalar is at least U+0020 and not U+007F. With Ctrl held X11
    // reports a control character; then a letter key gives its letter (Shift
    // still applies), as a text ignoring the other modifiers would.
    static std::optional<QString> ch(const QString &text, int key, Qt::KeyboardModifiers modifiers);

    // Number of entries of the macOS table.
    static int domCount();
};

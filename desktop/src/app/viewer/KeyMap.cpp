#include "viewer/KeyMap.h"

#include "protocol/KeyCodes.h"

#include <QKeyEvent>

#include <array>

namespace {

// macOS virtual key codes 0…126 in ascending order; codes without a key are skipped.
constexpr std::array<quint16, 9> macGaps{52, 63, 66, 68, 70, 77, 108, 110, 112};
constexpr std::array<const char *, 118> macCodes{
    "KeyA",
    "KeyS",
    "KeyD",
    "KeyF",
    "KeyH",
    "KeyG",
    "KeyZ",
    "KeyX",
    "KeyC",
    "KeyV",
    "IntlBackslash",
    "KeyB",
    "KeyQ",
    "KeyW",
    "KeyE",
    "KeyR",
    "KeyY",
    "KeyT",
    "Digit1",
    "Digit2",
    "Digit3",
    "Digit4",
    "Digit6",
    "Digit5",
    "Equal",
    "Digit9",
    "Digit7",
    "Minus",
    "Digit8",
    "Digit0",
    "BracketRight",
    "KeyO",
    "KeyU",
    "BracketLeft",
    "KeyI",
    "KeyP",
    "Enter",
    "KeyL",
    "KeyJ",
    "Quote",
    "KeyK",
    "Semicolon",
    "Backslash",
    "Comma",
    "Slash",
    "KeyN",
    "KeyM",
    "Period",
    "Tab",
    "Space",
    "Backquote",
    "Backspace",
    "Escape",
    "MetaRight",
    "MetaLeft",
    "ShiftLeft",
    "CapsLock",
    "AltLeft",
    "ControlLeft",
    "ShiftRight",
    "AltRight",
    "ControlRight",
    "F17",
    "NumpadDecimal",
    "NumpadMultiply",
    "NumpadAdd",
    "NumLock",
    "AudioVolumeUp",
    "AudioVolumeDown",
    "AudioVolumeMute",
    "NumpadDivide",
    "NumpadEnter",
    "NumpadSubtract",
    "F18",
    "F19",
    "NumpadEqual",
    "Numpad0",
    "Numpad1",
    "Numpad2",
    "Numpad3",
    "Numpad4",
    "Numpad5",
    "Numpad6",
    "Numpad7",
    "F20",
    "Numpad8",
    "Numpad9",
    "IntlYen",
    "IntlRo",
    "NumpadComma",
    "F5",
    "F6",
    "F7",
    "F3",
    "F8",
    "F9",
    "NonConvert",
    "F11",
    "Convert",
    "F13",
    "F16",
    "F14",
    "F10",
    "F12",
    "F15",
    "Insert",
    "Home",
    "PageUp",
    "Delete",
    "F4",
    "End",
    "F2",
    "PageDown",
    "F1",
    "ArrowLeft",
    "ArrowRight",
    "ArrowDown",
    "ArrowUp",
};

constexpr int macMax = 126;

const std::array<const char *, macMax + 1> &macTable() {
    static const auto table = [] {
        std::array<const char *, macMax + 1> t{};
        size_t next = 0;
        for (int code = 0; code <= macMax; ++code) {
            bool gap = false;
            for (quint16 g : macGaps)
                gap = gap || g == code;
            if (!gap)
                t[size_t(code)] = macCodes[next++];
        }
        return t;
    }();
    return table;
}

} // namespace

std::optional<QString> KeyMap::dom(quint16 keyCode) {
    if (keyCode > macMax)
        return std::nullopt;
    const char *c = macTable()[keyCode];
    return c ? std::optional<QString>(QString::fromLatin1(c)) : std::nullopt;
}

std::optional<QString> KeyMap::scanCode(quint32 nativeScanCode) {
    // XKB keycodes start at 8; 0…7 do not name keys.
    if (nativeScanCode < 8)
        return std::nullopt;
    return KeyCodes::fromEvdev(nativeScanCode - 8);
}

std::optional<QString> KeyMap::qtKey(int key, Qt::KeyboardModifiers modifiers) {
    const bool keypad = modifiers.testFlag(Qt::KeypadModifier);
    if (key >= Qt::Key_A && key <= Qt::Key_Z)
        return QStringLiteral("Key") + QChar(char16_t(key));
    if (key >= Qt::Key_0 && key <= Qt::Key_9)
        return (keypad ? QStringLiteral("Numpad") : QStringLiteral("Digit")) + QChar(char16_t(key));
    if (key >= Qt::Key_F1 && key <= Qt::Key_F24)
        return QStringLiteral("F%1").arg(key - Qt::Key_F1 + 1);
    switch (key) {
    case Qt::Key_Escape:
        return QStringLiteral("Escape");
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        return QStringLiteral("Tab");
    case Qt::Key_Backspace:
        return QStringLiteral("Backspace");
    case Qt::Key_Return:
        return QStringLiteral("Enter");
    case Qt::Key_Enter:
        return keypad ? QStringLiteral("NumpadEnter") : QStringLiteral("Enter");
    case Qt::Key_Insert:
        return QStringLiteral("Insert");
    case Qt::Key_Delete:
        return QStringLiteral("Delete");
    case Qt::Key_Pause:
        return QStringLiteral("Pause");
    case Qt::Key_Print:
    case Qt::Key_SysReq:
        return QStringLiteral("PrintScreen");
    case Qt::Key_Home:
        return QStringLiteral("Home");
    case Qt::Key_End:
        return QStringLiteral("End");
    case Qt::Key_Left:
        return QStringLiteral("ArrowLeft");
    case Qt::Key_Up:
        return QStringLiteral("ArrowUp");
    case Qt::Key_Right:
        return QStringLiteral("ArrowRight");
    case Qt::Key_Down:
        return QStringLiteral("ArrowDown");
    case Qt::Key_PageUp:
        return QStringLiteral("PageUp");
    case Qt::Key_PageDown:
        return QStringLiteral("PageDown");
    case Qt::Key_Shift:
        return QStringLiteral("ShiftLeft");
    case Qt::Key_Control:
        return QStringLiteral("ControlLeft");
    case Qt::Key_Alt:
        return QStringLiteral("AltLeft");
    case Qt::Key_AltGr:
        return QStringLiteral("AltRight");
    case Qt::Key_Meta:
    case Qt::Key_Super_L:
        return QStringLiteral("MetaLeft");
    case Qt::Key_Super_R:
        return QStringLiteral("MetaRight");
    case Qt::Key_Menu:
        return QStringLiteral("ContextMenu");
    case Qt::Key_CapsLock:
        return QStringLiteral("CapsLock");
    case Qt::Key_NumLock:
        return QStringLiteral("NumLock");
    case Qt::Key_ScrollLock:
        return QStringLiteral("ScrollLock");
    case Qt::Key_Space:
        return QStringLiteral("Space");
    case Qt::Key_VolumeUp:
        return QStringLiteral("AudioVolumeUp");
    case Qt::Key_VolumeDown:
        return QStringLiteral("AudioVolumeDown");
    case Qt::Key_VolumeMute:
        return QStringLiteral("AudioVolumeMute");
    case Qt::Key_Henkan:
    case Qt::Key_Hangul:
        return QStringLiteral("Convert");
    case Qt::Key_Muhenkan:
    case Qt::Key_Hangul_Hanja:
    case Qt::Key_Eisu_toggle:
        return QStringLiteral("NonConvert");
    case Qt::Key_yen:
        return QStringLiteral("IntlYen");
    // Punctuation: the US key that carries the character, shifted or not.
    case Qt::Key_Minus:
        return keypad ? QStringLiteral("NumpadSubtract") : QStringLiteral("Minus");
    case Qt::Key_Underscore:
        return QStringLiteral("Minus");
    case Qt::Key_Equal:
        return keypad ? QStringLiteral("NumpadEqual") : QStringLiteral("Equal");
    case Qt::Key_Plus:
        return keypad ? QStringLiteral("NumpadAdd") : QStringLiteral("Equal");
    case Qt::Key_Asterisk:
        return keypad ? QStringLiteral("NumpadMultiply") : QStringLiteral("Digit8");
    case Qt::Key_Slash:
        return keypad ? QStringLiteral("NumpadDivide") : QStringLiteral("Slash");
    case Qt::Key_Question:
        return QStringLiteral("Slash");
    case Qt::Key_Period:
        return keypad ? QStringLiteral("NumpadDecimal") : QStringLiteral("Period");
    case Qt::Key_Greater:
        return QStringLiteral("Period");
    case Qt::Key_Comma:
        return keypad ? QStringLiteral("NumpadComma") : QStringLiteral("Comma");
    case Qt::Key_Less:
        return QStringLiteral("Comma");
    case Qt::Key_BracketLeft:
    case Qt::Key_BraceLeft:
        return QStringLiteral("BracketLeft");
    case Qt::Key_BracketRight:
    case Qt::Key_BraceRight:
        return QStringLiteral("BracketRight");
    case Qt::Key_Semicolon:
    case Qt::Key_Colon:
        return QStringLiteral("Semicolon");
    case Qt::Key_Apostrophe:
    case Qt::Key_QuoteDbl:
        return QStringLiteral("Quote");
    case Qt::Key_QuoteLeft:
    case Qt::Key_AsciiTilde:
        return QStringLiteral("Backquote");
    case Qt::Key_Backslash:
    case Qt::Key_Bar:
        return QStringLiteral("Backslash");
    case Qt::Key_Exclam:
        return QStringLiteral("Digit1");
    case Qt::Key_At:
        return QStringLiteral("Digit2");
    case Qt::Key_NumberSign:
        return QStringLiteral("Digit3");
    case Qt::Key_Dollar:
        return QStringLiteral("Digit4");
    case Qt::Key_Percent:
        return QStringLiteral("Digit5");
    case Qt::Key_AsciiCircum:
        return QStringLiteral("Digit6");
    case Qt::Key_Ampersand:
        return QStringLiteral("Digit7");
    case Qt::Key_ParenLeft:
        return QStringLiteral("Digit9");
    case Qt::Key_ParenRight:
        return QStringLiteral("Digit0");
    default:
        return std::nullopt;
    }
}

std::optional<QString> KeyMap::code(const QKeyEvent &event) {
    if (event.nativeScanCode() != 0)
        return scanCode(event.nativeScanCode());
    return qtKey(event.key(), event.modifiers());
}

std::optional<QString> KeyMap::ch(const QString &text, int key, Qt::KeyboardModifiers modifiers) {
    const bool oneScalar =
        text.size() == 1 || (text.size() == 2 && text.at(0).isHighSurrogate() && text.at(1).isLowSurrogate());
    if (oneScalar) {
        const char32_t first = text.size() == 1 ? text.at(0).unicode() : QChar::surrogateToUcs4(text[0], text[1]);
        if (first >= 0x20 && first != 0x7f)
            return text;
    }
    if (modifiers.testFlag(Qt::ControlModifier) && key >= Qt::Key_A && key <= Qt::Key_Z) {
        const QChar letter{char16_t(key)}; // Qt keys of letters are the capitals
        return modifiers.testFlag(Qt::ShiftModifier) ? QString(letter) : QString(letter.toLower());
    }
    return std::nullopt;
}

int KeyMap::domCount() {
    int n = 0;
    for (const char *c : macTable())
        n += c ? 1 : 0;
    return n;
}

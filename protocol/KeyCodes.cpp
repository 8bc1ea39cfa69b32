#include "protocol/KeyCodes.h"

#include <QHash>
#include <QStringList>

#include <array>

namespace {

struct EvdevRow {
    quint16 evdev;
    const char *code;
};

// linux/input-event-codes.h KEY_* → code, the correspondence the UI Events
// code tables give for USB HID usages and their evdev codes.
constexpr EvdevRow evdevRows[] = {
    {1, "Escape"},
    {2, "Digit1"},
    {3, "Digit2"},
    {4, "Digit3"},
    {5, "Digit4"},
    {6, "Digit5"},
    {7, "Digit6"},
    {8, "Digit7"},
    {9, "Digit8"},
    {10, "Digit9"},
    {11, "Digit0"},
    {12, "Minus"},
    {13, "Equal"},
    {14, "Backspace"},
    {15, "Tab"},
    {16, "KeyQ"},
    {17, "KeyW"},
    {18, "KeyE"},
    {19, "KeyR"},
    {20, "KeyT"},
    {21, "KeyY"},
    {22, "KeyU"},
    {23, "KeyI"},
    {24, "KeyO"},
    {25, "KeyP"},
    {26, "BracketLeft"},
    {27, "BracketRight"},
    {28, "Enter"},
    {29, "ControlLeft"},
    {30, "KeyA"},
    {31, "KeyS"},
    {32, "KeyD"},
    {33, "KeyF"},
    {34, "KeyG"},
    {35, "KeyH"},
    {36, "KeyJ"},
    {37, "KeyK"},
    {38, "KeyL"},
    {39, "Semicolon"},
    {40, "Quote"},
    {41, "Backquote"},
    {42, "ShiftLeft"},
    {43, "Backslash"},
    {44, "KeyZ"},
    {45, "KeyX"},
    {46, "KeyC"},
    {47, "KeyV"},
    {48, "KeyB"},
    {49, "KeyN"},
    {50, "KeyM"},
    {51, "Comma"},
    {52, "Period"},
    {53, "Slash"},
    {54, "ShiftRight"},
    {55, "NumpadMultiply"},
    {56, "AltLeft"},
    {57, "Space"},
    {58, "CapsLock"},
    {59, "F1"},
    {60, "F2"},
    {61, "F3"},
    {62, "F4"},
    {63, "F5"},
    {64, "F6"},
    {65, "F7"},
    {66, "F8"},
    {67, "F9"},
    {68, "F10"},
    {69, "NumLock"},
    {70, "ScrollLock"},
    {71, "Numpad7"},
    {72, "Numpad8"},
    {73, "Numpad9"},
    {74, "NumpadSubtract"},
    {75, "Numpad4"},
    {76, "Numpad5"},
    {77, "Numpad6"},
    {78, "NumpadAdd"},
    {79, "Numpad1"},
    {80, "Numpad2"},
    {81, "Numpad3"},
    {82, "Numpad0"},
    {83, "NumpadDecimal"},
    {85, "Lang5"},         // KEY_ZENKAKUHANKAKU
    {86, "IntlBackslash"}, // KEY_102ND, the ISO key beside left Shift
    {87, "F11"},
    {88, "F12"},
    {89, "IntlRo"},
    {90, "Lang3"}, // KEY_KATAKANA
    {91, "Lang4"}, // KEY_HIRAGANA
    {92, "Convert"},
    {93, "KanaMode"}, // KEY_KATAKANAHIRAGANA
    {94, "NonConvert"},
    {95, "NumpadComma"}, // KEY_KPJPCOMMA
    {96, "NumpadEnter"},
    {97, "ControlRight"},
    {98, "NumpadDivide"},
    {99, "PrintScreen"}, // KEY_SYSRQ
    {100, "AltRight"},   // also AltGr
    {102, "Home"},
    {103, "ArrowUp"},
    {104, "PageUp"},
    {105, "ArrowLeft"},
    {106, "ArrowRight"},
    {107, "End"},
    {108, "ArrowDown"},
    {109, "PageDown"},
    {110, "Insert"},
    {111, "Delete"},
    {113, "AudioVolumeMute"},
    {114, "AudioVolumeDown"},
    {115, "AudioVolumeUp"},
    {116, "Power"},
    {117, "NumpadEqual"},
    {119, "Pause"},
    {121, "NumpadComma"},
    // The かな and 英数 keys of Apple JIS keyboards arrive as HID LANG1/LANG2, which
    // Linux names KEY_HANGEUL and KEY_HANJA; they are the keys the macOS key table
    // calls Convert (104, Kana) and NonConvert (102, Eisu).
    {122, "Convert"},    // KEY_HANGEUL: かな
    {123, "NonConvert"}, // KEY_HANJA: 英数
    {124, "IntlYen"},
    {125, "MetaLeft"},
    {126, "MetaRight"},
    {127, "ContextMenu"}, // KEY_COMPOSE, the menu key of PC keyboards
    {138, "Help"},
    {183, "F13"},
    {184, "F14"},
    {185, "F15"},
    {186, "F16"},
    {187, "F17"},
    {188, "F18"},
    {189, "F19"},
    {190, "F20"},
    {191, "F21"},
    {192, "F22"},
    {193, "F23"},
    {194, "F24"},
};

constexpr quint32 evdevMax = 194;

const std::array<const char *, evdevMax + 1> &evdevTable() {
    static const auto table = [] {
        std::array<const char *, evdevMax + 1> t{};
        for (const EvdevRow &row : evdevRows)
            t[row.evdev] = row.code;
        return t;
    }();
    return table;
}

// code → evdev. Two rows name NumpadComma (KEY_KPJPCOMMA and KEY_KPCOMMA); the
// later row wins, KEY_KPCOMMA being the key the UI Events tables mean. Convert and
// NonConvert are injected as the PC keys (KEY_HENKAN, KEY_MUHENKAN), not as the
// Apple rows that come later.
const QHash<QString, quint32> &codeTable() {
    static const auto table = [] {
        QHash<QString, quint32> t;
        for (const EvdevRow &row : evdevRows)
            t.insert(QString::fromLatin1(row.code), row.evdev);
        t.insert(QStringLiteral("Convert"), 92);
        t.insert(QStringLiteral("NonConvert"), 94);
        return t;
    }();
    return table;
}

} // namespace

std::optional<QString> KeyCodes::fromEvdev(quint32 evdevCode) {
    if (evdevCode > evdevMax)
        return std::nullopt;
    const char *c = evdevTable()[evdevCode];
    return c ? std::optional<QString>(QString::fromLatin1(c)) : std::nullopt;
}

std::optional<quint32> KeyCodes::toEvdev(const QString &code) {
    const auto it = codeTable().constFind(code);
    if (it == codeTable().constEnd())
        return std::nullopt;
    return *it;
}

bool KeyCodes::isModifier(const QString &code) {
    static const QStringList modifiers{QStringLiteral("ShiftLeft"),   QStringLiteral("ShiftRight"),
                                       QStringLiteral("ControlLeft"), QStringLiteral("ControlRight"),
                                       QStringLiteral("AltLeft"),     QStringLiteral("AltRight"),
                                       QStringLiteral("MetaLeft"),    QStringLiteral("MetaRight")};
    return modifiers.contains(code);
}

int KeyCodes::count() {
    return int(std::size(evdevRows));
}

#include "input/KeyCodes.h"

#include "viewer/KeyMap.h"

#include <QHash>

namespace {
// Linux evdev codes of keyboard keys stay below this (KEY_MAX is 0x2ff).
constexpr quint32 kEvdevLimit = 0x300;

const QHash<QString, quint32> &table() {
    static const QHash<QString, quint32> codes = [] {
        QHash<QString, quint32> t;
        for (quint32 e = 0; e < kEvdevLimit; ++e) {
            // Two evdev keys may share a name (the Japanese and the plain numpad comma): the first wins.
            if (const auto name = KeyMap::evdev(e); name && !t.contains(*name))
                t.insert(*name, e);
        }
        return t;
    }();
    return codes;
}
} // namespace

std::optional<quint32> KeyCodes::evdev(const QString &code) {
    const auto it = table().constFind(code);
    if (it == table().cend())
        return std::nullopt;
    return *it;
}

#pragma once

#include "protocol/ctrl/QualityRequest.h"

#include <QJsonObject>
#include <QLatin1StringView>

#include <optional>

// "window", viewer → host: show one display in a window of its own, beside the main
// picture. `win` (1…maxWindows) names the window in the viewer; its pictures come as JPEG
// on the "windows" channel, each chunk behind one byte holding `win`, and its input goes on
// "input" with the same "win". `id` is the display's id in "auth_ok"'s monitors; the four
// quality values are the window's own (its scale in particular). Sent again for an open
// window it changes the display or the quality. A host that has windows says so in
// "auth_ok" ("windows": true); one that does not ignores the message.
struct WindowMessage {
    static constexpr QLatin1StringView tag{"window"};
    static constexpr int maxWindows = 8;

    int win = 0;
    qint64 id = 0;
    QualityRequest quality;

    QJsonObject toJson() const;
    // None when `win` is not a window number or `id` is not a whole number; missing
    // quality values take those of `current`.
    static std::optional<WindowMessage> read(const QJsonObject &message, const QualityRequest &current);
    bool operator==(const WindowMessage &) const = default;
};

#pragma once

#include <QJsonObject>
#include <QLatin1StringView>
#include <QString>

#include <optional>

// "window_end", both ways: a display's window of "window" is over. From the viewer: it
// closed the window, the host stops that picture (and the capture when nobody else shows
// that display). From the host: the display went away (or was never there); `reason` says
// so in words for the user, and the window's pictures stop.
struct WindowEndMessage {
    static constexpr QLatin1StringView tag{"window_end"};

    int win = 0;
    QString reason;

    QJsonObject toJson() const;
    // None when `win` is not a window number.
    static std::optional<WindowEndMessage> read(const QJsonObject &message);
    bool operator==(const WindowEndMessage &) const = default;
};

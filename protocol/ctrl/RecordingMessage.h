#pragma once

#include <QJsonObject>
#include <QLatin1StringView>

#include <optional>

// "rec", viewer → host: the viewer started (`on` true) or stopped recording what it is
// shown, so that the host user knows. Sent again after a reconnect while it records. A
// host that does not know it ignores it; `on` of another type makes the message void.
struct RecordingMessage {
    static constexpr QLatin1StringView tag{"rec"};

    bool on = false;

    QJsonObject toJson() const;
    static std::optional<RecordingMessage> read(const QJsonObject &message);
    bool operator==(const RecordingMessage &) const = default;
};

#pragma once

#include <QJsonObject>
#include <QLatin1StringView>

// "still", viewer → host: send the unscaled picture of the shown display once, as a
// still on the "video" channel.
struct StillMessage {
    static constexpr QLatin1StringView tag{"still"};

    QJsonObject toJson() const;
    static StillMessage fromJson(const QJsonObject &message);
    bool operator==(const StillMessage &) const = default;
};

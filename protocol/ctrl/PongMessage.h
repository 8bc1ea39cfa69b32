#pragma once

#include <QJsonObject>
#include <QLatin1StringView>
#include <optional>

// "pong", host → viewer: the number of the "ping" it answers, untouched.
struct PongMessage {
    static constexpr QLatin1StringView tag{"pong"};

    std::optional<double> ts; // none when missing or not a number
    QJsonObject toJson() const;
    static PongMessage fromJson(const QJsonObject &message);
    bool operator==(const PongMessage &) const = default;
};

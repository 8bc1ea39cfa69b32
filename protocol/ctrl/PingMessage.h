#pragma once

#include <QJsonObject>
#include <QLatin1StringView>
#include <optional>

// "ping", viewer → host: a round-trip measurement; the host answers with a "pong"
// carrying the same number. A ping without a number is not answered.
struct PingMessage {
    static constexpr QLatin1StringView tag{"ping"};

    double ts = 0; // the viewer's own clock, milliseconds
    QJsonObject toJson() const;
    static PingMessage fromJson(const QJsonObject &message);
    bool operator==(const PingMessage &) const = default;
    // The answer to this ping.
    QJsonObject pong() const;
    // None when "ts" is not a number.
    static std::optional<PingMessage> read(const QJsonObject &message);
};

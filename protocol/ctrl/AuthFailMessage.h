#pragma once

#include <QJsonObject>
#include <QLatin1StringView>

// "auth_fail", host → viewer: the proof was wrong; how many tries are left before
// the device locks. A missing or unusable count reads as 0.
struct AuthFailMessage {
    static constexpr QLatin1StringView tag{"auth_fail"};

    qint64 remaining = 0;
    QJsonObject toJson() const;
    static AuthFailMessage fromJson(const QJsonObject &message);
    bool operator==(const AuthFailMessage &) const = default;
};

#pragma once

#include <QJsonObject>
#include <QLatin1StringView>

// "locked", host → viewer: the device takes no proof for this many seconds. A
// missing or unusable count reads as 0.
struct LockedMessage {
    static constexpr QLatin1StringView tag{"locked"};

    qint64 retrySec = 0;
    QJsonObject toJson() const;
    static LockedMessage fromJson(const QJsonObject &message);
    bool operator==(const LockedMessage &) const = default;
};

#pragma once

#include <QJsonObject>
#include <QLatin1StringView>

// "cursor", host → viewer, ten times a second: the host's pointer in frame pixels.
// A missing or non-numeric coordinate reads as 0.
struct CursorMessage {
    static constexpr QLatin1StringView tag{"cursor"};

    double x = 0;
    double y = 0;
    QJsonObject toJson() const;
    static CursorMessage fromJson(const QJsonObject &message);
    bool operator==(const CursorMessage &) const = default;
};

#pragma once

#include <QJsonObject>
#include <QLatin1StringView>
#include <QString>

// "select", viewer → host: which display to show, "all" of them or a "single" one by
// its id in "auth_ok"'s monitors. Any other mode, or an unknown id, is ignored by the host.
// An id that is not a whole number within ±2^53 reads as 0.
struct SelectMessage {
    static constexpr QLatin1StringView tag{"select"};

    QString mode;
    qint64 id = 0;
    QJsonObject toJson() const;
    static SelectMessage fromJson(const QJsonObject &message);
    bool operator==(const SelectMessage &) const = default;
};

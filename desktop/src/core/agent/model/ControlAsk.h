#pragma once

#include <QJsonValue>
#include <QString>

#include <optional>

// A pending connection request waiting for the user's answer. Strict; identity is sid.
struct ControlAsk {
    QString sid;
    QString name; // the name the requester gave
    QString ip;
    qint64 at = 0; // carried, not used
    // When the request is refused unanswered (seconds since 1970); 0 when the agent does not say.
    qint64 expires = 0;

    bool operator==(const ControlAsk &) const = default;

    static std::optional<ControlAsk> fromJson(const QJsonValue &value);
};

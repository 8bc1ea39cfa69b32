#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <optional>

// A pending connection request waiting for the user's answer. Strict; identity is sid.
struct ControlAsk {
    QString sid;
    QString name; // the name the requester gave
    QString ip;
    qint64 at = 0; // carried, not used

    bool operator==(const ControlAsk &) const = default;

    // The agent's form of the record.
    QJsonObject toJson() const;
    static std::optional<ControlAsk> fromJson(const QJsonValue &value);
};

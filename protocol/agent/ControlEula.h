#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <optional>

// An agreement the user must accept before sharing. Strict.
struct ControlEula {
    QString version;
    QString hash;
    QString body; // Markdown

    bool operator==(const ControlEula &) const = default;

    // The agent's form of the record.
    QJsonObject toJson() const;
    static std::optional<ControlEula> fromJson(const QJsonValue &value);
};

#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <optional>

// One display of this machine. Strict: every key is required.
struct ControlMonitor {
    int id = 0;
    QString name;
    int w = 0;
    int h = 0;
    bool primary = false;

    bool operator==(const ControlMonitor &) const = default;

    // The agent's form of the record.
    QJsonObject toJson() const;
    static std::optional<ControlMonitor> fromJson(const QJsonValue &value);
};

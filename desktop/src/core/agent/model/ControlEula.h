#pragma once

#include <QJsonValue>
#include <QString>

#include <optional>

// An agreement the user must accept before sharing. Strict.
struct ControlEula {
    QString version;
    QString hash;
    QString body; // Markdown

    bool operator==(const ControlEula &) const = default;

    static std::optional<ControlEula> fromJson(const QJsonValue &value);
};

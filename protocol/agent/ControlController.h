#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <optional>

// A controller allowed in without a passcode. Tolerant decoding; identity is pub.
struct ControlController {
    QString label;
    QString pub;      // Ed25519 public key, base64
    qint64 added = 0; // seconds since 1970

    bool operator==(const ControlController &) const = default;

    // The agent's form of the record.
    QJsonObject toJson() const;
    static std::optional<ControlController> fromJson(const QJsonValue &value);
    // pub (cut to 12 characters + "..." from 13 on), then "  yyyy-MM-dd" (local
    // date of added) when added >= 1.
    QString summary() const;
};

#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

// A device as the rendezvous server's REST API reports it (GET /api/v1/devices/…):
// the server writes it with toJson(), the viewer reads it with fromJson().
struct DeviceInfo {
    QString id;
    QString name;
    std::optional<QString> platform;
    bool online = false;

    bool operator==(const DeviceInfo &) const = default;

    // Strict: "id" and "name" strings and "online" a bool are required, "platform"
    // may be a string, null or missing; other keys are ignored.
    static std::optional<DeviceInfo> fromJson(const QJsonObject &o);
    // The server's form: "platform" null when absent.
    QJsonObject toJson() const;
    static std::optional<DeviceInfo> decode(const QByteArray &json);
    // A JSON array whose every element decodes; one bad element fails the whole list.
    static std::optional<QList<DeviceInfo>> decodeList(const QByteArray &json);
};

#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

// The viewer's description of itself. Tolerant: every field defaults to "".
struct ControlViewerInfo {
    QString app;
    QString os;
    QString browser;
    QString screen;
    QString ver;

    bool operator==(const ControlViewerInfo &) const = default;

    // nullopt only when the value is not an object. Keys already camel-cased.
    // The agent's form of the record.
    QJsonObject toJson() const;
    static std::optional<ControlViewerInfo> fromJson(const QJsonValue &value);
    // The non-empty values of app, os, browser, screen and "v" + ver, joined by " · ".
    QString line() const;
};

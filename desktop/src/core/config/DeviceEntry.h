#pragma once

#include <QJsonArray>
#include <QList>
#include <QString>

#include <optional>

// A device in the recents or favourites list.
struct DeviceEntry {
    QString id;
    QString name;
    std::optional<QString> alias;

    bool operator==(const DeviceEntry &) const = default;

    // alias when set and not empty, else name when not empty, else the grouped id.
    QString display() const;

    // JSON array of {"id","name"[,"alias"]}. A single element without "id" or
    // "name" (or of the wrong type) fails the whole list: the result is empty.
    static QList<DeviceEntry> decodeList(const QByteArray &json, bool *ok = nullptr);
    static QByteArray encodeList(const QList<DeviceEntry> &list);
};

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
    // When the request is refused unanswered (seconds since 1970); 0 when the agent does not say.
    // Who asks beyond its self-given name: the server's ID of the viewer's connection and the
    // short fingerprint of the certificate its proof was bound to.
    QString viewer;
    QString fingerprint;
    qint64 expires = 0;

    bool operator==(const ControlAsk &) const = default;

    // The agent's form of the record.
    QJsonObject toJson() const;
    static std::optional<ControlAsk> fromJson(const QJsonValue &value);
};

#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <optional>

// A file going between this desktop and one viewer, as the agent lists it under its
// session: running ones and the last few that ended, so that the host user sees what
// the viewer sent (and where it was saved) and what went to the viewer. Tolerant
// decoding; identity is id within its session.
struct ControlTransfer {
    int id = 0;
    bool sent = false; // from this desktop to the viewer; false: received from it
    QString name;      // the file's own name, or the name it was saved under
    QString path;      // the file sent, or the file received once complete
    qint64 size = 0;
    qint64 done = 0;                           // bytes the receiving end has written
    QString state = QStringLiteral("waiting"); // "waiting", "running", "done", "failed" or "cancelled"
    QString message;                           // why it failed or was cancelled

    bool operator==(const ControlTransfer &) const = default;

    bool finished() const { return state == u"done" || state == u"failed" || state == u"cancelled"; }
    QJsonObject toJson() const;
    // nullopt only when the value is not an object.
    static std::optional<ControlTransfer> fromJson(const QJsonValue &value);
};

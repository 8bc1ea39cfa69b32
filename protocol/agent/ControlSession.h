#pragma once

#include "protocol/agent/ControlSessionLink.h"
#include "protocol/agent/ControlTransfer.h"
#include "protocol/agent/ControlViewerInfo.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>

#include <optional>

// One viewer connected to this device, as the agent lists it. Tolerant decoding;
// identity is sid.
struct ControlSession {
    QString sid;
    QString viewer;
    QString name;
    std::optional<ControlViewerInfo> info;
    QString icon;
    QString ip;
    QString fingerprint; // short form of the viewer's certificate fingerprint
    qint64 since = 0;
    bool authed = false;
    bool relay = false;
    bool input = true;
    bool clip = true;
    bool files = true;
    bool mic = false;                       // the viewer's microphone may play on this desktop
    QString micSource;                      // the source programs hear the viewer's voice from ("" when none)
    bool recording = false;                 // the viewer records what it is shown
    QList<ControlTransfer> transfers;       // running files and the last few that ended, oldest first
    std::optional<ControlSessionLink> link; // once the picture flows: how it reaches the viewer

    bool operator==(const ControlSession &) const = default;

    // nullopt only when the value is not an object. Keys already camel-cased.
    // The agent's form of the record.
    QJsonObject toJson() const;
    static std::optional<ControlSession> fromJson(const QJsonValue &value);
    // info.line, "IP " + ip and "ID " + viewer (each when not empty), joined by two spaces.
    QString detail() const;
};

#pragma once

#include "protocol/agent/ControlAsk.h"
#include "protocol/agent/ControlController.h"
#include "protocol/agent/ControlEula.h"
#include "protocol/agent/ControlMonitor.h"
#include "protocol/agent/ControlSession.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMetaType>
#include <QString>

#include <optional>

// The agent's whole state, as returned by "status" and carried by every event: the agent
// (host/control/HostState) writes it with toJson(), the application reads it with
// decode(). Decoded tolerantly: a missing or mistyped field takes its default; a list with
// one bad element becomes empty; only a top level that is not an object fails.
struct ControlStatus {
    QString id;
    QString name;
    QString platform;
    QString version;
    QString server;
    bool connected = false;
    bool sharing = false;
    QString autoPasscode;
    QString passcodeMode = QStringLiteral("auto"); // "auto", "fixed" or "both"
    bool hasFixed = false;
    int fps = 0;
    double scale = 1.0;
    int kbps = 0;
    QString video;
    QString encoder;
    bool audioOn = false;
    QString audioSource = QStringLiteral("system");
    QList<ControlMonitor> monitors;
    QList<ControlSession> sessions;
    bool noticeBar = true;
    QList<ControlController> controllers;
    std::optional<ControlEula> eulaRequired;
    bool allowAsk = true;
    QList<ControlAsk> asks;
    QString inputPerm = QStringLiteral("unneeded"); // views react to "denied"
    QString screenPerm = QStringLiteral("unneeded");
    // Added by the Linux agent (an older agent leaves the defaults):
    QString approval = QStringLiteral("passcode"); // "passcode" or "ask" (the user admits each viewer)
    QString displayServer;                         // "x11", "xwayland", "wayland", "none" or "" (unknown)
    QString backend;     // the agent's platform back end: "x11", "wlroots", "mutter", "portal", "none" or "" (unknown)
    QString screenError; // why the screen cannot be shared, "" when it can
    bool unattended = false; // the owner allows sharing with no one at the desktop (no dialog; next start)
    QString audioError;      // why no sound is captured, "" when fine
    QString audioDevice;     // the sound source in use, "" when none
    QString problem;         // what keeps the device from working, "" when nothing

    bool operator==(const ControlStatus &) const = default;

    // The agent's form: camel-case keys, "eulaRequired" null when none.
    QJsonObject toJson() const;
    // Object keys may be snake case or camel case.
    static std::optional<ControlStatus> decode(const QByteArray &json);
    static ControlStatus fromObject(const QJsonObject &object);
};

Q_DECLARE_METATYPE(ControlStatus)

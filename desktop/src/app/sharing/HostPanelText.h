#pragma once

#include "agent/model/ControlStatus.h"

#include <QImage>
#include <QString>

#include <optional>

// The texts of the host panel, computed from the published agent state.
class HostPanelText {
public:
    // Icons larger than this (as data-URL text) are not decoded.
    static constexpr qsizetype maxIconChars = 1024 * 1024;

    static QString elapsed(qint64 since, qint64 now);
    static QString permLabel(const ControlSession &session);
    static QString encoderLine(const std::optional<ControlStatus> &st);
    static QString versionLine(const std::optional<ControlStatus> &st);
    // Which of the agent's platform back ends serves the desktop, and why the screen cannot be shared.
    static QString backendLine(const std::optional<ControlStatus> &st);
    static QString audioLine(const std::optional<ControlStatus> &st);
    // Why the device ID is empty ("" when there is one, or nothing to say).
    static QString idNote(const std::optional<ControlStatus> &st, bool agentEnded);
    static QString monitorLine(const ControlMonitor &monitor);
    static QString sessionCaption(const ControlSession &session, qint64 now);
    static QString copyLabel(const QString &label, const QString &value, const std::optional<QString> &copied);
    // The picture of a data-URL icon, or a null image when it is not one or does not decode.
    static QImage decodeIcon(const QString &icon);
};

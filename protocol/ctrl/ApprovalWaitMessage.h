#pragma once

#include <QJsonObject>
#include <QLatin1StringView>

// "approval_wait", host → viewer: the proof is accepted and the host user is asked; the
// viewer shows how long it may wait. The seconds are kept within a day (a made-up figure
// must not overflow a clock); a missing or unusable figure reads as defaultSec.
struct ApprovalWaitMessage {
    static constexpr QLatin1StringView tag{"approval_wait"};
    static constexpr qint64 defaultSec = 60;
    static constexpr qint64 maxSec = 86400;

    qint64 sec = defaultSec;

    QJsonObject toJson() const;
    static ApprovalWaitMessage fromJson(const QJsonObject &message);
    bool operator==(const ApprovalWaitMessage &) const = default;
};

#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QLatin1StringView>
#include <QString>

#include <optional>

// "auth_ok", host → viewer: the proof is accepted (and the host user agreed, where asked);
// input may flow. Sent again whenever the host's displays change.
struct AuthOkMessage {
    static constexpr QLatin1StringView tag{"auth_ok"};

    // The host's displays: [{id, name, w, h, primary}] (the viewer's session/Monitor reads them).
    QJsonArray monitors;
    // How the picture comes: "jpeg" (on the "video" channel, also when missing) or "h264".
    QString video = QStringLiteral("jpeg");
    // Whether an Opus track carries the host's sound ("audio": "opus" / "none").
    bool audio = false;
    // The device's name; none when the host leaves it out.
    std::optional<QString> name;
    // The host opens a window per display ("window"); false from hosts that cannot.
    bool windows = false;

    QJsonObject toJson() const;
    static AuthOkMessage fromJson(const QJsonObject &message);
    bool operator==(const AuthOkMessage &) const = default;
};

#pragma once

#include <QJsonObject>
#include <QLatin1StringView>
#include <QString>

// "auth", viewer → host: the passcode proof, one value per passcode kind (the
// automatic and the fixed one, protocol/PasscodeProof). A missing value is "".
struct AuthMessage {
    static constexpr QLatin1StringView tag{"auth"};

    QString a;
    QString f;
    QJsonObject toJson() const;
    static AuthMessage fromJson(const QJsonObject &message);
    bool operator==(const AuthMessage &) const = default;
};

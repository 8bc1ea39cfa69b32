#pragma once

#include <QJsonObject>
#include <QLatin1StringView>
#include <QString>

// "hello", viewer → host, right after the passcode proof: what a viewer says about
// itself, cut to size: who (user and machine), on what (OS, application and version)
// and an optional small picture. The host shows it to its user (the approval prompt,
// the notice bar, the profile windows). Everything comes from the far side, so every
// field is bounded and cleaned of control characters on reading; an icon that is not
// a small PNG or JPEG data URL is dropped.
struct ViewerIntroduction {
    static constexpr QLatin1StringView tag{"hello"};
    static constexpr int maxNameChars = 64;
    static constexpr int maxOsChars = 128;
    static constexpr int maxAppChars = 64;
    static constexpr int maxVersionChars = 32;
    static constexpr int maxIconChars = 16 * 1024;

    QString user;
    QString machine;
    QString os;
    QString app;
    QString ver;
    QString icon; // "data:image/png;base64,..." or ""

    // The message as sent; the icon only when there is one.
    QJsonObject toJson() const;
    static ViewerIntroduction fromJson(const QJsonObject &hello);
    // "user@machine", or whichever of the two is given.
    QString displayName() const;
    bool operator==(const ViewerIntroduction &) const = default;
};

#pragma once

#include <QJsonObject>
#include <QString>

// What a viewer says about itself in its "hello" control message, cut to size: who
// (user and machine), on what (OS, application and version) and an optional small
// picture. Everything comes from the far side, so every field is bounded and cleaned
// of control characters; an icon that is not a small PNG or JPEG data URL is dropped.
struct ViewerIntroduction {
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

    static ViewerIntroduction fromMessage(const QJsonObject &hello);
    // "user@machine", or whichever of the two is given.
    QString displayName() const;
    bool operator==(const ViewerIntroduction &) const = default;
};

#pragma once

#include <QJsonObject>
#include <QLatin1StringView>

// "quality", viewer → host: the picture the viewer asks for. The same four values are what
// the host user's quality buttons set through the agent's API. Every end keeps them within
// the limits below: the viewer and the host clamp what they send and receive (clamped()),
// the agent's API refuses a request outside them (inRange()).
struct QualityRequest {
    static constexpr QLatin1StringView tag{"quality"};

    // The frame rate's ceiling. Older ends clamp at steadyFps and read a higher request as
    // that, so raising it breaks nobody: a request up to steadyFps is served as asked,
    // one above it only as far as the host keeps up (it reports how far: "canFps" in
    // "stats"), and a viewer offers it only when the host says it can.
    static constexpr int maxFps = 60;
    static constexpr int steadyFps = 30;
    static constexpr int minFps = 1;
    static constexpr double minScale = 0.1;
    static constexpr double maxScale = 1.0;
    static constexpr int minQ = 1;
    static constexpr int maxQ = 100;
    static constexpr int minKbps = 100;
    static constexpr int maxKbps = 50000;

    int fps = 15;
    double scale = 0.75; // of the display's own size
    int q = 60;          // JPEG quality
    int kbps = 4000;     // H.264 bit rate

    bool operator==(const QualityRequest &) const = default;

    // Each value brought within its limits; a scale that is not a number becomes maxScale.
    QualityRequest clamped() const;
    bool inRange() const { return clamped() == *this; }

    // The four values without the tag.
    QJsonObject dict() const;
    QJsonObject toJson() const;
    // The request applied to `current`: a value that is missing or not a number keeps its
    // current one; the result is clamped().
    static QualityRequest fromJson(const QJsonObject &message, const QualityRequest &current);
};

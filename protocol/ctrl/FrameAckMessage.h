#pragma once

#include <QJsonObject>
#include <QLatin1StringView>

#include <optional>

// "frame_ack", viewer → host: the viewer has JPEG frame `seq` (the sequence number of its
// chunk header). The host keeps at most a frame or two on their way and measures the link
// by these, so that pictures never queue on a slow link; a host that does not know the
// message ignores it. A number outside 0…2^32-1 is no acknowledgement.
struct FrameAckMessage {
    static constexpr QLatin1StringView tag{"frame_ack"};

    quint32 seq = 0;
    // The display window whose picture this is ("window"); 0: the main picture.
    int win = 0;

    QJsonObject toJson() const;
    // None when "seq" is not a frame number.
    static std::optional<FrameAckMessage> read(const QJsonObject &message);
    static FrameAckMessage fromJson(const QJsonObject &message);
    bool operator==(const FrameAckMessage &) const = default;
};

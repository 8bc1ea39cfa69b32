#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <optional>

// The header of one chunk of a picture on the "video" channel: kind 1, seq,
// index, count, w, h, flags (all big-endian), then the chunk's bytes. A picture
// larger than one message is cut into `count` chunks of the same seq.
struct JpegChunkHeader {
    static constexpr qsizetype size = 14;
    static constexpr quint8 kind = 1;
    static constexpr quint8 stillFlag = 0x01; // a lossless still, not a stream frame

    quint32 seq = 0;
    quint16 index = 0;
    quint16 count = 0;
    quint16 w = 0;
    quint16 h = 0;
    quint8 flags = 0;

    // The header followed by data.
    QByteArray encode(QByteArrayView data = {}) const;
    // The header of a message; nullopt when it is too short or of another kind.
    static std::optional<JpegChunkHeader> decode(QByteArrayView message);
};

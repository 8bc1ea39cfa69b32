#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <optional>

// The header of one chunk of a file on the "file" channel: kind 2, transfer id,
// four more bytes (big-endian), then the chunk's bytes, which may be empty.
struct FileChunkHeader {
    static constexpr qsizetype size = 9;
    static constexpr quint8 kind = 2;

    quint32 id = 0;
    quint32 extra = 0; // not interpreted by the viewer

    // The header followed by data.
    QByteArray encode(QByteArrayView data = {}) const;
    // The header of a message; nullopt when it is too short or of another kind.
    static std::optional<FileChunkHeader> decode(QByteArrayView message);
};

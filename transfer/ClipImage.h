#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QLatin1StringView>
#include <QList>

#include <optional>

// A clipboard picture between the two ends, as "clipimg" control messages: the PNG
// file's bytes, up to maxBytes, in parts of partBytes sent as Base64 so that every
// message stays well below the 64 KiB a data channel carries:
//   {"t": "clipimg", "id": N, "part": i, "parts": n, "png": "<Base64>"}
// The bytes are passed on untouched, so a PNG arrives byte for byte. 8 MiB holds a
// screenshot of a 4K desktop, and an X client can still serve it in one property
// (the BIG-REQUESTS limit is 16 MiB), so no side has to speak INCR when owning it.
// Parts arrive in order on the ordered channel; the receiver puts one picture
// together at a time and drops it on any gap, change of id, bad Base64, excess, or
// bytes that are not a PNG.
class ClipImage {
public:
    static constexpr QLatin1StringView tag{"clipimg"};
    static constexpr QLatin1StringView mimeType{"image/png"};
    static constexpr qsizetype maxBytes = 8 * 1024 * 1024;
    static constexpr qsizetype partBytes = 32 * 1024;
    static constexpr int maxParts = int((maxBytes + partBytes - 1) / partBytes);

    // Whether these bytes may be sent at all: a PNG of at most maxBytes.
    static bool fits(const QByteArray &png) { return isPng(png) && png.size() <= maxBytes; }
    static bool isPng(const QByteArray &bytes);
    // The messages for one picture (empty when it does not fit).
    static QList<QJsonObject> split(const QByteArray &png, quint32 id);

    // Takes one "clipimg" message; the whole PNG when it was the last part.
    std::optional<QByteArray> add(const QJsonObject &message);

private:
    void reset();

    bool m_active = false;
    double m_id = 0;
    int m_parts = 0;
    int m_next = 0;
    QByteArray m_png;
};

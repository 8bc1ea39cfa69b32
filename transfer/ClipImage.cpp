#include "transfer/ClipImage.h"

#include "protocol/ctrl/CtrlMessage.h"

#include <cmath>

bool ClipImage::isPng(const QByteArray &bytes) {
    static constexpr char signature[] = "\x89PNG\r\n\x1a\n";
    return bytes.startsWith(QByteArrayView(signature, 8));
}

QList<QJsonObject> ClipImage::split(const QByteArray &png, quint32 id) {
    if (!fits(png))
        return {};
    const int parts = int((png.size() + partBytes - 1) / partBytes);
    QList<QJsonObject> out;
    out.reserve(parts);
    for (int i = 0; i < parts; ++i) {
        const QByteArray piece = png.mid(i * partBytes, partBytes).toBase64();
        out.append(CtrlMessage::tagged(
            tag, {{"id", qint64(id)}, {"part", i}, {"parts", parts}, {"png", QString::fromLatin1(piece)}}));
    }
    return out;
}

void ClipImage::reset() {
    m_active = false;
    m_parts = 0;
    m_next = 0;
    m_png.clear();
}

std::optional<QByteArray> ClipImage::add(const QJsonObject &message) {
    const QJsonValue id = message.value(QLatin1String("id"));
    const QJsonValue part = message.value(QLatin1String("part"));
    const QJsonValue parts = message.value(QLatin1String("parts"));
    const QJsonValue png = message.value(QLatin1String("png"));
    auto whole = [](const QJsonValue &v, double lo, double hi) {
        return v.isDouble() && std::isfinite(v.toDouble()) && v.toDouble() == std::floor(v.toDouble()) &&
               v.toDouble() >= lo && v.toDouble() <= hi;
    };
    if (!whole(id, 0, 4294967295.0) || !whole(part, 0, maxParts - 1) || !whole(parts, 1, maxParts) || !png.isString() ||
        part.toDouble() >= parts.toDouble()) {
        reset();
        return std::nullopt;
    }
    const int index = int(part.toDouble());
    if (index == 0) {
        reset();
        m_active = true;
        m_id = id.toDouble();
        m_parts = int(parts.toDouble());
    } else if (!m_active || id.toDouble() != m_id || int(parts.toDouble()) != m_parts || index != m_next) {
        reset(); // a gap or a part of another picture: this one is lost
        return std::nullopt;
    }
    // Checked before decoding: a part may not be larger than the sender makes them.
    const QString encoded = png.toString();
    if (encoded.size() > (partBytes + 2) / 3 * 4) {
        reset();
        return std::nullopt;
    }
    const auto decoded = QByteArray::fromBase64Encoding(encoded.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || m_png.size() + decoded.decoded.size() > maxBytes) {
        reset();
        return std::nullopt;
    }
    m_png += decoded.decoded;
    m_next = index + 1;
    if (m_next < m_parts)
        return std::nullopt;
    QByteArray done = std::exchange(m_png, {});
    reset();
    if (!isPng(done))
        return std::nullopt;
    return done;
}

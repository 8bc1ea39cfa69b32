#include "transfer/ClipText.h"

#include "protocol/ctrl/CtrlMessage.h"

#include <cmath>

QList<QJsonObject> ClipText::split(const QString &text, quint32 id) {
    if (!fits(text))
        return {};
    QList<QString> pieces;
    qsizetype at = 0;
    do {
        qsizetype n = std::min(partChars, text.size() - at);
        if (n > 0 && at + n < text.size() && text.at(at + n - 1).isHighSurrogate())
            --n;
        pieces.append(text.mid(at, n));
        at += n;
    } while (at < text.size());
    QList<QJsonObject> out;
    for (int i = 0; i < pieces.size(); ++i)
        out.append(CtrlMessage::tagged(
            tag, {{"id", qint64(id)}, {"part", i}, {"parts", int(pieces.size())}, {"text", pieces[i]}}));
    return out;
}

void ClipText::reset() {
    m_active = false;
    m_parts = 0;
    m_next = 0;
    m_text.clear();
    m_bytes = 0;
}

std::optional<QString> ClipText::add(const QJsonObject &message) {
    const QJsonValue id = message.value(QLatin1String("id"));
    const QJsonValue part = message.value(QLatin1String("part"));
    const QJsonValue parts = message.value(QLatin1String("parts"));
    const QJsonValue text = message.value(QLatin1String("text"));
    auto whole = [](const QJsonValue &v, double lo, double hi) {
        return v.isDouble() && std::isfinite(v.toDouble()) && v.toDouble() == std::floor(v.toDouble()) &&
               v.toDouble() >= lo && v.toDouble() <= hi;
    };
    if (!whole(id, 0, 4294967295.0) || !whole(part, 0, maxParts - 1) || !whole(parts, 1, maxParts) ||
        !text.isString() || part.toDouble() >= parts.toDouble()) {
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
        reset(); // a gap or a part of another text: this one is lost
        return std::nullopt;
    }
    const QString piece = text.toString();
    m_bytes += piece.toUtf8().size();
    if (m_bytes > maxBytes) {
        reset();
        return std::nullopt;
    }
    m_text += piece;
    m_next = index + 1;
    if (m_next < m_parts)
        return std::nullopt;
    const QString done = m_text;
    reset();
    return done;
}

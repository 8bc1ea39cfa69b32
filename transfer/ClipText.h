#pragma once

#include <QJsonObject>
#include <QLatin1StringView>
#include <QList>
#include <QString>

#include <optional>

// Clipboard text between the two ends, as "clip" control messages: a text of up to
// maxBytes (UTF-8) travels in parts of at most partChars UTF-16 units, so that every
// message stays far below the 64 KiB a data channel carries even when JSON escapes
// each character:
//   {"t": "clip", "id": N, "part": i, "parts": n, "text": "…"}
// Parts arrive in order on the ordered channel; the receiver puts one text together
// at a time and drops it on any gap, change of id or excess.
class ClipText {
public:
    static constexpr QLatin1StringView tag{"clip"};
    static constexpr qsizetype maxBytes = 1024 * 1024;
    static constexpr qsizetype partChars = 8192;
    static constexpr int maxParts = int((maxBytes + partChars - 1) / partChars) * 4; // 4 UTF-16 units a byte at most

    // Whether a text may be sent at all.
    static bool fits(const QString &text) { return text.toUtf8().size() <= maxBytes; }
    // The messages for one text (empty when it does not fit); never splits a surrogate pair.
    static QList<QJsonObject> split(const QString &text, quint32 id);

    // Takes one "clip" message; the whole text when it was the last part.
    std::optional<QString> add(const QJsonObject &message);

private:
    void reset();

    bool m_active = false;
    double m_id = 0;
    int m_parts = 0;
    int m_next = 0;
    QString m_text;
    qsizetype m_bytes = 0;
};

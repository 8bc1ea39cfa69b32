#include "WebSocketFrameParser.h"

#include <QtEndian>

namespace {

enum Opcode : int { Continuation = 0x0, Text = 0x1, Binary = 0x2, Close = 0x8, Ping = 0x9, Pong = 0xA };

constexpr int maxControlPayload = 125;

} // namespace

void WebSocketFrameParser::append(const QByteArray &bytes) {
    if (m_failure)
        return;
    if (m_pos == m_buf.size()) {
        // All parsed (the usual case): take the new bytes as they are, and let the memory of
        // an earlier large message go with the old buffer.
        m_buf = bytes;
        m_pos = 0;
        return;
    }
    // Drop what has been parsed before growing: the buffer stays about one frame long.
    if (m_pos > 0 && m_pos >= m_buf.size() / 2) {
        m_buf.remove(0, m_pos);
        m_pos = 0;
        if (m_buf.capacity() > 2 * m_buf.size() + 64 * 1024)
            m_buf.squeeze();
    }
    m_buf += bytes;
}

std::optional<WebSocketFrameParser::Event> WebSocketFrameParser::fail(int code, const char *reason) {
    m_failure = code;
    m_reason = QString::fromLatin1(reason);
    m_buf.clear();
    m_pos = 0;
    m_message.clear();
    return std::nullopt;
}

bool WebSocketFrameParser::validCloseCode(int code) {
    if (code >= 3000 && code <= 4999)
        return true;
    return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1011);
}

bool WebSocketFrameParser::validUtf8(const QByteArray &bytes) {
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.constData());
    const qsizetype n = bytes.size();
    qsizetype i = 0;
    while (i < n) {
        const unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        int more = 0;
        unsigned char lo = 0x80, hi = 0xBF; // allowed range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            more = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            more = 2;
            if (c == 0xE0)
                lo = 0xA0; // overlong
            else if (c == 0xED)
                hi = 0x9F; // surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            more = 3;
            if (c == 0xF0)
                lo = 0x90; // overlong
            else if (c == 0xF4)
                hi = 0x8F; // past U+10FFFF
        } else {
            return false;
        }
        if (n - i <= more)
            return false;
        if (p[i + 1] < lo || p[i + 1] > hi)
            return false;
        for (int k = 2; k <= more; ++k) {
            if ((p[i + k] & 0xC0) != 0x80)
                return false;
        }
        i += more + 1;
    }
    return true;
}

std::optional<WebSocketFrameParser::Event> WebSocketFrameParser::next() {
    while (!m_failure) {
        const auto *p = reinterpret_cast<const unsigned char *>(m_buf.constData()) + m_pos;
        const qsizetype have = m_buf.size() - m_pos;
        if (have == 0) {
            // An idle connection holds no buffer at all.
            m_buf = QByteArray();
            m_pos = 0;
            return std::nullopt;
        }
        if (have < 2)
            return std::nullopt;
        const bool fin = p[0] & 0x80;
        const int opcode = p[0] & 0x0F;
        const bool masked = p[1] & 0x80;
        if (p[0] & 0x70)
            return fail(protocolError, "reserved bits set");
        if (!masked)
            return fail(protocolError, "unmasked frame");
        const bool control = opcode & 0x8;
        if (opcode != Continuation && opcode != Text && opcode != Binary && opcode != Close && opcode != Ping &&
            opcode != Pong)
            return fail(protocolError, "unknown opcode");

        quint64 length = p[1] & 0x7F;
        qsizetype headerSize = 2;
        if (length == 126) {
            if (have < 4)
                return std::nullopt;
            length = qFromBigEndian<quint16>(p + 2);
            headerSize = 4;
            if (length < 126)
                return fail(protocolError, "length not minimally encoded");
        } else if (length == 127) {
            if (have < 10)
                return std::nullopt;
            length = qFromBigEndian<quint64>(p + 2);
            headerSize = 10;
            if (length >> 63)
                return fail(protocolError, "length out of range");
            if (length <= 0xFFFF)
                return fail(protocolError, "length not minimally encoded");
        }
        if (control && (!fin || length > maxControlPayload))
            return fail(protocolError, "bad control frame");
        // Judged on the announced length, before a byte of the payload is kept.
        if (!control && (length > quint64(m_max) || quint64(m_message.size()) + length > quint64(m_max)))
            return fail(tooBig, "message too big");
        if (opcode == Continuation && m_messageOpcode == 0)
            return fail(protocolError, "continuation outside a message");
        if ((opcode == Text || opcode == Binary) && m_messageOpcode != 0)
            return fail(protocolError, "new message inside a fragmented one");

        const qsizetype frameSize = headerSize + 4 + qsizetype(length);
        if (have < frameSize)
            return std::nullopt;
        const unsigned char *key = p + headerSize;
        QByteArray payload(reinterpret_cast<const char *>(p + headerSize + 4), qsizetype(length));
        char *d = payload.data();
        for (qsizetype i = 0; i < payload.size(); ++i)
            d[i] = char(d[i] ^ key[i & 3]);
        m_pos += frameSize;

        if (control) {
            Event e;
            e.payload = std::move(payload);
            if (opcode == Ping) {
                e.kind = Kind::Ping;
            } else if (opcode == Pong) {
                e.kind = Kind::Pong;
            } else {
                e.kind = Kind::Close;
                e.closeCode = 1005;
                if (e.payload.size() == 1)
                    return fail(protocolError, "close frame of one byte");
                if (e.payload.size() >= 2) {
                    e.closeCode = qFromBigEndian<quint16>(e.payload.constData());
                    e.payload.remove(0, 2);
                    if (!validCloseCode(e.closeCode))
                        return fail(protocolError, "invalid close code");
                    if (!validUtf8(e.payload))
                        return fail(invalidPayload, "close reason not UTF-8");
                }
            }
            return e;
        }

        if (opcode != Continuation)
            m_messageOpcode = opcode;
        if (m_message.isEmpty())
            m_message = std::move(payload);
        else
            m_message += payload;
        if (!fin)
            continue;

        Event e;
        e.kind = m_messageOpcode == Text ? Kind::Text : Kind::Binary;
        m_messageOpcode = 0;
        QByteArray message = std::move(m_message);
        m_message = QByteArray();
        if (e.kind == Kind::Text) {
            if (!validUtf8(message))
                return fail(invalidPayload, "text not UTF-8");
            e.text = QString::fromUtf8(message);
        } else {
            e.payload = std::move(message);
        }
        return e;
    }
    return std::nullopt;
}

#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Reads the frames a WebSocket client sends to a server and puts fragmented messages back
// together. It holds the peer to the rules a server must enforce: every frame masked, no
// reserved bits (no extension is ever agreed), known opcodes only, control frames short and
// unfragmented, continuations only inside a message, text in valid UTF-8, and no message
// longer than the cap. A frame header that announces more than the cap fails at once,
// before any of its payload is buffered.
//
// Plain data structure, no I/O: feed bytes with append(), take events with next().
class WebSocketFrameParser {
public:
    enum class Kind { Text, Binary, Ping, Pong, Close };
    struct Event {
        Kind kind = Kind::Binary;
        QByteArray payload; // binary data, ping/pong payload, close reason (UTF-8)
        QString text;       // Text only
        int closeCode = 0;  // Close only; 1005 when the peer gave none
    };

    // Close codes the parser fails with.
    static constexpr int protocolError = 1002;
    static constexpr int invalidPayload = 1007;
    static constexpr int tooBig = 1009;

    explicit WebSocketFrameParser(qint64 maxMessageBytes = 1024 * 1024) : m_max(maxMessageBytes) {}

    void setMaxMessageBytes(qint64 bytes) { m_max = bytes; }
    qint64 maxMessageBytes() const { return m_max; }
    void append(const QByteArray &bytes);
    // The next complete message or control frame; nothing when more bytes are needed or
    // once the stream has failed.
    std::optional<Event> next();
    // The close code to answer a broken stream with (protocolError, invalidPayload, tooBig),
    // 0 while the stream is sound. Once set it stays.
    int failure() const { return m_failure; }
    QString failureReason() const { return m_reason; }
    // Bytes held: the unparsed rest plus the message being put together.
    qint64 buffered() const { return m_buf.size() - m_pos + m_message.size(); }

    // Whether `code` may appear in a close frame on the wire.
    static bool validCloseCode(int code);
    // Strict UTF-8 check (no overlongs, surrogates or code points past U+10FFFF).
    static bool validUtf8(const QByteArray &bytes);

private:
    std::optional<Event> fail(int code, const char *reason);

    qint64 m_max;
    QByteArray m_buf;
    qsizetype m_pos = 0; // m_buf[0, m_pos) is parsed
    QByteArray m_message;
    int m_messageOpcode = 0; // 1 text, 2 binary while a fragmented message is open; 0 otherwise
    int m_failure = 0;
    QString m_reason;
};

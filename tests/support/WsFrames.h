#pragma once

#include <QByteArray>
#include <QList>

#include <optional>

// One final text frame as a client sends it (masked, with an all-zero key so the payload
// stays readable), for tests that speak WebSocket over a raw socket. Payloads up to 64 KiB.
QByteArray clientFrame(const QByteArray &text);

// Any client frame, including ones a real client never sends: masked with a non-zero key
// unless `masked` is false.
QByteArray clientFrame(int opcode, const QByteArray &payload, bool fin = true, bool masked = true);

// A frame from the server (never masked).
struct ServerFrame {
    int opcode = 0;
    bool fin = true;
    QByteArray payload;
    // For close frames: the code, 1005 when there is none.
    int closeCode() const;
};

// Takes the first complete server frame off the front of `in`.
std::optional<ServerFrame> takeServerFrame(QByteArray &in);

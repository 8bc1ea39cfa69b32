#pragma once

#include <QByteArray>

// One final text frame as a client sends it (masked, with an all-zero key so the payload
// stays readable), for tests that speak WebSocket over a raw socket. Payloads up to 64 KiB.
QByteArray clientFrame(const QByteArray &text);

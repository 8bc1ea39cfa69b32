#include "WebSocketFrameParser.h"

#include <QList>

#include <cstddef>
#include <cstdint>

namespace {

struct Outcome {
    QList<WebSocketFrameParser::Event> events;
    int failure = 0;
};

bool same(const WebSocketFrameParser::Event &a, const WebSocketFrameParser::Event &b) {
    return a.kind == b.kind && a.payload == b.payload && a.text == b.text && a.closeCode == b.closeCode;
}

// Feeds `bytes` in pieces of `step` bytes, taking every event after each piece, and checks
// the bounds that must hold at every point.
Outcome run(const QByteArray &bytes, qsizetype step, qint64 cap) {
    WebSocketFrameParser parser(cap);
    Outcome out;
    for (qsizetype at = 0; at < bytes.size(); at += step) {
        parser.append(bytes.mid(at, step));
        while (const auto e = parser.next()) {
            const bool control = e->kind == WebSocketFrameParser::Kind::Ping ||
                                 e->kind == WebSocketFrameParser::Kind::Pong ||
                                 e->kind == WebSocketFrameParser::Kind::Close;
            if (control && e->payload.size() > 125)
                __builtin_trap();
            if (!control && (e->payload.size() > cap || e->text.toUtf8().size() > cap))
                __builtin_trap();
            // Text is handed on only when it was valid UTF-8, which a round trip keeps.
            if (e->kind == WebSocketFrameParser::Kind::Text && !e->text.isEmpty() &&
                !WebSocketFrameParser::validUtf8(e->text.toUtf8()))
                __builtin_trap();
            if (e->kind == WebSocketFrameParser::Kind::Close && e->closeCode != 1005 &&
                !WebSocketFrameParser::validCloseCode(e->closeCode))
                __builtin_trap();
            out.events.append(*e);
        }
        // Never more than one frame (its header, and a payload within the cap) and the
        // last piece are held.
        if (parser.buffered() > cap + 14 + step + 125)
            __builtin_trap();
        if (parser.failure()) {
            out.failure = parser.failure();
            parser.append(bytes.mid(at));
            if (parser.next() || parser.buffered() != 0)
                __builtin_trap();
            break;
        }
    }
    return out;
}

} // namespace

// Client-to-server WebSocket frames: the first byte picks the message cap, the rest is the
// stream. The events and the verdict must not depend on how the stream is cut into reads,
// and strict UTF-8 checking must agree with Qt's decoder.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    const qint64 cap = 1 + data[0] * 4;
    const QByteArray bytes(reinterpret_cast<const char *>(data) + 1, qsizetype(size - 1));
    const Outcome whole = run(bytes, qMax<qsizetype>(1, bytes.size()), cap);
    const Outcome bytewise = run(bytes, 1, cap);
    if (whole.failure != bytewise.failure || whole.events.size() != bytewise.events.size())
        __builtin_trap();
    for (qsizetype i = 0; i < whole.events.size(); ++i) {
        if (!same(whole.events[i], bytewise.events[i]))
            __builtin_trap();
    }
    if (WebSocketFrameParser::validUtf8(bytes) != (QString::fromUtf8(bytes).toUtf8() == bytes))
        __builtin_trap();
    return 0;
}

#include "rendezvous/SignalingFrame.h"

#include <QJsonDocument>

#include <cstddef>
#include <cstdint>

// A text frame from the rendezvous server: any text reads as the greeting, a
// message routed to exactly the session its "sid" names, or noise. The message
// handed on is the frame's object whole, so writing it out and reading it back
// gives the same verdict.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const SignalingFrame f = SignalingFrame::parse(text);
    switch (f.kind) {
    case SignalingFrame::Kind::Noise:
        if (!f.sid.isEmpty() || f.id || !f.message.isEmpty())
            __builtin_trap();
        return 0;
    case SignalingFrame::Kind::Hello:
        if (f.message.value("type") != QJsonValue("hello") || !f.sid.isEmpty())
            __builtin_trap();
        if (f.id != (f.message.value("id").isString() ? std::optional(f.message.value("id").toString()) : std::nullopt))
            __builtin_trap();
        break;
    case SignalingFrame::Kind::Routed:
        if (f.message.value("sid") != QJsonValue(f.sid) || f.message.value("type") == QJsonValue("hello") || f.id)
            __builtin_trap();
        break;
    }
    const QString again = QString::fromUtf8(QJsonDocument(f.message).toJson(QJsonDocument::Compact));
    if (SignalingFrame::parse(again) != f)
        __builtin_trap();
    return 0;
}

#include "protocol/ctrl/PermMessage.h"

#include "protocol/Json.h"
#include "protocol/ctrl/CtrlMessage.h"

namespace {
std::optional<bool> flag(const QJsonObject &message, const char *key) {
    const QJsonValue v = message.value(QLatin1StringView(key));
    return v.isBool() ? std::optional<bool>(v.toBool()) : std::nullopt;
}
} // namespace

QJsonObject PermMessage::toJson() const {
    QJsonObject o = CtrlMessage::tagged(tag);
    if (clip)
        o.insert(QLatin1StringView("clip"), *clip);
    if (files)
        o.insert(QLatin1StringView("files"), *files);
    if (input)
        o.insert(QLatin1StringView("input"), *input);
    if (mic)
        o.insert(QLatin1StringView("mic"), *mic);
    return o;
}

PermMessage PermMessage::fromJson(const QJsonObject &message) {
    return {flag(message, "clip"), flag(message, "files"), flag(message, "input"), flag(message, "mic")};
}

#include "protocol/ctrl/ChallengeMessage.h"

#include "protocol/PasscodeProof.h"
#include "protocol/ctrl/CtrlMessage.h"

namespace {
QString base64(const QByteArray &bytes) {
    return QString::fromLatin1(bytes.toBase64());
}

std::optional<QByteArray> bytesAt(const QJsonObject &message, const char *key) {
    const QJsonValue v = message.value(QLatin1StringView(key));
    return PasscodeProof::decodeBase64(v.isString() ? v.toString() : QString());
}
} // namespace

QJsonObject ChallengeMessage::toJson() const {
    QJsonObject o = CtrlMessage::tagged(
        tag, {{"nonce", base64(nonce)}, {"auto_salt", base64(autoSalt)}, {"fixed_salt", base64(fixedSalt)}});
    if (hostFp)
        o.insert(hostFpKey, *hostFp);
    if (iters)
        o.insert(itersKey, qint64(*iters));
    return o;
}

std::optional<ChallengeMessage> ChallengeMessage::fromJson(const QJsonObject &message) {
    const auto nonce = bytesAt(message, "nonce");
    const auto autoSalt = bytesAt(message, "auto_salt");
    const auto fixedSalt = bytesAt(message, "fixed_salt");
    if (!nonce || !autoSalt || !fixedSalt)
        return std::nullopt;
    ChallengeMessage c;
    c.nonce = *nonce;
    c.autoSalt = *autoSalt;
    c.fixedSalt = *fixedSalt;
    if (const QJsonValue fp = message.value(hostFpKey); fp.isString())
        c.hostFp = fp.toString();
    c.iters = PasscodeProof::iterations(message.value(itersKey));
    return c;
}

#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QLatin1StringView>
#include <QString>

#include <optional>

// "challenge", host → viewer, once the "ctrl" channel is open: what the viewer's passcode
// proof is made over (protocol/PasscodeProof). The iteration count is bounded by
// PasscodeProof::iterations; a count outside it is kept as none, and the viewer refuses
// such a challenge instead of working on it.
struct ChallengeMessage {
    static constexpr QLatin1StringView tag{"challenge"};
    static constexpr QLatin1StringView itersKey{"iters"};
    static constexpr QLatin1StringView hostFpKey{"host_fp"};

    QByteArray nonce;
    QByteArray autoSalt;
    QByteArray fixedSalt;
    // The host's DTLS fingerprint as it sees it; none when the host leaves it out.
    std::optional<QString> hostFp;
    std::optional<quint32> iters;

    QJsonObject toJson() const;
    // None when the nonce or a salt is missing or not base64.
    static std::optional<ChallengeMessage> fromJson(const QJsonObject &message);
    bool operator==(const ChallengeMessage &) const = default;
};

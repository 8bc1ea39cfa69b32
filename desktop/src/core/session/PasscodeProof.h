#pragma once

#include <QByteArray>
#include <QJsonValue>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

// The passcode proof of the control channel: two HMAC-SHA-256 values keyed with
// PBKDF2-HMAC-SHA-256 derivations of the passcode (one per host salt) over the
// host's nonce and both DTLS certificate fingerprints.
class PasscodeProof {
public:
    struct Result {
        QString a; // base64, for auto_salt
        QString f; // base64, for fixed_salt
    };
    struct Input {
        QString passcode;
        QByteArray nonce;
        QByteArray autoSalt;
        QByteArray fixedSalt;
        QString localFingerprint;
        QString remoteFingerprint;
        quint32 iters = 100000;
    };

    // The highest iteration count a challenge may ask for: twenty times the
    // usual count, a few seconds of one core. More is refused, not computed.
    static constexpr quint32 maxIters = 2'000'000;

    // Upper-case hex SHA-256 certificate hash of the first
    // "a=fingerprint:sha-256 …" line of an SDP text, "" when there is none.
    static QString fingerprint(const QString &sdp);

    // Strict standard base64 (padding required, no white space); nullopt when invalid.
    static std::optional<QByteArray> decodeBase64(const QString &text);

    // The iteration count of a challenge: 100000 when "iters" is absent or not an
    // integral number; nullopt when it is out of 1…maxIters (the challenge is refused).
    static std::optional<quint32> iterations(const QJsonValue &iters);

    // The proof itself (blocking; a few hundred milliseconds at the default count).
    static std::optional<Result> compute(const Input &in);
    // Raw PBKDF2-HMAC-SHA-256, 32 bytes; empty on failure.
    static QByteArray pbkdf2(const QByteArray &password, const QByteArray &salt, quint32 iters);
    static QByteArray hmacSha256(const QByteArray &key, const QByteArray &data);

    // compute() on worker threads (the two derivations in parallel); done runs on
    // the main thread, not at all when context died first. A failed computation
    // yields nullopt.
    static void computeAsync(const Input &in, QObject *context, std::function<void(std::optional<Result>)> done);
};

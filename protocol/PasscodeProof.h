#pragma once

#include <QByteArray>
#include <QJsonValue>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

// The passcode proof of the control channel, both ends of it. The host sends a
// nonce and two salts; the viewer answers with two HMAC-SHA-256 values keyed
// with PBKDF2-HMAC-SHA-256 derivations of the passcode (one per salt) over the
// nonce and both DTLS certificate fingerprints, so a proof is only valid for
// this very connection.
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

    static constexpr quint32 defaultIterations = 100000;
    // The highest iteration count a challenge may ask for: twenty times the
    // usual count, a few seconds of one core. More is refused, not computed.
    static constexpr quint32 maxIters = 2'000'000;
    static constexpr int nonceBytes = 32;
    static constexpr int saltBytes = 16;

    // Upper-case hex SHA-256 certificate hash of the first
    // "a=fingerprint:sha-256 …" line of an SDP text, "" when there is none.
    static QString fingerprint(const QString &sdp);

    // Strict standard base64 (padding required, no white space); nullopt when invalid.
    static std::optional<QByteArray> decodeBase64(const QString &text);

    // The iteration count of a challenge: 100000 when "iters" is absent or not an
    // integral number; nullopt when it is out of 1…maxIters (the challenge is refused).
    static std::optional<quint32> iterations(const QJsonValue &iters);

    // Frees the calling thread's OpenSSL state; call it at the end of any
    // thread-pool task that used the functions here.
    static void releaseThreadState();

    // Raw PBKDF2-HMAC-SHA-256, 32 bytes; empty on failure.
    static QByteArray pbkdf2(const QByteArray &password, const QByteArray &salt, quint32 iters);
    static QByteArray hmacSha256(const QByteArray &key, const QByteArray &data);
    // What both MACs cover: nonce ‖ viewer fingerprint ‖ host fingerprint.
    static QByteArray message(const QByteArray &nonce, const QString &viewerFp, const QString &hostFp);

    // The viewer's side (blocking; a few hundred milliseconds at the default count).
    static std::optional<Result> compute(const Input &in);
    // compute() on worker threads (the two derivations in parallel); done runs on
    // the main thread, not at all when context died first. A failed computation
    // yields nullopt.
    static void computeAsync(const Input &in, QObject *context, std::function<void(std::optional<Result>)> done);

    // The host's side: true when the base64 `proof` is the MAC of `message` under
    // `key`. Constant time over the MAC; a proof that is not base64 or has the
    // wrong length is false, and so is an empty key.
    static bool matches(const QByteArray &key, const QByteArray &message, const QString &proof);

    // Bytes from the system's random source; empty when it fails.
    static QByteArray randomBytes(int count);
};

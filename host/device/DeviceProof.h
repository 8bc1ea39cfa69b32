#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Verification of a viewer's passcode proof. The viewer derives a key from the
// passcode with PBKDF2-HMAC-SHA-256 and MACs the challenge nonce together with both
// certificate fingerprints, so a proof is only valid for this very connection.
class DeviceProof {
public:
    static constexpr quint32 defaultIterations = 100000;
    static constexpr int nonceBytes = 32;
    static constexpr int saltBytes = 16;

    // Upper-case hex of the first "a=fingerprint:sha-256" line, without colons; empty without one.
    static QString fingerprint(const QString &sdp);

    // PBKDF2-HMAC-SHA-256, 32 bytes. Empty on a failure of the library.
    static QByteArray deriveKey(const QByteArray &passcode, const QByteArray &salt, quint32 iterations);
    static QByteArray hmac(const QByteArray &key, const QByteArray &data);

    // nonce ‖ viewer fingerprint ‖ host fingerprint, as the viewer builds it.
    static QByteArray message(const QByteArray &nonce, const QString &viewerFp, const QString &hostFp);

    // True when the base64 `proof` is the MAC of `message` under `key`. Constant time
    // over the MAC; a proof that is not base64 or has the wrong length is false.
    static bool matches(const QByteArray &key, const QByteArray &message, const QString &proof);

    static QByteArray randomBytes(int count);
};

#include "device/DeviceProof.h"

#include <QRegularExpression>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

QString DeviceProof::fingerprint(const QString &sdp) {
    static const QRegularExpression re(QStringLiteral("a=fingerprint:sha-256 ([0-9A-Fa-f:]+)"));
    const auto m = re.match(sdp);
    if (!m.hasMatch())
        return {};
    QString fp = m.captured(0);
    fp.remove(QStringLiteral("a=fingerprint:sha-256 "));
    fp.remove(QLatin1Char(':'));
    return fp.toUpper();
}

QByteArray DeviceProof::deriveKey(const QByteArray &passcode, const QByteArray &salt, quint32 iterations) {
    if (iterations == 0 || iterations > quint32(std::numeric_limits<int>::max()))
        return {};
    QByteArray out(32, Qt::Uninitialized);
    const int ok =
        PKCS5_PBKDF2_HMAC(passcode.constData(), int(passcode.size()),
                          reinterpret_cast<const unsigned char *>(salt.constData()), int(salt.size()), int(iterations),
                          EVP_sha256(), int(out.size()), reinterpret_cast<unsigned char *>(out.data()));
    return ok == 1 ? out : QByteArray();
}

QByteArray DeviceProof::hmac(const QByteArray &key, const QByteArray &data) {
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!HMAC(EVP_sha256(), key.constData(), int(key.size()), reinterpret_cast<const unsigned char *>(data.constData()),
              size_t(data.size()), mac, &len))
        return {};
    return QByteArray(reinterpret_cast<const char *>(mac), int(len));
}

QByteArray DeviceProof::message(const QByteArray &nonce, const QString &viewerFp, const QString &hostFp) {
    return nonce + viewerFp.toUtf8() + hostFp.toUtf8();
}

bool DeviceProof::matches(const QByteArray &key, const QByteArray &message, const QString &proof) {
    if (key.isEmpty())
        return false;
    const auto decoded = QByteArray::fromBase64Encoding(proof.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != 32)
        return false;
    const QByteArray expected = hmac(key, message);
    return expected.size() == 32 && CRYPTO_memcmp(expected.constData(), decoded.decoded.constData(), 32) == 0;
}

QByteArray DeviceProof::randomBytes(int count) {
    QByteArray out(count, Qt::Uninitialized);
    if (RAND_bytes(reinterpret_cast<unsigned char *>(out.data()), count) != 1)
        return {};
    return out;
}

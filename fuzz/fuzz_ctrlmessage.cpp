#include "protocol/PasscodeProof.h"
#include "session/Monitor.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cstddef>
#include <cstdint>

// A control message as the host could send it: the parsers the session applies
// to "challenge" and "auth_ok" never crash, refuse hostile iteration counts and
// yield well-formed fingerprints.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const QJsonObject o = QJsonDocument::fromJson(bytes).object();
    Monitor::listFromJson(o.value("monitors"));
    if (const auto iters = PasscodeProof::iterations(o.value("iters"));
        iters && (*iters == 0 || *iters > PasscodeProof::maxIters))
        __builtin_trap();
    for (const char *key : {"nonce", "auto_salt", "fixed_salt"})
        PasscodeProof::decodeBase64(o.value(QLatin1String(key)).toString());
    const QString fp = PasscodeProof::fingerprint(QString::fromUtf8(bytes));
    for (QChar c : fp)
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
            __builtin_trap();
    return 0;
}

#include "PasscodeProof.h"

#include <QCoreApplication>
#include <QJsonValue>
#include <QPointer>
#include <QRegularExpression>
#include <QThreadPool>

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cmath>

QString PasscodeProof::fingerprint(const QString &sdp) {
    static const QRegularExpression re(QStringLiteral("a=fingerprint:sha-256 ([0-9A-Fa-f:]+)"));
    const QRegularExpressionMatch m = re.match(sdp);
    if (!m.hasMatch())
        return {};
    QString s = m.captured(0);
    s.remove(QStringLiteral("a=fingerprint:sha-256 "));
    s.remove(':');
    return s.toUpper();
}

std::optional<QByteArray> PasscodeProof::decodeBase64(const QString &text) {
    if (text.size() % 4 != 0)
        return std::nullopt;
    const auto r = QByteArray::fromBase64Encoding(text.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!r || text.contains(QChar(' ')) || text.contains('\n') || text.contains('\r') || text.contains('\t'))
        return std::nullopt;
    // toLatin1() maps anything outside Latin-1 to '?', which the strict decoder refuses.
    return *r;
}

std::optional<quint32> PasscodeProof::iterations(const QJsonValue &iters) {
    if (!iters.isDouble())
        return 100000u;
    const double d = iters.toDouble();
    if (!std::isfinite(d) || d != std::trunc(d))
        return 100000u;
    if (d < 1 || d > double(maxIters))
        return std::nullopt;
    return quint32(d);
}

QByteArray PasscodeProof::pbkdf2(const QByteArray &password, const QByteArray &salt, quint32 iters) {
    if (iters == 0 || iters > quint32(std::numeric_limits<int>::max()))
        return {};
    QByteArray out(32, Qt::Uninitialized);
    if (PKCS5_PBKDF2_HMAC(password.constData(), int(password.size()),
                          reinterpret_cast<const unsigned char *>(salt.constData()), int(salt.size()), int(iters),
                          EVP_sha256(), int(out.size()), reinterpret_cast<unsigned char *>(out.data())) != 1)
        return {};
    return out;
}

QByteArray PasscodeProof::hmacSha256(const QByteArray &key, const QByteArray &data) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!HMAC(EVP_sha256(), key.constData(), int(key.size()), reinterpret_cast<const unsigned char *>(data.constData()),
              size_t(data.size()), md, &len))
        return {};
    return QByteArray(reinterpret_cast<const char *>(md), int(len));
}

std::optional<PasscodeProof::Result> PasscodeProof::compute(const Input &in) {
    const QByteArray message = in.nonce + in.localFingerprint.toUtf8() + in.remoteFingerprint.toUtf8();
    const QByteArray password = in.passcode.toUtf8();
    const QByteArray keyA = pbkdf2(password, in.autoSalt, in.iters);
    const QByteArray keyF = pbkdf2(password, in.fixedSalt, in.iters);
    if (keyA.isEmpty() || keyF.isEmpty())
        return std::nullopt;
    const QByteArray a = hmacSha256(keyA, message);
    const QByteArray f = hmacSha256(keyF, message);
    if (a.isEmpty() || f.isEmpty())
        return std::nullopt;
    return Result{QString::fromLatin1(a.toBase64()), QString::fromLatin1(f.toBase64())};
}

void PasscodeProof::computeAsync(const Input &in, QObject *context, std::function<void(std::optional<Result>)> done) {
    QPointer<QObject> guard(context);
    QThreadPool::globalInstance()->start(
        [in, guard, done = std::move(done)]() mutable {
            std::optional<Result> r = compute(in);
            // The guard is only read on the main thread, inside the queued call.
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [guard, r = std::move(r), done = std::move(done)] {
                    if (guard)
                        done(r);
                },
                Qt::QueuedConnection);
        },
        QThread::HighPriority);
}

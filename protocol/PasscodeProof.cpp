#include "protocol/PasscodeProof.h"

#include <QCoreApplication>
#include <QPointer>
#include <QRegularExpression>
#include <QThread>
#include <QThreadPool>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <memory>

QString PasscodeProof::fingerprint(const QString &sdp) {
    static const QRegularExpression re(QStringLiteral("a=fingerprint:sha-256 ([0-9A-Fa-f:]+)"));
    const QRegularExpressionMatch m = re.match(sdp);
    if (!m.hasMatch())
        return {};
    QString s = m.captured(1);
    s.remove(QLatin1Char(':'));
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
        return defaultIterations;
    const double d = iters.toDouble();
    if (!std::isfinite(d) || d != std::trunc(d))
        return defaultIterations;
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

QByteArray PasscodeProof::message(const QByteArray &nonce, const QString &viewerFp, const QString &hostFp) {
    return nonce + viewerFp.toUtf8() + hostFp.toUtf8();
}

namespace {
std::optional<PasscodeProof::Result> macs(const QByteArray &keyA, const QByteArray &keyF, const QByteArray &message) {
    if (keyA.isEmpty() || keyF.isEmpty())
        return std::nullopt;
    const QByteArray a = PasscodeProof::hmacSha256(keyA, message);
    const QByteArray f = PasscodeProof::hmacSha256(keyF, message);
    if (a.isEmpty() || f.isEmpty())
        return std::nullopt;
    return PasscodeProof::Result{QString::fromLatin1(a.toBase64()), QString::fromLatin1(f.toBase64())};
}
} // namespace

std::optional<PasscodeProof::Result> PasscodeProof::compute(const Input &in) {
    const QByteArray password = in.passcode.toUtf8();
    return macs(pbkdf2(password, in.autoSalt, in.iters), pbkdf2(password, in.fixedSalt, in.iters),
                message(in.nonce, in.localFingerprint, in.remoteFingerprint));
}

void PasscodeProof::computeAsync(const Input &in, QObject *context, std::function<void(std::optional<Result>)> done) {
    // The two derivations are independent: run them side by side, which halves
    // the wait on any machine with a second core. The last one to finish builds
    // the result and hands it to the main thread.
    struct Job {
        Input in;
        QPointer<QObject> guard; // only read on the main thread
        std::function<void(std::optional<Result>)> done;
        QByteArray keys[2];
        std::atomic<int> pending{2};
    };
    auto job = std::make_shared<Job>();
    job->in = in;
    job->guard = context;
    job->done = std::move(done);
    for (int which = 0; which < 2; ++which) {
        // Runs on a pool thread.
        QThreadPool::globalInstance()->start(
            [job, which] {
                job->keys[which] =
                    pbkdf2(job->in.passcode.toUtf8(), which == 0 ? job->in.autoSalt : job->in.fixedSalt, job->in.iters);
                if (job->pending.fetch_sub(1) != 1) {
                    releaseThreadState();
                    return;
                }
                std::optional<Result> r =
                    macs(job->keys[0], job->keys[1],
                         message(job->in.nonce, job->in.localFingerprint, job->in.remoteFingerprint));
                releaseThreadState();
                QMetaObject::invokeMethod(
                    QCoreApplication::instance(),
                    [job, r = std::move(r)] {
                        if (job->guard)
                            job->done(r);
                    },
                    Qt::QueuedConnection);
            },
            QThread::HighPriority);
    }
}

void PasscodeProof::releaseThreadState() {
    // OpenSSL keeps per-thread state that it frees when the thread ends. A pool
    // thread may end only while the process exits, after OpenSSL's own exit
    // handler has already torn down what that state points into: a corrupted
    // heap on the way out. Freeing it at the end of each task leaves nothing
    // for the thread's exit to do.
    OPENSSL_thread_stop();
}

bool PasscodeProof::matches(const QByteArray &key, const QByteArray &message, const QString &proof) {
    if (key.isEmpty())
        return false;
    const auto decoded = QByteArray::fromBase64Encoding(proof.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != 32)
        return false;
    const QByteArray expected = hmacSha256(key, message);
    return expected.size() == 32 && CRYPTO_memcmp(expected.constData(), decoded.decoded.constData(), 32) == 0;
}

QByteArray PasscodeProof::randomBytes(int count) {
    QByteArray out(count, Qt::Uninitialized);
    if (RAND_bytes(reinterpret_cast<unsigned char *>(out.data()), count) != 1)
        return {};
    return out;
}

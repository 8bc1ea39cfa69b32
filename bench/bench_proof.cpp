// Passcode proof (two PBKDF2-HMAC-SHA-256 derivations of 100,000 rounds, two
// HMACs, base64, worker hand-over) against OpenSSL's raw PBKDF2 for the same
// 2 x 100,000 rounds. Prints medians and the ratio (goal: at most 1.1).
#include "protocol/PasscodeProof.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {
double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}
} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(3, atoi(argv[1])) : 9;
    const quint32 iters = 100000;

    PasscodeProof::Input in;
    in.passcode = QStringLiteral("482913");
    in.nonce = QByteArray(32, '\x5a');
    in.autoSalt = QByteArray(16, '\x01');
    in.fixedSalt = QByteArray(16, '\x02');
    in.localFingerprint = QString(64, 'A');
    in.remoteFingerprint = QString(64, 'B');
    in.iters = iters;

    std::vector<double> raw, proof, async;
    for (int r = 0; r < runs; ++r) {
        QElapsedTimer t;
        unsigned char out[32];
        t.start();
        for (const QByteArray &salt : {in.autoSalt, in.fixedSalt})
            PKCS5_PBKDF2_HMAC("482913", 6, reinterpret_cast<const unsigned char *>(salt.constData()), int(salt.size()),
                              int(iters), EVP_sha256(), 32, out);
        raw.push_back(t.nsecsElapsed() / 1e6);

        t.restart();
        const auto p = PasscodeProof::compute(in);
        proof.push_back(t.nsecsElapsed() / 1e6);
        if (!p)
            return 1;

        // The way the session runs it: both derivations on workers side by side,
        // the result back on the main thread.
        QEventLoop loop;
        t.restart();
        PasscodeProof::computeAsync(in, &app, [&](auto) { loop.quit(); });
        loop.exec();
        async.push_back(t.nsecsElapsed() / 1e6);
    }
    const double mr = median(raw), mp = median(proof), ma = median(async);
    const double br = *std::min_element(raw.begin(), raw.end()), bp = *std::min_element(proof.begin(), proof.end()),
                 ba = *std::min_element(async.begin(), async.end());
    std::printf("proof benchmark: 2 x %u PBKDF2-HMAC-SHA-256 rounds, %d interleaved runs (median / best)\n", iters,
                runs);
    std::printf("  raw OpenSSL PBKDF2        %8.2f / %8.2f ms\n", mr, br);
    std::printf("  proof (compute)           %8.2f / %8.2f ms   ratio %.3f / %.3f\n", mp, bp, mp / mr, bp / br);
    std::printf("  proof (workers + hand-off) %8.2f / %8.2f ms   ratio %.3f / %.3f (goal <= 1.1)\n", ma, ba, ma / mr,
                ba / br);
    return 0;
}

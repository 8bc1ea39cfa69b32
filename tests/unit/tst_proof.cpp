// Passcode proof, both ends of it, certificate fingerprints, challenge hardening
// and the texts of failed authentication, checked against an independent
// PBKDF2/HMAC (Python's hashlib and hmac, run as a child process; python3 is a
// build dependency, so its absence fails the test).
#include "protocol/PasscodeProof.h"
#include "session/RemoteSession.h"

#include <QJsonValue>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <limits>

namespace {
// a and f as Python computes them, or empty strings when python3 is missing.
QPair<QString, QString> pythonProof(const PasscodeProof::Input &in) {
    const QString script =
        QStringLiteral("import sys,hashlib,hmac,base64\n"
                       "p,n,sa,sf,lf,rf,it=sys.argv[1:]\n"
                       "pw=bytes.fromhex(p); msg=bytes.fromhex(n)+lf.encode()+rf.encode()\n"
                       "def mac(salt):\n"
                       "  k=hashlib.pbkdf2_hmac('sha256',pw,bytes.fromhex(salt),int(it),32)\n"
                       "  return base64.b64encode(hmac.new(k,msg,hashlib.sha256).digest()).decode()\n"
                       "print(mac(sa)); print(mac(sf))\n");
    QProcess py;
    py.start(QStringLiteral("python3"),
             {QStringLiteral("-c"), script, QString::fromLatin1(in.passcode.toUtf8().toHex()),
              QString::fromLatin1(in.nonce.toHex()), QString::fromLatin1(in.autoSalt.toHex()),
              QString::fromLatin1(in.fixedSalt.toHex()), in.localFingerprint, in.remoteFingerprint,
              QString::number(in.iters)});
    if (!py.waitForFinished(30000) || py.exitCode() != 0)
        return {};
    const QStringList lines = QString::fromLatin1(py.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    if (lines.size() != 2)
        return {};
    return {lines[0], lines[1]};
}

const QString fpA =
    QStringLiteral("AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:"
                   "23:45:67:89");
} // namespace

class TestProof : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void fingerprintRule_data() {
        QTest::addColumn<QString>("sdp");
        QTest::addColumn<QString>("expected");
        const QString hex = QString(fpA).remove(':');
        QTest::newRow("media level, upper") << "v=0\r\nm=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\n"
                                               "a=fingerprint:sha-256 " +
                                                   fpA + "\r\n"
                                            << hex;
        QTest::newRow("lower case hex") << "a=fingerprint:sha-256 " + fpA.toLower() + "\r\n" << hex;
        QTest::newRow("first of two") << "a=fingerprint:sha-256 01:02\r\na=fingerprint:sha-256 " + fpA + "\r\n"
                                      << "0102";
        QTest::newRow("none") << "v=0\r\na=fingerprint:sha-1 01:02:03\r\n"
                              << "";
        QTest::newRow("upper-case algorithm does not match") << "a=fingerprint:SHA-256 " + fpA + "\r\n"
                                                             << "";
        QTest::newRow("stops at first non-hex") << "a=fingerprint:sha-256 0A:0B zz\r\n"
                                                << "0A0B";
    }
    void fingerprintRule() {
        QFETCH(QString, sdp);
        QFETCH(QString, expected);
        QCOMPARE(PasscodeProof::fingerprint(sdp), expected);
    }

    void base64IsStrict() {
        QCOMPARE(PasscodeProof::decodeBase64(QString()), QByteArray());
        QCOMPARE(PasscodeProof::decodeBase64(QStringLiteral("AAEC")), QByteArray::fromHex("000102"));
        QCOMPARE(PasscodeProof::decodeBase64(QStringLiteral("AAE=")), QByteArray::fromHex("0001"));
        QVERIFY(!PasscodeProof::decodeBase64(QStringLiteral("AAE")));      // padding missing
        QVERIFY(!PasscodeProof::decodeBase64(QStringLiteral("AA E")));     // white space
        QVERIFY(!PasscodeProof::decodeBase64(QStringLiteral("AA*=")));     // outside the alphabet
        QVERIFY(!PasscodeProof::decodeBase64(QStringLiteral("AAE=AAEC"))); // padding inside
        QVERIFY(!PasscodeProof::decodeBase64(QStringLiteral("AAé=")));
    }

    void iterationCount() {
        QCOMPARE(PasscodeProof::iterations(QJsonValue(QJsonValue::Undefined)), 100000u);
        QCOMPARE(PasscodeProof::iterations(QJsonValue("5000")), 100000u);
        QCOMPARE(PasscodeProof::iterations(QJsonValue(1.5)), 100000u);
        QCOMPARE(PasscodeProof::iterations(QJsonValue(1)), 1u);
        QCOMPARE(PasscodeProof::iterations(QJsonValue(250000)), 250000u);
        QCOMPARE(PasscodeProof::iterations(QJsonValue(double(PasscodeProof::maxIters))), PasscodeProof::maxIters);
        // Refused rather than computed: zero, negative, at or above 2^32, absurd.
        QVERIFY(!PasscodeProof::iterations(QJsonValue(0)));
        QVERIFY(!PasscodeProof::iterations(QJsonValue(-3)));
        QVERIFY(!PasscodeProof::iterations(QJsonValue(4294967296.0)));
        QVERIFY(!PasscodeProof::iterations(QJsonValue(1e300)));
        QVERIFY(!PasscodeProof::iterations(QJsonValue(double(PasscodeProof::maxIters) + 1)));
    }

    void proofMatchesIndependentComputation_data() {
        QTest::addColumn<QString>("passcode");
        QTest::addColumn<QByteArray>("nonce");
        QTest::addColumn<QString>("remote");
        QTest::addColumn<quint32>("iters");
        QTest::newRow("digits, default count") << "482913" << QByteArray::fromHex("00112233445566778899aabbccddeeff")
                                               << QString(fpA).remove(':') << 100000u;
        QTest::newRow("empty nonce, no remote fingerprint") << "482913" << QByteArray() << QString() << 1000u;
        QTest::newRow("non-ASCII passcode") << "パス123" << QByteArray("\x01\x02\x03", 3) << "ABCDEF" << 1u;
    }
    void proofMatchesIndependentComputation() {
        QFETCH(QString, passcode);
        QFETCH(QByteArray, nonce);
        QFETCH(QString, remote);
        QFETCH(quint32, iters);
        PasscodeProof::Input in;
        in.passcode = passcode;
        in.nonce = nonce;
        in.autoSalt = QByteArray::fromHex("a1a2a3a4a5a6a7a8a9aaabacadaeafb0");
        in.fixedSalt = QByteArray::fromHex("0f0e0d0c0b0a09080706050403020100");
        in.localFingerprint = QStringLiteral("0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF");
        in.remoteFingerprint = remote;
        in.iters = iters;
        const auto mine = PasscodeProof::compute(in);
        QVERIFY(mine);
        const auto reference = pythonProof(in);
        QVERIFY2(!reference.first.isEmpty(), "python3 with hashlib did not compute the reference proof");
        QCOMPARE(mine->a, reference.first);
        QCOMPARE(mine->f, reference.second);
        QCOMPARE(mine->a.size(), 44);
        QCOMPARE(mine->f.size(), 44);
        QVERIFY(mine->a != mine->f); // the two salts give two keys
    }

    void hostAcceptsOnlyTheProofOfThisConnection() {
        PasscodeProof::Input in;
        in.passcode = QStringLiteral("482913");
        in.nonce = PasscodeProof::randomBytes(PasscodeProof::nonceBytes);
        in.autoSalt = PasscodeProof::randomBytes(PasscodeProof::saltBytes);
        in.fixedSalt = PasscodeProof::randomBytes(PasscodeProof::saltBytes);
        in.localFingerprint = QStringLiteral("0A0B");
        in.remoteFingerprint = QStringLiteral("0C0D");
        in.iters = 1000;
        QCOMPARE(in.nonce.size(), PasscodeProof::nonceBytes);
        QVERIFY(in.autoSalt != in.fixedSalt);
        const auto proof = PasscodeProof::compute(in);
        QVERIFY(proof);
        const QByteArray key = PasscodeProof::pbkdf2(in.passcode.toUtf8(), in.autoSalt, in.iters);
        const QByteArray message = PasscodeProof::message(in.nonce, in.localFingerprint, in.remoteFingerprint);
        QVERIFY(PasscodeProof::matches(key, message, proof->a));
        QVERIFY(!PasscodeProof::matches(key, message, proof->f)); // the other salt's MAC
        // Another connection (fingerprints swapped), another passcode, a mangled proof.
        QVERIFY(!PasscodeProof::matches(
            key, PasscodeProof::message(in.nonce, in.remoteFingerprint, in.localFingerprint), proof->a));
        QVERIFY(!PasscodeProof::matches(PasscodeProof::pbkdf2("482914", in.autoSalt, in.iters), message, proof->a));
        QByteArray raw = QByteArray::fromBase64(proof->a.toLatin1());
        raw[31] = char(raw[31] ^ 1);
        QVERIFY(!PasscodeProof::matches(key, message, QString::fromLatin1(raw.toBase64())));
        QVERIFY(!PasscodeProof::matches(key, message, QString::fromLatin1(raw.left(31).toBase64())));
        QVERIFY(!PasscodeProof::matches(key, message, QStringLiteral("not base64!")));
        QVERIFY(!PasscodeProof::matches(QByteArray(), message, proof->a));
    }

    void asyncRunsOffTheMainThreadAndRespectsContext() {
        PasscodeProof::Input in;
        in.passcode = QStringLiteral("1");
        in.iters = 1000;
        std::optional<PasscodeProof::Result> got;
        QThread *doneThread = nullptr;
        QObject context;
        PasscodeProof::computeAsync(in, &context, [&](std::optional<PasscodeProof::Result> r) {
            got = r;
            doneThread = QThread::currentThread();
        });
        QTRY_VERIFY(got.has_value());
        QCOMPARE(doneThread, QThread::currentThread());
        QCOMPARE(got->a, PasscodeProof::compute(in)->a);

        bool called = false;
        auto dying = std::make_unique<QObject>();
        PasscodeProof::computeAsync(in, dying.get(), [&](auto) { called = true; });
        dying.reset();
        QTest::qWait(200);
        QVERIFY(!called);
    }

    void failureTexts() {
        QCOMPARE(RemoteSession::authFailText(0), QStringLiteral("パスコードが違います(残り 0 回)"));
        QCOMPARE(RemoteSession::authFailText(4), QStringLiteral("パスコードが違います(残り 4 回)"));
        const QString locked =
            QStringLiteral("パスコードを続けて間違えたため、この端末は接続を受け付けません(あと %1 分)");
        QCOMPARE(RemoteSession::lockedText(61), locked.arg(2));
        QCOMPARE(RemoteSession::lockedText(60), locked.arg(1));
        QCOMPARE(RemoteSession::lockedText(1), locked.arg(1));
        QCOMPARE(RemoteSession::lockedText(0), locked.arg(0));
        QCOMPARE(RemoteSession::lockedText(-61), locked.arg(0)); // integer division truncates
        QCOMPARE(RemoteSession::lockedText(-120), locked.arg(-1));
        // Near the 64-bit limit: rounded up without overflowing into a negative count.
        const qint64 max = std::numeric_limits<qint64>::max();
        QCOMPARE(RemoteSession::lockedText(max), locked.arg(max / 60 + 1));
    }

    void audioLevels() {
        QCOMPARE(RemoteSession::audioLevel(false, 0.35), 0.35);
        QCOMPARE(RemoteSession::audioLevel(false, 1.0), 1.0);
        QCOMPARE(RemoteSession::audioLevel(false, 1.5), 1.0);
        QCOMPARE(RemoteSession::audioLevel(false, -1), 0.0);
        QCOMPARE(RemoteSession::audioLevel(true, 0.8), 0.0);
        QCOMPARE(RemoteSession::audioLevel(false, std::numeric_limits<double>::quiet_NaN()), 0.0);
    }
};

QTEST_GUILESS_MAIN(TestProof)
#include "tst_proof.moc"

// The host's prepared proof keys and its challenge against proofs made the way a viewer makes them.
#include "device/DeviceLockout.h"
#include "device/PasscodeChallenge.h"
#include "device/ProofKeyStock.h"
#include "device/ProofKeys.h"
#include "protocol/PasscodeProof.h"
#include "protocol/ctrl/AuthMessage.h"
#include "protocol/ctrl/ChallengeMessage.h"

#include <QElapsedTimer>
#include <QTest>

#include <optional>

namespace {
constexpr quint32 kIters = 2000;

// A viewer's proof for `passcode` over `message` with the host's salts.
PasscodeProof::Result viewerProof(const ProofKeys &keys, const QByteArray &passcode, const QByteArray &message) {
    return {
        QString::fromLatin1(
            PasscodeProof::hmacSha256(PasscodeProof::pbkdf2(passcode, keys.autoSalt(), kIters), message).toBase64()),
        QString::fromLatin1(
            PasscodeProof::hmacSha256(PasscodeProof::pbkdf2(passcode, keys.fixedSalt(), kIters), message).toBase64())};
}

qint64 nowMs() {
    QElapsedTimer clock;
    clock.start();
    return clock.msecsSinceReference();
}

std::optional<bool> run(ProofKeys &keys, const ProofKeys::Codes &now, const QByteArray &message,
                        const PasscodeProof::Result &proof) {
    std::optional<bool> out;
    keys.check(now, message, proof.a, proof.f, [&out](ProofKeys::Opened o) { out = o != ProofKeys::Opened::None; });
    // Empty when no answer came in time (the caller's comparison then fails).
    (void)QTest::qWaitFor([&out] { return out.has_value(); }, 10000);
    return out;
}
} // namespace

class TestProofKeys : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Each passcode opens through its own salt only; an empty code opens nothing.
    void acceptsTheRightPasscodeOnly() {
        ProofKeys keys({"123456", "fixed-pass"}, kIters);
        QVERIFY(keys.autoSalt() != keys.fixedSalt());
        const QByteArray msg = "nonce|viewer|host";
        QCOMPARE(run(keys, {"123456", "fixed-pass"}, msg, viewerProof(keys, "123456", msg)), true);
        QCOMPARE(run(keys, {"123456", "fixed-pass"}, msg, viewerProof(keys, "fixed-pass", msg)), true);
        QCOMPARE(run(keys, {"123456", "fixed-pass"}, msg, viewerProof(keys, "654321", msg)), false);
        // Bound to the message: a proof for another connection does not pass.
        QCOMPARE(run(keys, {"123456", "fixed-pass"}, msg, viewerProof(keys, "123456", "other")), false);
        // The auto MAC presented as the fixed one (and the other way round) does not pass.
        const PasscodeProof::Result right = viewerProof(keys, "123456", msg);
        QCOMPARE(run(keys, {"123456", "fixed-pass"}, msg, {right.f, right.a}), false);

        ProofKeys none({}, kIters);
        QCOMPARE(run(none, {}, msg, viewerProof(none, "", msg)), false);
    }

    // A proof that arrives before the keys are ready is answered once they are; codes
    // that changed after the keys were started are what counts.
    void waitsForKeysAndFollowsChangedCodes() {
        const QByteArray msg = "m";
        {
            ProofKeys keys({"111111", {}}, kIters);
            std::optional<bool> out;
            keys.check({"111111", {}}, msg, viewerProof(keys, "111111", msg).a, {},
                       [&out](ProofKeys::Opened o) { out = o != ProofKeys::Opened::None; });
            QVERIFY(!out.has_value()); // the derivation runs on a worker; never answered inline
            QTRY_COMPARE_WITH_TIMEOUT(out, std::optional<bool>(true), 10000);
        }
        {
            // The passcode was renewed between the challenge and the proof.
            ProofKeys keys({"111111", {}}, kIters);
            QCOMPARE(run(keys, {"222222", {}}, msg, viewerProof(keys, "111111", msg)), false);
            QCOMPARE(run(keys, {"222222", {}}, msg, viewerProof(keys, "222222", msg)), true);
        }
    }

    // The answer still comes when the keys' owner (the session) is gone by then.
    void answersAfterOwnerIsGone() {
        std::optional<bool> out;
        {
            ProofKeys keys({"333333", {}}, 200000);
            const QByteArray msg = "m";
            const QString a = QString::fromLatin1(
                PasscodeProof::hmacSha256(PasscodeProof::pbkdf2("333333", keys.autoSalt(), 200000), msg).toBase64());
            keys.check({"333333", {}}, msg, a, {}, [&out](ProofKeys::Opened o) { out = o != ProofKeys::Opened::None; });
        }
        QTRY_COMPARE_WITH_TIMEOUT(out, std::optional<bool>(true), 20000);
    }

    // Keys made ahead serve one challenge only, and only for the codes they were made for.
    void stockServesEachSetOnceForItsCodes() {
        ProofKeys::Codes current{"444444", "fixed-pass"};
        ProofKeyStock stock([&current] { return current; }, kIters);
        QVERIFY(!stock.stocked());
        stock.start();
        QTRY_VERIFY_WITH_TIMEOUT(stock.stocked(), ProofKeyStock::quietMs + 5000);
        const QByteArray msg = "n";
        std::unique_ptr<ProofKeys> first = stock.take(current);
        QVERIFY(!stock.stocked());
        QCOMPARE(run(*first, current, msg, viewerProof(*first, "444444", msg)), true);
        QCOMPARE(run(*first, current, msg, viewerProof(*first, "000000", msg)), false);
        // Taken again before the next set is made: fresh salts, never the first set's.
        std::unique_ptr<ProofKeys> second = stock.take(current);
        QVERIFY(second->autoSalt() != first->autoSalt());
        QVERIFY(second->fixedSalt() != first->fixedSalt());
        QCOMPARE(run(*second, current, msg, viewerProof(*second, "fixed-pass", msg)), true);

        // Renewed passcode: the stocked set is dropped, the next one is for the new code.
        QTRY_VERIFY_WITH_TIMEOUT(stock.stocked(), ProofKeyStock::quietMs + 5000);
        current.autoCode = "555555";
        stock.codesMayHaveChanged();
        QVERIFY(!stock.stocked());
        QTRY_VERIFY_WITH_TIMEOUT(stock.stocked(), ProofKeyStock::quietMs + 5000);
        std::unique_ptr<ProofKeys> third = stock.take(current);
        QCOMPARE(run(*third, current, msg, viewerProof(*third, "555555", msg)), true);
        QCOMPARE(run(*third, current, msg, viewerProof(*third, "444444", msg)), false);
        // A challenge under codes the set was not made for gets keys of its own.
        QTRY_VERIFY_WITH_TIMEOUT(stock.stocked(), ProofKeyStock::quietMs + 5000);
        std::unique_ptr<ProofKeys> other = stock.take({"666666", {}});
        QCOMPARE(run(*other, {"666666", {}}, msg, viewerProof(*other, "666666", msg)), true);

        // Nothing accepted: nothing is made ahead.
        current = {};
        stock.codesMayHaveChanged();
        QTest::qWait(ProofKeyStock::quietMs + 300);
        QVERIFY(!stock.stocked());
    }

    // A challenge's proof from the viewer's own computation opens the passcode it was made
    // for, on this connection only; wrong proofs count towards the lockout, which then
    // refuses at once without checking.
    void challengeChecksProofsAgainstTheLockout() {
        const QString offer = QStringLiteral("v=0\r\na=fingerprint:sha-256 AA:BB:CC\r\n");
        const QString answer = QStringLiteral("v=0\r\na=fingerprint:sha-256 DD:EE:FF\r\n");
        auto lockout = std::make_shared<DeviceLockout>();
        PasscodeChallenge::Options options;
        options.passcodes = [] { return DevicePasscodes{"123456", "fixed-pass", QStringLiteral("both")}; };
        options.lockout = lockout;
        options.iterations = kIters;
        const auto proofFor = [&](PasscodeChallenge &challenge, const QString &passcode, const QString &viewerSdp) {
            const ChallengeMessage sent = challenge.issue(answer);
            const std::optional<ChallengeMessage> got = ChallengeMessage::fromJson(sent.toJson());
            const std::optional<PasscodeProof::Result> proof = PasscodeProof::compute(
                {passcode, got->nonce, got->autoSalt, got->fixedSalt, PasscodeProof::fingerprint(viewerSdp),
                 got->hostFp.value_or(QString()), *got->iters});
            return AuthMessage{proof->a, proof->f};
        };
        const auto verdictOf = [&](PasscodeChallenge &challenge, const AuthMessage &auth) {
            std::optional<PasscodeChallenge::Verdict> verdict;
            const std::optional<DeviceLockout::Outcome> atOnce = challenge.check(
                auth, offer, answer, nowMs(), [&verdict](const PasscodeChallenge::Verdict &v) { verdict = v; });
            if (atOnce)
                return PasscodeChallenge::Verdict{*atOnce, false};
            (void)QTest::qWaitFor([&verdict] { return verdict.has_value(); }, 10000);
            return verdict.value_or(PasscodeChallenge::Verdict{});
        };

        PasscodeChallenge fixed(options);
        const PasscodeChallenge::Verdict byFixed = verdictOf(fixed, proofFor(fixed, "fixed-pass", offer));
        QVERIFY(byFixed.outcome.accepted);
        QVERIFY(!byFixed.openedByAuto);
        PasscodeChallenge automatic(options);
        const PasscodeChallenge::Verdict byAuto = verdictOf(automatic, proofFor(automatic, "123456", offer));
        QVERIFY(byAuto.outcome.accepted);
        QVERIFY(byAuto.openedByAuto);

        // The right passcode made for another viewer's certificate, then wrong passcodes.
        for (int i = 0; i < DeviceLockout::maxFailures; ++i) {
            PasscodeChallenge challenge(options);
            const AuthMessage auth =
                i == 0 ? proofFor(challenge, "123456", answer) : proofFor(challenge, "654321", offer);
            const PasscodeChallenge::Verdict v = verdictOf(challenge, auth);
            QVERIFY(!v.outcome.accepted);
            QCOMPARE(v.outcome.remaining, DeviceLockout::maxFailures - 1 - i);
            QCOMPARE(v.outcome.locked, i == DeviceLockout::maxFailures - 1);
        }
        PasscodeChallenge late(options);
        QVERIFY(late.lockedFor(nowMs()) > 0);
        const AuthMessage right = proofFor(late, "123456", offer);
        bool checked = false;
        const std::optional<DeviceLockout::Outcome> refused = late.check(
            right, offer, answer, nowMs(), [&checked](const PasscodeChallenge::Verdict &) { checked = true; });
        QVERIFY(refused && refused->locked);
        QTest::qWait(200);
        QVERIFY(!checked);
    }
};

QTEST_GUILESS_MAIN(TestProofKeys)
#include "tst_proofkeys.moc"

// The agent's link estimators as units: the congestion controller of the H.264 track
// fed with the feedback a simulated bottleneck would give (steady, a queue that grows,
// loss bursts, recovery, a link that changes), the JPEG pacer's acknowledgements
// and steps, and the H.264 picture's scale steps on a link too slow for its size.
#include "network/CongestionController.h"
#include "network/JpegPacer.h"
#include "network/ScaleStepper.h"

#include <QTest>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {
using CC = CongestionController;

// A token-bucket bottleneck like `tc … tbf rate R latency L`: packets leave one after
// another at the link rate, wait in a queue of at most `queueMs`, and are dropped when the
// queue is longer; feedback comes every 50 ms for what arrived (or was lost) by then.
// The sender sends `fps` frames a second (30 unless told) of exactly the controller's target.
struct Link {
    double kbps;
    double queueMs = 300;
    double extraLoss = 0; // random loss on top, 0–1
    int64_t delayUs = 20000;
};

struct Run {
    std::vector<int> targets; // one per second
    int lastTarget = 0;
    double maxQueueMs = 0;
};

Run simulate(CC &cc, const std::vector<Link> &phases, int secondsPerPhase, uint32_t seed = 1, int fps = 30) {
    Run run;
    std::vector<CC::Packet> pending;
    double linkFreeUs = 0;
    int64_t nextFrameUs = 0;
    int64_t t = 0;
    const int64_t endUs = int64_t(phases.size()) * secondsPerPhase * 1000000;
    for (; t < endUs; t += 1000) {
        const Link &link = phases[size_t(t / (int64_t(secondsPerPhase) * 1000000))];
        if (t >= nextFrameUs) {
            nextFrameUs += 1000000 / fps;
            const int bytes = cc.targetKbps() * 1000 / 8 / fps;
            for (int b = 0; b < bytes; b += 1200) {
                CC::Packet p;
                p.sendUs = t;
                p.size = std::min(1200, bytes - b);
                const double start = std::max(linkFreeUs, double(t));
                seed = seed * 1103515245u + 12345u;
                const bool randomLoss = double((seed >> 8) % 10000) / 10000.0 < link.extraLoss;
                if (start - double(t) > link.queueMs * 1000.0 || randomLoss) {
                    p.recvUs = -1;
                } else {
                    linkFreeUs = start + p.size * 8.0 / link.kbps * 1000.0;
                    p.recvUs = int64_t(linkFreeUs) + link.delayUs;
                    run.maxQueueMs = std::max(run.maxQueueMs, (start - double(t)) / 1000.0);
                }
                pending.push_back(p);
            }
        }
        if (t % 50000 == 0) {
            std::vector<CC::Packet> report;
            std::vector<CC::Packet> rest;
            for (const CC::Packet &p : pending)
                ((p.recvUs < 0 ? p.sendUs + link.delayUs : p.recvUs) + link.delayUs <= t ? report : rest).push_back(p);
            pending.swap(rest);
            cc.onFeedback(report, t);
        }
        if (t % 200000 == 0)
            cc.update(t);
        if (t % 1000000 == 0)
            run.targets.push_back(cc.targetKbps());
    }
    run.lastTarget = cc.targetKbps();
    return run;
}

// Feeds a ScaleStepper the rate `kbps(t)` every 200 ms over [fromUs, toUs), as LinkRate
// does, and notes every change of step: (time, new step).
struct StepChange {
    int64_t atUs;
    int step;
};
template <typename F>
void feedSteps(ScaleStepper &s, int pixels, int64_t fromUs, int64_t toUs, F kbps, std::vector<StepChange> &changes) {
    for (int64_t t = fromUs; t < toUs; t += 200000) {
        const int before = s.step();
        if (s.update(kbps(t), pixels, t) != before)
            changes.push_back({t, s.step()});
    }
}

constexpr int kFullHd = 1920 * 1080;

// The median of the targets of seconds [from, to).
int median(const Run &run, int from, int to) {
    std::vector<int> v(run.targets.begin() + from, run.targets.begin() + to);
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}
} // namespace

class TestCongestion : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void fastLinkReachesTheCeiling() {
        CC cc(150, 2500, 1500);
        const Run run = simulate(cc, {Link{20000}}, 10);
        QCOMPARE(run.lastTarget, 2500);
        QCOMPARE(cc.limit(), CC::Limit::None);
        QCOMPARE(cc.loss(), 0.0);
        // It got there within a few seconds and stayed.
        QCOMPARE(median(run, 4, 10), 2500);
    }

    void growingDelayBringsTheRateUnderTheLink() {
        // 2500 asked, 1000 available: the queue grows, the rate falls below the link and
        // stays around it; the queue never fills (no loss needed to notice).
        CC cc(150, 2500, 1500);
        const Run run = simulate(cc, {Link{1000}}, 20);
        const int settled = median(run, 8, 20);
        QVERIFY2(settled < 1000 && settled > 500, qPrintable(QString::number(settled)));
        QCOMPARE(cc.limit(), CC::Limit::Delay);
        QVERIFY2(run.maxQueueMs < 300, qPrintable(QString::number(run.maxQueueMs)));
        QVERIFY(cc.ackedKbps() > 400 && cc.ackedKbps() <= 1050);
    }

    void lossBurstCutsAndRecovers() {
        // A link with room but 30 % random loss (no queue): the loss bound holds the rate
        // down; once the loss stops the rate climbs back to the ceiling.
        CC cc(150, 4000, 4000);
        const Run lossy = simulate(cc, {Link{50000, 300, 0.3}}, 5);
        QVERIFY2(lossy.lastTarget < 1500, qPrintable(QString::number(lossy.lastTarget)));
        QVERIFY(cc.loss() > 0.2);
        QCOMPARE(cc.limit(), CC::Limit::Loss);
        const Run clean = simulate(cc, {Link{50000}}, 15);
        QCOMPARE(clean.lastTarget, 4000);
        QCOMPARE(cc.loss(), 0.0);
    }

    void lightLossIsTolerated() {
        CC cc(150, 3000, 3000);
        const Run run = simulate(cc, {Link{50000, 300, 0.01}}, 10);
        QCOMPARE(run.lastTarget, 3000);
    }

    void followsALinkThatChanges() {
        // 2 → 10 → 1 Mbit/s, ceiling 8000: under 2 in the first phase, well above 2 within
        // 5 s of the second, under 1 in the third.
        CC cc(150, 8000, 1500);
        const Run run = simulate(cc, {Link{2000}, Link{10000}, Link{1000}}, 12);
        QVERIFY(median(run, 6, 12) < 2000);
        QVERIFY2(run.targets[12 + 5] > 4000, qPrintable(QString::number(run.targets[12 + 5])));
        QVERIFY(median(run, 20, 24) > 6000);
        QVERIFY(median(run, 30, 36) < 1000);
    }

    // 60 frames a second (half the bytes per frame, twice the groups): a fast link gives
    // the whole ceiling within seconds, a slow one still holds the rate under it.
    void sixtyFramesASecond() {
        CC fast(150, 8000, 1500);
        const Run run = simulate(fast, {Link{50000}}, 12, 1, 60);
        QVERIFY2(run.targets[6] >= 6000, qPrintable(QString::number(run.targets[6])));
        QCOMPARE(run.lastTarget, 8000);
        QCOMPARE(fast.limit(), CC::Limit::None);
        CC slow(150, 8000, 1500);
        const Run held = simulate(slow, {Link{2000}}, 16, 1, 60);
        const int settled = median(held, 8, 16);
        QVERIFY2(settled < 2000 && settled > 800, qPrintable(QString::number(settled)));
        QCOMPARE(slow.limit(), CC::Limit::Delay);
        QVERIFY2(held.maxQueueMs < 300, qPrintable(QString::number(held.maxQueueMs)));
    }

    // A sender with little to send (a small moving area) on a fast link: the target stays
    // near what it sends, and nothing is said to hold it back.
    void littleToSendIsNotALinkLimit() {
        CC cc(150, 8000, 1500);
        for (int64_t t = 0; t < 15000000; t += 16667) {
            // 60 frames a second of 400 bytes each: about 200 kbit/s.
            std::vector<CC::Packet> report{{t, t + 2000, 400}};
            cc.onFeedback(report, t + 2000);
            if (t / 200000 != (t + 16667) / 200000)
                cc.update(t + 16667);
        }
        QVERIFY(cc.ackedKbps() > 100 && cc.ackedKbps() < 400);
        QVERIFY2(cc.targetKbps() < 8000 && cc.targetKbps() <= 1500, qPrintable(QString::number(cc.targetKbps())));
        QCOMPARE(cc.limit(), CC::Limit::None);
    }

    void boundsClampAtOnceButAHigherCeilingIsEarned() {
        CC cc(150, 2500, 2500);
        cc.setBounds(150, 1000);
        QCOMPARE(cc.targetKbps(), 1000);
        cc.setBounds(150, 8000);
        QCOMPARE(cc.targetKbps(), 1000); // no jump: the path has to show it carries more
        cc.setBounds(1200, 8000);
        QCOMPARE(cc.targetKbps(), 1200);
        // A floor above the ceiling: the ceiling follows the floor.
        cc.setBounds(500, 100);
        QCOMPARE(cc.ceilingKbps(), 500);
        QCOMPARE(cc.targetKbps(), 500);
    }

    void withoutFeedbackNothingMoves() {
        CC cc(150, 2500, 1000);
        for (int64_t t = 0; t < 5000000; t += 200000)
            cc.update(t);
        QCOMPARE(cc.targetKbps(), 1000);
        cc.onFeedback({}, 0);
        cc.update(5200000);
        QCOMPARE(cc.targetKbps(), 1000);
    }

    void strangeFeedbackStaysInBounds() {
        // Reordered, repeated, all lost, clock jumps, zero sizes: no crash, the target
        // stays between floor and ceiling.
        CC cc(150, 2500, 1500);
        std::vector<CC::Packet> odd;
        for (int i = 0; i < 200; ++i) {
            CC::Packet p;
            p.sendUs = (i % 7) * 1000000 - (i * 37 % 5000);
            p.recvUs = i % 3 == 0 ? -1 : (i % 5 == 0 ? INT64_C(1) << 50 : p.sendUs + (i * 7919 % 400000));
            p.size = i % 4 == 0 ? 0 : 1200;
            odd.push_back(p);
        }
        for (int64_t t = 0; t < 3000000; t += 50000) {
            cc.onFeedback(odd, t);
            std::reverse(odd.begin(), odd.end());
            if (t % 200000 == 0) {
                cc.update(t);
                QVERIFY(cc.targetKbps() >= 150 && cc.targetKbps() <= 2500);
            }
        }
        std::vector<CC::Packet> allLost(100);
        for (CC::Packet &p : allLost)
            p.recvUs = -1;
        for (int64_t t = 3000000; t < 6000000; t += 200000) {
            cc.onFeedback(allLost, t);
            cc.update(t);
        }
        QCOMPARE(cc.targetKbps(), 150);
        QCOMPARE(cc.limit(), CC::Limit::Loss);
    }

    void pacerHoldsAtMostTwoFramesInFlight() {
        JpegPacer pacer(10);
        QVERIFY(pacer.canSend(0));
        pacer.sent(1, 50000, 0);
        QVERIFY(pacer.canSend(1000));
        pacer.sent(2, 50000, 1000);
        QVERIFY(!pacer.canSend(2000));
        pacer.acked(1, 40000);
        QVERIFY(pacer.acking());
        QVERIFY(pacer.canSend(40000));
        pacer.sent(3, 50000, 40000);
        QVERIFY(!pacer.canSend(41000));
        // An acknowledgement covers every frame before it.
        pacer.acked(3, 100000);
        QVERIFY(pacer.canSend(100000));
        // A frame the channel refused is forgotten.
        pacer.sent(4, 50000, 100000);
        pacer.sent(5, 50000, 100000);
        pacer.forget(4);
        QVERIFY(pacer.canSend(100000));
        // A stale or repeated acknowledgement changes nothing.
        pacer.acked(3, 120000);
        pacer.sent(6, 50000, 120000);
        QVERIFY(!pacer.canSend(120000));
        // An acknowledging viewer is held back however long it takes.
        QVERIFY(!pacer.canSend(120000 + 10 * JpegPacer::noAckLimitUs));
    }

    void pacerLetsAViewerWithoutAcknowledgementsThrough() {
        // An older viewer never acknowledges: held for a while, then not held at all.
        JpegPacer pacer(10);
        pacer.sent(1, 50000, 0);
        pacer.sent(2, 50000, 1000);
        QVERIFY(!pacer.canSend(JpegPacer::noAckLimitUs / 2));
        QVERIFY(pacer.canSend(JpegPacer::noAckLimitUs + 2000));
        for (uint32_t seq = 3; seq < 100; ++seq) {
            pacer.sent(seq, 50000, JpegPacer::noAckLimitUs + seq * 1000);
            QVERIFY(pacer.canSend(JpegPacer::noAckLimitUs + seq * 1000));
        }
        QVERIFY(!pacer.acking());
        QCOMPARE(pacer.update(JpegPacer::noAckLimitUs + 200000), 0); // no measure, no step
    }

    void pacerStepsDownOnASlowLinkAndBackUp() {
        // 100 kB frames through 250 kB/s: 2.5 fps against a goal of 10 → smaller steps
        // until the frames fit; then a fast link brings it back to step 0.
        JpegPacer pacer(10);
        int64_t now = 0;
        uint32_t seq = 0;
        auto runFor = [&](double bytesPerSecond, int64_t untilUs) {
            while (now < untilUs) {
                // The frame size follows the step: quality and area shrink it.
                const JpegPacer::Step v = pacer.stepValues(80);
                const int bytes = int(100000 * v.scale * v.scale * (v.q / 80.0));
                pacer.sent(++seq, bytes, now);
                now += int64_t(bytes / bytesPerSecond * 1e6) + 2000;
                pacer.acked(seq, now);
                if (now / 500000 != (now - 1) / 500000)
                    pacer.update(now);
                pacer.update(now);
            }
        };
        runFor(250000, 10000000);
        QVERIFY2(pacer.step() >= 2, qPrintable(QString::number(pacer.step())));
        const JpegPacer::Step slow = pacer.stepValues(80);
        QVERIFY(slow.scale < 1.0 || slow.q < 80);
        QVERIFY(pacer.rate() > 200000 && pacer.rate() < 260000);
        runFor(20000000, 40000000);
        QCOMPARE(pacer.step(), 0);
        QCOMPARE(pacer.stepValues(80).q, 80);
        QCOMPARE(pacer.stepValues(80).scale, 1.0);
    }

    void pacerTriesLargerStepsAgainOnAStillScreen() {
        // A slowdown takes the picture down some steps; then the screen stands still and
        // nothing is sent, so nothing is measured. The pacer tries one larger step at a
        // time (the picture is sent again at it); a try the path cannot carry takes it
        // down again, and the next try waits twice as long.
        JpegPacer pacer(10);
        int64_t now = 0;
        uint32_t seq = 0;
        auto send = [&](double bytesPerSecond) {
            const JpegPacer::Step v = pacer.stepValues(80);
            const int bytes = int(100000 * v.scale * v.scale * (v.q / 80.0));
            pacer.sent(++seq, bytes, now);
            now += int64_t(bytes / bytesPerSecond * 1e6) + 2000;
            pacer.acked(seq, now);
        };
        auto busy = [&](double bytesPerSecond, int64_t untilUs) {
            while (now < untilUs) {
                send(bytesPerSecond);
                pacer.update(now);
            }
        };
        // Still: nothing sent, the pacer asked every 500 ms; a step change sends the picture
        // again at the new step (as the agent does), through a path of `bytesPerSecond`.
        auto still = [&](double bytesPerSecond, int64_t forUs, std::vector<int64_t> *ups) {
            const int64_t until = now + forUs;
            while (now < until) {
                now += 500000;
                const int before = pacer.step();
                if (pacer.update(now) != before) {
                    if (ups && pacer.step() < before)
                        ups->push_back(now);
                    send(bytesPerSecond);
                }
            }
        };
        busy(250000, 10000000);
        const int low = pacer.step();
        QVERIFY2(low >= 2, qPrintable(QString::number(low)));
        // Nothing moves and the path is fast again: back to the viewer's own step, one
        // step every few seconds.
        std::vector<int64_t> ups;
        still(20000000, 60000000, &ups);
        QCOMPARE(pacer.step(), 0);
        QCOMPARE(int(ups.size()), low);
        for (size_t i = 1; i < ups.size(); ++i)
            QVERIFY(ups[i] - ups[i - 1] >= 3000000);

        // Slow again, then still on the slow path: every try comes back down, and the
        // tries come less and less often (no picture flapping every few seconds).
        busy(250000, now + 10000000);
        const int slow = pacer.step();
        QVERIFY(slow >= 2);
        ups.clear();
        // A still screen sends one picture per try; a busy second follows each, which is
        // what measures the try (a larger picture takes longer on the slow path).
        for (int i = 0; i < 120 && now < 400000000; ++i) {
            const int before = pacer.step();
            still(250000, 500000, nullptr);
            if (pacer.step() < before) {
                ups.push_back(now);
                busy(250000, now + 2000000);
            }
        }
        QVERIFY(pacer.step() >= slow - 1);
        QVERIFY2(ups.size() >= 3, qPrintable(QString::number(ups.size())));
        for (size_t i = 2; i < ups.size(); ++i)
            QVERIFY2(ups[i] - ups[i - 1] > ups[i - 1] - ups[i - 2],
                     qPrintable(QStringLiteral("%1 %2").arg(ups[i] - ups[i - 1]).arg(ups[i - 1] - ups[i - 2])));
    }

    void scaleStepsDownInOrderAndBackUpOneAtATime() {
        // 1080p needs ~156 kbit/s for 5 readable frames a second; 30 kbit/s for a long
        // while takes every step, in order, seconds apart, and no further than the last.
        QVERIFY(ScaleStepper::neededKbps(kFullHd) > 150 && ScaleStepper::neededKbps(kFullHd) < 160);
        ScaleStepper s;
        std::vector<StepChange> changes;
        feedSteps(
            s, kFullHd, 0, 30000000, [](int64_t) { return 30; }, changes);
        QCOMPARE(changes.size(), size_t(3));
        for (size_t i = 0; i < changes.size(); ++i) {
            QCOMPARE(changes[i].step, int(i) + 1);
            if (i > 0)
                QVERIFY(changes[i].atUs - changes[i - 1].atUs >= ScaleStepper::holdUs);
        }
        // Not at the first low sample: the rate is judged over a couple of seconds.
        QVERIFY(changes[0].atUs >= ScaleStepper::downWindowUs);
        QCOMPARE(s.factor(), 0.35);

        // The link comes back: one step at a time, each after the rate held for a while.
        changes.clear();
        feedSteps(
            s, kFullHd, 30000000, 60000000, [](int64_t) { return 2000; }, changes);
        QCOMPARE(changes.size(), size_t(3));
        int64_t prev = 30000000;
        for (size_t i = 0; i < changes.size(); ++i) {
            QCOMPARE(changes[i].step, 2 - int(i));
            QVERIFY(changes[i].atUs - prev >= ScaleStepper::upHoldUs);
            prev = changes[i].atUs;
        }
        QCOMPARE(s.factor(), 1.0);

        // A rate between the sizes settles on the largest that fits and stays there.
        changes.clear();
        const int mid = int(ScaleStepper::neededKbps(kFullHd * 0.5 * 0.5) * 1.5); // fits 0.5, not 0.75
        feedSteps(
            s, kFullHd, 60000000, 120000000, [mid](int64_t) { return mid; }, changes);
        QCOMPARE(changes.size(), size_t(2));
        QCOMPARE(s.step(), 2);
        QCOMPARE(changes.back().step, 2);
    }

    void scaleStepsDoNotFlap() {
        const double need = ScaleStepper::neededKbps(kFullHd);
        // A rate wandering ±30 % around the size's need (pseudo-random, every 200 ms) for a
        // minute: at most one change, never back and forth.
        {
            ScaleStepper s;
            std::vector<StepChange> changes;
            uint32_t seed = 7;
            feedSteps(
                s, kFullHd, 0, 60000000,
                [&](int64_t) {
                    seed = seed * 1103515245u + 12345u;
                    return int(need * (0.7 + 0.6 * double((seed >> 8) % 1000) / 1000.0));
                },
                changes);
            QVERIFY2(changes.size() <= 1, qPrintable(QString::number(changes.size())));
        }
        // Stepped down, then a rate that alternates around the larger size's need with the
        // margin: the saw-tooth of a controller at the link's rate, not a steady allowance.
        {
            ScaleStepper s;
            std::vector<StepChange> changes;
            feedSteps(
                s, kFullHd, 0, 3000000, [](int64_t) { return 100; }, changes);
            QCOMPARE(s.step(), 1);
            changes.clear();
            feedSteps(
                s, kFullHd, 3000000, 63000000,
                [&](int64_t t) { return int(need * ScaleStepper::upMargin * ((t / 200000) % 10 == 0 ? 0.9 : 1.3)); },
                changes);
            QCOMPARE(changes.size(), size_t(0));
        }
        // Short bursts of a fast rate between long stretches of a slow one: no step up.
        {
            ScaleStepper s;
            std::vector<StepChange> changes;
            feedSteps(
                s, kFullHd, 0, 60000000, [](int64_t t) { return (t / 1000000) % 6 == 0 ? 5000 : 100; }, changes);
            QCOMPARE(changes.size(), size_t(1));
            QCOMPARE(s.step(), 1);
        }
        // A target held above the link by the controller's floor while only a little gets
        // through: no way back up until the path carries the larger size.
        {
            ScaleStepper s;
            for (int64_t t = 0; t < 3000000; t += 200000)
                s.update(100, 100, kFullHd, t);
            QCOMPARE(s.step(), 1);
            int64_t t = 3000000;
            for (; t < 33000000; t += 200000)
                QCOMPARE(s.update(250, 90, kFullHd, t), 1);
            for (; t < 40000000 && s.step() == 1; t += 200000)
                s.update(250, 250, kFullHd, t);
            QCOMPARE(s.step(), 0);
            QVERIFY(t >= 33000000 + ScaleStepper::upHoldUs);
        }
    }

    void scaleStepsFollowTheViewersScale() {
        // The viewer asked for half the size: a quarter of the pixels, so a rate that would
        // step the full picture down leaves this one as asked.
        const int half = kFullHd / 4;
        ScaleStepper s;
        std::vector<StepChange> changes;
        feedSteps(
            s, half, 0, 20000000, [](int64_t) { return 100; }, changes);
        QCOMPARE(changes.size(), size_t(0));
        ScaleStepper full;
        feedSteps(
            full, kFullHd, 0, 20000000, [](int64_t) { return 100; }, changes);
        QVERIFY(full.step() > 0);
        // Nothing gets through at all: the smallest step of the viewer's size, no further.
        changes.clear();
        feedSteps(
            s, half, 20000000, 80000000, [](int64_t) { return 0; }, changes);
        QCOMPARE(changes.size(), size_t(ScaleStepper::steps - 1));
        QCOMPARE(s.factor(), 0.35);
        // An unknown picture size and a clock that went back change nothing and stay in bounds.
        ScaleStepper unknown;
        feedSteps(
            unknown, 0, 0, 20000000, [](int64_t) { return 0; }, changes);
        QCOMPARE(unknown.step(), 0);
        QCOMPARE(s.update(0, half, 1000), ScaleStepper::steps - 1);
        QVERIFY(s.update(100000, half, 2000000) < ScaleStepper::steps);
    }
};

QTEST_APPLESS_MAIN(TestCongestion)
#include "tst_congestion.moc"

#pragma once

#include <cstdint>
#include <deque>

// The size of the H.264 picture on a link too slow for it. The frame rate goes down first
// (CongestionController::frameRateFor, not below its minimum); when the target rate cannot
// give even that minimum rate a readable picture (the same bits per pixel), the picture is
// scaled down a step, relative to what the viewer asked: 1, 0.75, 0.5, 0.35. It goes back
// up one step at a time once the path has carried the next larger size with a margin for
// a few seconds on end (its lowest value then, not its mean: a burst of rate is not a
// faster link). Every change costs the viewer a key frame, so changes are at least
// `holdUs` apart and the bands for down and up do not touch: a rate wandering around one
// boundary does not make the picture flap. Pure arithmetic on the values handed in; the
// caller owns threads and clocks.
class ScaleStepper {
public:
    static constexpr double factors[] = {1.0, 0.75, 0.5, 0.35};
    static constexpr int steps = int(sizeof(factors) / sizeof(factors[0]));
    // Least time between two changes; how long the rate must allow the larger size.
    static constexpr int64_t holdUs = 3000000;
    static constexpr int64_t upHoldUs = 5000000;
    // The rate is judged by its mean over this long when stepping down (the controller's
    // saw-tooth around the link's rate is not a change of the link).
    static constexpr int64_t downWindowUs = 2000000;
    // Up only when the larger picture fits this many times over.
    static constexpr double upMargin = 1.1;

    // The rate (kbit/s) a picture of `pixels` needs for the minimum frame rate.
    static double neededKbps(double pixels);

    // Every ~200 ms: the target rate; the rate the path is known to carry (the target, or
    // while the path pushes back, no more than what got through: a target held at the
    // controller's floor is not a rate the path carries); and the picture's pixels at the
    // viewer's own scale (step 0). The target judges the steps down, the carried rate the
    // steps up. Returns the step.
    int update(int targetKbps, int carriedKbps, int pixels, int64_t nowUs);
    int update(int kbps, int pixels, int64_t nowUs) { return update(kbps, kbps, pixels, nowUs); }
    int step() const { return m_step; }
    // Times the viewer's scale.
    double factor() const { return factors[m_step]; }
    // Back to the viewer's size, forgetting the rates seen (a new picture or a pause).
    void reset();

private:
    double meanSince(int64_t fromUs) const;
    double lowestSince(int64_t fromUs) const;

    struct Sample {
        int64_t atUs;
        int target;
        int carried;
    };
    std::deque<Sample> m_rates;
    int m_step = 0;
    int64_t m_changedUs = INT64_MIN / 2;
    int64_t m_firstUs = -1;
};

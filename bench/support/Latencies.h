#pragma once

#include <QtGlobal>

#include <array>
#include <vector>

// "First seen" latencies per frame number (FrameCode): the first picture that shows a
// number counts, later ones of the same number do not.
struct Latencies {
    std::vector<double> ms;
    std::array<bool, 65536> seen{};

    // Frame `n`, painted at `paintedUs` (0: not known), seen at `atUs`.
    void take(quint16 n, qint64 atUs, qint64 paintedUs);
    void reset();
    // The p-quantile in ms (p in 0..1); -1 without samples.
    double percentile(double p) const;
};

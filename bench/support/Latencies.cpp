#include "support/Latencies.h"

#include <algorithm>

void Latencies::take(quint16 n, qint64 atUs, qint64 paintedUs) {
    if (seen[n] || paintedUs == 0)
        return;
    seen[n] = true;
    ms.push_back(double(atUs - paintedUs) / 1000.0);
}

void Latencies::reset() {
    ms.clear();
    seen.fill(false);
}

double Latencies::percentile(double p) const {
    if (ms.empty())
        return -1;
    std::vector<double> v = ms;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}

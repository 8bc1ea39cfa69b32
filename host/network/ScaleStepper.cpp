#include "network/ScaleStepper.h"

#include "network/CongestionController.h"

#include <algorithm>

double ScaleStepper::neededKbps(double pixels) {
    return pixels * CongestionController::minBitsPerPixel * CongestionController::minFps / 1000.0;
}

void ScaleStepper::reset() {
    m_rates.clear();
    m_step = 0;
    m_changedUs = INT64_MIN / 2;
    m_firstUs = -1;
}

double ScaleStepper::meanSince(int64_t fromUs) const {
    double sum = 0;
    int n = 0;
    for (const Sample &r : m_rates) {
        if (r.atUs >= fromUs) {
            sum += r.target;
            ++n;
        }
    }
    return n > 0 ? sum / n : 0.0;
}

double ScaleStepper::lowestSince(int64_t fromUs) const {
    double lowest = -1;
    for (const Sample &r : m_rates)
        if (r.atUs >= fromUs && (lowest < 0 || r.carried < lowest))
            lowest = r.carried;
    return std::max(0.0, lowest);
}

int ScaleStepper::update(int targetKbps, int carriedKbps, int pixels, int64_t nowUs) {
    if (m_firstUs < 0)
        m_firstUs = nowUs;
    const Sample sample{nowUs, std::max(0, targetKbps), std::clamp(carriedKbps, 0, std::max(0, targetKbps))};
    m_rates.push_back(sample);
    while (!m_rates.empty() && m_rates.front().atUs < nowUs - upHoldUs)
        m_rates.pop_front();
    // A clock that went back: start over rather than judge by a window of the future.
    if (m_rates.front().atUs > nowUs) {
        m_rates.clear();
        m_rates.push_back(sample);
        m_firstUs = nowUs;
        m_changedUs = std::min(m_changedUs, nowUs);
    }
    if (pixels <= 0 || nowUs - m_changedUs < holdUs)
        return m_step;

    const auto need = [pixels](int step) { return neededKbps(double(pixels) * factors[step] * factors[step]); };
    // Down: over the last two seconds (and after the last change) the rate gave this size
    // less than the minimum frame rate at a readable bits per pixel.
    const int64_t downFrom = std::max(nowUs - downWindowUs, m_changedUs);
    if (m_step + 1 < steps && nowUs - std::max(m_firstUs, m_changedUs) >= downWindowUs &&
        meanSince(downFrom) < need(m_step)) {
        ++m_step;
        m_changedUs = nowUs;
        return m_step;
    }
    // Up: all along the last few seconds, all of them spent at this size, the path carried
    // what the next larger size needs, with a margin.
    if (m_step > 0 && nowUs - std::max(m_firstUs, m_changedUs) >= upHoldUs &&
        lowestSince(nowUs - upHoldUs) >= upMargin * need(m_step - 1)) {
        --m_step;
        m_changedUs = nowUs;
    }
    return m_step;
}

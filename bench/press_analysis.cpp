#include "press_analysis.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace Bench {

namespace {

bool loud(const Capture &c, std::size_t frame, int threshold)
{
    const std::int16_t *s = c.samples.data() + frame * std::size_t(c.channels);
    for (int ch = 0; ch < c.channels; ++ch)
        if (std::abs(int(s[ch])) > threshold)
            return true;
    return false;
}

// From the first to the last sign change in the window: whole half periods,
// so the estimate does not depend on the phase the window starts at.
double zeroCrossingHz(const Capture &c, std::size_t from, std::size_t window)
{
    const std::size_t end = std::min(c.frames(), from + window);
    const auto at = [&](std::size_t f) { return c.samples[f * std::size_t(c.channels)]; };
    std::size_t first = 0, last = 0;
    int crossings = 0;
    for (std::size_t f = from + 1; f < end; ++f) {
        if ((at(f) >= 0) == (at(f - 1) >= 0))
            continue;
        if (!crossings++)
            first = f;
        last = f;
    }
    if (crossings < 3 || last - first < window / 4)
        return 0;
    return (crossings - 1) / 2.0 * c.rate / double(last - first);
}

} // namespace

std::vector<Onset> findOnsets(const Capture &capture, int threshold, double gapMs,
                              double pitchWindowMs)
{
    std::vector<Onset> found;
    if (capture.rate <= 0 || capture.channels <= 0)
        return found;
    const auto gap = std::size_t(gapMs * capture.rate / 1000);
    const auto window = std::size_t(pitchWindowMs * capture.rate / 1000);
    std::size_t silent = 0;
    for (const Capture::Chunk &chunk : capture.chunks) {
        const std::size_t end = std::min(chunk.firstFrame + chunk.frames, capture.frames());
        for (std::size_t f = chunk.firstFrame; f < end; ++f) {
            if (!loud(capture, f, threshold)) {
                ++silent;
                continue;
            }
            if (silent >= gap) {
                const double offsetNs = double(f - chunk.firstFrame) * 1e9 / capture.rate;
                found.push_back({chunk.firstFrameNs + std::int64_t(std::llround(offsetNs)), f,
                                 zeroCrossingHz(capture, f, window), chunk.quantum});
            }
            silent = 0;
        }
    }
    return found;
}

int classify(double hz, const std::vector<double> &pitches)
{
    int best = -1;
    double bestDistance = std::log(1.2);
    for (std::size_t i = 0; hz > 0 && i < pitches.size(); ++i) {
        const double d = std::abs(std::log(hz / pitches[i]));
        if (d < bestDistance) {
            bestDistance = d;
            best = int(i);
        }
    }
    return best;
}

Match matchOnsets(const std::vector<Press> &presses, const std::vector<Onset> &onsets,
                  const std::vector<double> &pitches, Expected expected, double maxMs)
{
    Match m;
    m.latencyMs.resize(presses.size());
    m.quantum.assign(presses.size(), 0);
    const auto used = [&](int pitch) {
        return std::any_of(presses.begin(), presses.end(),
                           [pitch](const Press &p) { return p.pitch == pitch; });
    };
    // Distance outside the range first, then from its middle.
    const auto cost = [&](double latency) {
        const double outside = std::max({0.0, expected.lowMs - latency, latency - expected.highMs});
        return std::make_pair(outside, std::abs(latency - (expected.lowMs + expected.highMs) / 2));
    };
    std::size_t next = 0; // presses before this one are settled
    for (const Onset &o : onsets) {
        const int pitch = classify(o.hz, pitches);
        if (pitch < 0 || !used(pitch))
            continue;
        std::optional<std::size_t> best;
        std::pair<double, double> bestCost;
        for (std::size_t i = next; i < presses.size() && presses[i].atNs <= o.atNs; ++i) {
            const double latency = double(o.atNs - presses[i].atNs) / 1e6;
            if (presses[i].pitch != pitch || latency > maxMs)
                continue;
            if (!best || cost(latency) <= bestCost) {
                best = i;
                bestCost = cost(latency);
            }
        }
        if (!best) {
            ++m.unmatchedOnsets;
            continue;
        }
        m.latencyMs[*best] = double(o.atNs - presses[*best].atNs) / 1e6;
        m.quantum[*best] = o.quantum;
        next = *best + 1;
    }
    return m;
}

double medianOf(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

Summary summarize(const std::vector<std::optional<double>> &latencyMs)
{
    Summary s;
    s.pressed = latencyMs.size();
    std::vector<double> v;
    for (const auto &l : latencyMs)
        if (l)
            v.push_back(*l);
    s.heard = v.size();
    if (v.empty())
        return s;
    std::sort(v.begin(), v.end());
    s.median = medianOf(v);
    const auto rank = std::size_t(std::ceil(0.95 * double(v.size())));
    s.p95 = v[std::max<std::size_t>(rank, 1) - 1];
    s.min = v.front();
    s.max = v.back();
    return s;
}

} // namespace Bench

#include "press_analysis.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <optional>

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

namespace {

// Follows the spacing of zero crossings within one sound, to find where a
// tone of another pitch cuts in with no silence between, or after a pause too
// short to count as silence (a player that cuts the sound before does).
class PitchTracker {
public:
    struct Cut {
        std::size_t onset;  // where the new tone began
        std::size_t steady; // its first crossing of a steady run
    };

    void reset()
    {
        crossings_.clear();
        halfPeriod_ = 0;
        lastSteady_ = 0;
        resumed_.reset();
    }

    // Nothing above the threshold since the last crossing: a pause, or a
    // sound's tail; no pitch to follow there.
    void quiet() { crossings_.clear(); }
    // Sound again after a pause too short to be silence.
    void resumed(std::size_t frame) { resumed_ = frame; }

    // Adds a crossing; reports a cut when it completes a steady run of a
    // clearly different spacing.
    std::optional<Cut> cross(std::size_t frame)
    {
        crossings_.push_back(frame);
        if (crossings_.size() > History)
            crossings_.erase(crossings_.begin());
        const std::size_t n = crossings_.size();
        if (n < Run + 1)
            return std::nullopt;
        const std::size_t first = n - Run - 1;
        const double mean = double(crossings_[n - 1] - crossings_[first]) / Run;
        const auto fits = [&](std::size_t i) {
            return std::abs(double(crossings_[i] - crossings_[i - 1]) - mean) <= 0.2 * mean + 0.5;
        };
        for (std::size_t i = first + 1; i < n; ++i)
            if (!fits(i))
                return std::nullopt; // not steady: a mixture, or the splice itself
        const double before = halfPeriod_;
        const std::size_t lastOld = lastSteady_;
        const std::optional<std::size_t> resumed = resumed_;
        halfPeriod_ = mean;
        lastSteady_ = crossings_[n - 1];
        resumed_.reset();
        if (before <= 0 || std::abs(std::log(mean / before)) <= 0.26)
            return std::nullopt;
        if (resumed) // after a pause: where the sound came back
            return Cut{*resumed, crossings_[first]};
        // Back to the new tone's first crossing; it began up to half a period
        // before that, so this is within a quarter period.
        std::size_t j = first;
        while (j > 0 && fits(j))
            --j;
        const std::size_t earliest = j > 0 ? crossings_[j - 1] : 0;
        // Only straight after the old tone: after a stretch of two tones at once
        // the one left was not cut in, it had been sounding already.
        if (j == 0 || earliest > lastOld + std::size_t(2 * before + mean) + 1)
            return std::nullopt;
        const auto guess = std::size_t(std::max(double(earliest), crossings_[j] - mean / 2));
        return Cut{guess, crossings_[first]};
    }

private:
    static constexpr std::size_t Run = 3;
    static constexpr std::size_t History = 16;
    std::vector<std::size_t> crossings_;
    double halfPeriod_ = 0;
    std::size_t lastSteady_ = 0; // the last crossing of a steady run
    std::optional<std::size_t> resumed_;
};

} // namespace

std::vector<Onset> findOnsets(const Capture &capture, int threshold, double gapMs,
                              double pitchWindowMs)
{
    std::vector<Onset> found;
    if (capture.rate <= 0 || capture.channels <= 0 || capture.chunks.empty())
        return found;
    const auto gap = std::size_t(gapMs * capture.rate / 1000);
    const auto window = std::size_t(pitchWindowMs * capture.rate / 1000);
    // Far longer than a tone spends near zero at a crossing.
    const auto pause = std::size_t(capture.rate / 2000);
    // The pitch is measured from `steady` on, past any splice.
    const auto onsetAt = [&](std::size_t f, std::size_t steady) {
        const auto chunk = std::prev(std::upper_bound(
            capture.chunks.begin(), capture.chunks.end(), f,
            [](std::size_t frame, const Capture::Chunk &c) { return frame < c.firstFrame; }));
        const double offsetNs = double(f - chunk->firstFrame) * 1e9 / capture.rate;
        found.push_back({chunk->firstFrameNs + std::int64_t(std::llround(offsetNs)), f,
                         zeroCrossingHz(capture, steady, window), chunk->quantum});
    };
    const auto sign = [&](std::size_t f) {
        return capture.samples[f * std::size_t(capture.channels)] >= 0;
    };
    std::size_t silent = 0;
    bool sounding = false;
    bool loudSinceCrossing = false;
    PitchTracker pitch;
    const std::size_t end =
        std::min(capture.chunks.back().firstFrame + capture.chunks.back().frames, capture.frames());
    const auto gapNs = std::int64_t(gapMs * 1e6);
    std::int64_t previousEndNs = capture.startNs;
    auto chunk = capture.chunks.begin();
    for (std::size_t f = capture.chunks.front().firstFrame; f < end; ++f) {
        if (chunk != capture.chunks.end() && f == chunk->firstFrame) {
            if (chunk->firstFrameNs - previousEndNs >= gapNs)
                silent = std::max(silent, gap);
            previousEndNs =
                chunk->firstFrameNs + std::int64_t(double(chunk->frames) * 1e9 / capture.rate);
            ++chunk;
        }
        if (sounding && f > 0 && sign(f) != sign(f - 1)) {
            if (!loudSinceCrossing)
                pitch.quiet();
            else if (const auto cut = pitch.cross(f))
                onsetAt(cut->onset, cut->steady);
            loudSinceCrossing = false;
        }
        if (!loud(capture, f, threshold)) {
            if (++silent >= gap) {
                sounding = false;
                pitch.reset();
            }
            continue;
        }
        if (silent >= gap)
            onsetAt(f, f);
        else if (silent >= pause)
            pitch.resumed(f);
        silent = 0;
        sounding = true;
        loudSinceCrossing = true;
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

namespace {

// One pitch's presses and onsets, both in time order.
void alignPitch(const std::vector<Press> &presses, const std::vector<std::size_t> &pressIndex,
                const std::vector<const Onset *> &heard, Expected expected, double maxMs, Match &m)
{
    const std::size_t np = pressIndex.size(), no = heard.size();
    // Leaving one out costs more than any match may, so the most presses get a
    // sound; among those alignments, latencies nearest the expected range.
    const double skip = maxMs + 1;
    const double middle = (expected.lowMs + expected.highMs) / 2;
    const auto latency = [&](std::size_t p, std::size_t o) {
        return double(heard[o]->atNs - presses[pressIndex[p]].atNs) / 1e6;
    };
    const auto matchCost = [&](std::size_t p, std::size_t o) {
        const double l = latency(p, o);
        if (l < 0 || l > maxMs)
            return -1.0;
        // A player is easily slower than it was, hardly faster.
        const double outside = std::max({0.0, 4 * (expected.lowMs - l), l - expected.highMs});
        return outside + 1e-3 * std::abs(l - middle);
    };
    enum Step : unsigned char { SkipPress, SkipOnset, Both };
    std::vector<double> cost((np + 1) * (no + 1), 0);
    std::vector<Step> step((np + 1) * (no + 1), Both);
    const auto at = [no](std::size_t p, std::size_t o) { return p * (no + 1) + o; };
    for (std::size_t p = 0; p <= np; ++p) {
        for (std::size_t o = 0; o <= no; ++o) {
            if (!p && !o)
                continue;
            double best = -1;
            if (p) {
                best = cost[at(p - 1, o)] + skip;
                step[at(p, o)] = SkipPress;
            }
            if (o && (best < 0 || cost[at(p, o - 1)] + skip < best)) {
                best = cost[at(p, o - 1)] + skip;
                step[at(p, o)] = SkipOnset;
            }
            if (p && o) {
                const double c = matchCost(p - 1, o - 1);
                if (c >= 0 && cost[at(p - 1, o - 1)] + c < best) {
                    best = cost[at(p - 1, o - 1)] + c;
                    step[at(p, o)] = Both;
                }
            }
            cost[at(p, o)] = best;
        }
    }
    for (std::size_t p = np, o = no; p || o;) {
        switch (step[at(p, o)]) {
        case SkipPress:
            --p;
            break;
        case SkipOnset:
            ++m.unmatchedOnsets;
            --o;
            break;
        case Both:
            --p;
            --o;
            m.latencyMs[pressIndex[p]] = latency(p, o);
            m.quantum[pressIndex[p]] = heard[o]->quantum;
            break;
        }
    }
}

} // namespace

Match matchOnsets(const std::vector<Press> &presses, const std::vector<Onset> &onsets,
                  const std::vector<double> &pitches, Expected expected, double maxMs)
{
    Match m;
    m.latencyMs.resize(presses.size());
    m.quantum.assign(presses.size(), 0);
    // Sounds of different pitches may come out in another order than their
    // presses (separate processes, say); one pitch's presses are far enough
    // apart to keep theirs.
    for (int pitch = 0; pitch < int(pitches.size()); ++pitch) {
        std::vector<std::size_t> pressIndex;
        for (std::size_t i = 0; i < presses.size(); ++i)
            if (presses[i].pitch == pitch)
                pressIndex.push_back(i);
        if (pressIndex.empty())
            continue;
        std::vector<const Onset *> heard;
        for (const Onset &o : onsets)
            if (classify(o.hz, pitches) == pitch)
                heard.push_back(&o);
        alignPitch(presses, pressIndex, heard, expected, maxMs, m);
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

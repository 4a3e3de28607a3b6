#include "gap_analysis.h"

#include <algorithm>
#include <cstdlib>

namespace Bench {

namespace {

int sample(const Capture &c, std::size_t frame, int channel)
{
    return std::abs(int(c.samples[frame * std::size_t(c.channels) + std::size_t(channel)]));
}

bool loudFrame(const Capture &c, std::size_t frame, int loud)
{
    for (int ch = 0; ch < c.channels; ++ch)
        if (sample(c, frame, ch) > loud)
            return true;
    return false;
}

bool quietFrame(const Capture &c, std::size_t frame)
{
    for (int ch = 0; ch < c.channels; ++ch)
        if (sample(c, frame, ch) > NearZero)
            return false;
    return true;
}

// Chunks overlapping frames [from, to).
template <typename F> void forChunksIn(const Capture &c, std::size_t from, std::size_t to, F f)
{
    auto it = std::upper_bound(
        c.chunks.begin(), c.chunks.end(), from,
        [](std::size_t frame, const Capture::Chunk &ch) { return frame < ch.firstFrame; });
    if (it != c.chunks.begin())
        --it;
    for (; it != c.chunks.end() && it->firstFrame < to; ++it)
        if (it->firstFrame + it->frames > from)
            f(it);
}

} // namespace

SoundGaps findGaps(const Capture &c, std::size_t from, std::size_t to, int loud)
{
    SoundGaps s;
    to = std::min(to, c.frames());
    for (std::size_t f = from; f < to; ++f)
        if (loudFrame(c, f, loud)) {
            if (!s.heard)
                s.firstFrame = f;
            s.heard = true;
            s.lastFrame = f;
        }
    if (!s.heard)
        return s;
    std::size_t run = 0;
    for (std::size_t f = s.firstFrame; f <= s.lastFrame; ++f) {
        if (quietFrame(c, f)) {
            ++run;
            continue;
        }
        if (run >= GapMinFrames) {
            s.gapFrames.push_back(run);
            s.lostFrames += run;
        }
        run = 0;
    }
    return s;
}

std::size_t frameAt(const Capture &c, std::int64_t ns)
{
    const auto it = std::upper_bound(
        c.chunks.begin(), c.chunks.end(), ns,
        [](std::int64_t t, const Capture::Chunk &ch) { return t < ch.firstFrameNs; });
    if (it == c.chunks.begin())
        return 0;
    const Capture::Chunk &ch = *(it - 1);
    const auto into = std::size_t(double(ns - ch.firstFrameNs) * c.rate / 1e9);
    return into < ch.frames ? ch.firstFrame + into : ch.firstFrame + ch.frames;
}

int recordingHoles(const Capture &c, std::size_t from, std::size_t to)
{
    int holes = 0;
    const Capture::Chunk *before = nullptr;
    forChunksIn(c, from, to, [&](auto it) {
        if (it->hole)
            ++holes;
        else if (before && before->quantum && it->quantum) {
            const double lengthNs = double(before->frames) * 1e9 / c.rate;
            if (double(it->firstFrameNs - before->firstFrameNs) > lengthNs * 1.5)
                ++holes;
        }
        before = &*it;
    });
    return holes;
}

int quantumIn(const Capture &c, std::size_t from, std::size_t to)
{
    std::vector<int> q;
    forChunksIn(c, from, to, [&](auto it) {
        if (it->quantum)
            q.push_back(it->quantum);
    });
    if (q.empty())
        return 0;
    std::sort(q.begin(), q.end());
    return q[(q.size() - 1) / 2];
}

} // namespace Bench

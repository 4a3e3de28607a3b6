#include "audio/period_policy.h"

#include <algorithm>

namespace {

int ceilPowerOfTwo(std::uint64_t n)
{
    int p = 1;
    while (std::uint64_t(p) < n && p < (1 << 20))
        p <<= 1;
    return p;
}

int floorPowerOfTwo(std::uint64_t n)
{
    int p = 1;
    while (std::uint64_t(p) * 2 <= n && p < (1 << 20))
        p <<= 1;
    return p;
}

// Frames at 48 kHz as frames at `rate`, rounded up.
std::uint64_t at(int rate, std::uint64_t frames48k)
{
    return (frames48k * std::uint64_t(rate) + 47999) / 48000;
}

} // namespace

PeriodPolicy::PeriodPolicy(std::chrono::milliseconds stepDownAfter)
    : wait_(std::chrono::duration_cast<std::chrono::nanoseconds>(stepDownAfter).count())
{
    setGraph(48000);
}

void PeriodPolicy::setGraph(int rate, int maxQuantum)
{
    rate_ = std::max(rate, 8000);
    start_ = ceilPowerOfTwo(at(rate_, 256));
    longest_ = ceilPowerOfTwo(at(rate_, 2048));
    if (maxQuantum > 0)
        longest_ = std::min(longest_, floorPowerOfTwo(std::uint64_t(maxQuantum)));
    start_ = std::min(start_, longest_);
    maxStep_ = 0;
    while ((start_ << (maxStep_ + 1)) <= longest_)
        ++maxStep_;
    step_ = std::min(step_, maxStep_);
}

int PeriodPolicy::frames(int step) const
{
    return std::min(start_ << step, longest_);
}

int PeriodPolicy::stepOf(int frames) const
{
    int step = 0;
    while (step < maxStep_ && (start_ << step) < frames)
        ++step;
    return step;
}

int PeriodPolicy::learntFrames() const
{
    return frames(step_);
}

int PeriodPolicy::graphPeriod(std::uint64_t frames, std::uint64_t rate) const
{
    if (rate == 0)
        return longest_;
    return std::min(
        floorPowerOfTwo(std::max<std::uint64_t>(1, frames * std::uint64_t(rate_) / rate)),
        longest_);
}

int PeriodPolicy::otherPeriod(const OtherAsk &ask, int defaultQuantum) const
{
    if (!ask.known)
        return longest_;
    if (ask.rate == 0)
        return std::min(defaultQuantum, longest_);
    return graphPeriod(ask.frames, ask.rate);
}

int PeriodPolicy::onWake(Ns now, int othersFrames)
{
    // Only from silence, and only with the graph ours alone: another
    // program's stream would play at whatever the try costs.
    if (step_ > 0 && othersFrames == 0 && now - cleanSince_ >= wait_) {
        --step_;
        cleanSince_ = now;
        lowered_ = true;
    }
    return std::max(frames(step_), std::min(othersFrames, longest_));
}

int PeriodPolicy::onMisses(Ns now, int asked)
{
    if (asked >= longest_) {
        cleanSince_ = now; // still under load: no try until it has passed
        return asked;
    }
    if (lowered_ && now - cleanSince_ < wait_) {
        // The try failed: back to what held, and longer before the next.
        wait_ *= 2;
    }
    lowered_ = false;
    step_ = std::max(step_, stepOf(std::min(asked * 2, longest_)));
    cleanSince_ = now;
    return frames(step_);
}

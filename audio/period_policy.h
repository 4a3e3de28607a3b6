#pragma once

#include <chrono>
#include <cstdint>

// How long a period to ask of a graph that plays in periods of a power of two
// frames at its own rate: the shortest this machine holds, never shorter than
// another program's, longer after missed periods, and one step shorter again
// after a long clean stretch. Times are steady-clock nanoseconds given by the
// caller, so that a session of hours can be played through in a test.
class PeriodPolicy {
public:
    using Ns = std::int64_t;

    // What a clean stretch must last before a sound from silence tries one
    // step shorter; each failed try doubles it.
    static constexpr std::chrono::minutes DefaultStepDownAfter{10};

    explicit PeriodPolicy(std::chrono::milliseconds stepDownAfter = DefaultStepDownAfter);

    // The graph the stream plays in: its rate, and its longest period in frames
    // (0: the desktops' usual 2048 at 48 kHz). Learnt steps carry over.
    void setGraph(int rate, int maxQuantum = 0);
    // The period the policy starts at: 256 frames at 48 kHz, the shortest with
    // which an idle two-core machine lost nothing (128 lost 0.7 ms a second),
    // as the power of two that lasts at least as long at this rate.
    int startFrames() const { return start_; }
    int longestFrames() const { return longest_; }
    // The shortest period found held so far, in frames at the graph's rate.
    int learntFrames() const;
    // What the graph runs at for a stream asking `frames` frames at `rate` Hz:
    // its own rate's frames, rounded down to a power of two as PipeWire does.
    int graphPeriod(std::uint64_t frames, std::uint64_t rate) const;

    // What another program's stream asks of the graph.
    struct OtherAsk {
        bool known = false;                 // its properties have come
        std::uint64_t frames = 0, rate = 0; // its node.latency; rate 0: none
    };
    // The period the graph runs at for it, in frames at the graph's rate: the
    // graph's default quantum where it asks nothing, and the longest while what
    // it asks has not come, so that ours steps aside before it is linked.
    int otherPeriod(const OtherAsk &ask, int defaultQuantum) const;

    // A sound starts while nothing of ours plays. othersFrames: the longest
    // period the graph runs at for another program's stream (0: none open).
    // Returns the period to ask for.
    int onWake(Ns now, int othersFrames);
    // Periods were missed, past the settling of the last change, while the
    // graph ran at the `asked` frames we asked for. Returns the period to ask
    // for now, `asked` where there is none longer.
    int onMisses(Ns now, int asked);
    // What a clean stretch must now last before the next try.
    Ns stepDownWait() const { return wait_; }

private:
    int frames(int step) const;
    int stepOf(int frames) const;

    Ns wait_;
    int rate_ = 48000;
    int start_ = 256;
    int longest_ = 2048;
    int maxStep_ = 3;
    int step_ = 0;         // learnt: start_ << step_
    Ns cleanSince_ = 0;    // the last miss, or the last change of step
    bool lowered_ = false; // the last change was a try one step down
};

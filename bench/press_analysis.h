#pragma once

// What the press-to-sound bench makes of a recording of the sink: where sounds
// start, which tone each is, which press it answers, and the figures per row.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace Bench {

// A recording of the sink's monitor, cut in the chunks it arrived in.
struct Capture {
    struct Chunk {
        std::int64_t firstFrameNs; // when the chunk's first frame was captured
        std::int64_t arrivedNs;
        std::size_t firstFrame;
        std::size_t frames;
        int quantum; // the PipeWire graph's quantum for the chunk; 0 if unknown
        bool hole;   // the server said it had no data for it; recorded as silence
    };
    int rate = 0;
    int channels = 0;
    std::vector<std::int16_t> samples; // interleaved
    std::vector<Chunk> chunks;
    // When recording began. A stretch of time with no chunks, there or between
    // two, is silence: a recorder that gets data only while something plays.
    std::int64_t startNs = 0;

    std::size_t frames() const { return channels ? samples.size() / std::size_t(channels) : 0; }
};

struct Onset {
    std::int64_t atNs; // capture time of the first sample above the threshold
    std::size_t frame;
    double hz; // from zero crossings; 0 when too little sound follows
    int quantum;
};

// Starts of sound: the first sample above the threshold after at least
// `gapMs` of silence, and where a tone of another pitch cuts into one playing
// (placed to within a quarter period of the new tone). A recording that
// begins mid-sound yields no onset for that sound.
std::vector<Onset> findOnsets(const Capture &capture, int threshold, double gapMs = 5,
                              double pitchWindowMs = 10);

// Index of the pitch nearest `hz` within 20 %, or -1.
int classify(double hz, const std::vector<double> &pitches);

struct Press {
    std::int64_t atNs;
    int pitch; // index into the pitches the onsets are classified against
};

struct Match {
    std::vector<std::optional<double>> latencyMs; // per press; empty when not heard
    std::vector<int> quantum;                     // per press; 0 when unknown
    int unmatchedOnsets = 0; // sounds no press explains: glitches, or later than maxMs
};

// What latency to expect of a press: the range earlier presses gave. An empty
// range (0, 0) prefers the latest press.
struct Expected {
    double lowMs = 0;
    double highMs = 0;
};

// Gives each pitch's onsets to that pitch's presses before them, keeping their
// order: as many presses as possible get a sound, each within maxMs; among the
// ways to do that, the latencies nearest the expected range (below it counts
// four times as far as above; nearest its middle when several lie in it).
// Onsets of other pitches are ignored.
Match matchOnsets(const std::vector<Press> &presses, const std::vector<Onset> &onsets,
                  const std::vector<double> &pitches, Expected expected, double maxMs);

struct Summary {
    std::size_t heard = 0;
    std::size_t pressed = 0;
    double median = 0, p95 = 0, min = 0, max = 0; // ms, valid when heard > 0
};

// p95 by nearest rank.
Summary summarize(const std::vector<std::optional<double>> &latencyMs);

double medianOf(std::vector<double> values);

} // namespace Bench

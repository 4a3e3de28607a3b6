#pragma once

// What the gaps bench makes of a recording of the sink: where one sound lies in
// a stretch of it, and the runs of silence inside that sound.

#include "press_analysis.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Bench {

// A gap is at least this many frames in a row with every sample within
// +-NearZero. The tones swing far past NearZero within a frame or two of each
// zero crossing, so they never make one.
constexpr std::size_t GapMinFrames = 12;
constexpr int NearZero = 64;

struct SoundGaps {
    bool heard = false;
    std::size_t firstFrame = 0; // the sound's first and last loud frame
    std::size_t lastFrame = 0;
    std::vector<std::size_t> gapFrames; // length of each gap, in order
    std::size_t lostFrames = 0;
    std::size_t frames() const { return heard ? lastFrame - firstFrame + 1 : 0; }
};

// The sound in frames [from, to): from its first frame with a sample above
// `loud` to its last, and the gaps between.
SoundGaps findGaps(const Capture &capture, std::size_t from, std::size_t to, int loud);

// The first frame captured at or after `ns`; capture.frames() past the end.
std::size_t frameAt(const Capture &capture, std::int64_t ns);

// Stretches missing from the recording in frames [from, to): chunks the server
// said it had no data for (recorded as silence, so they could make a gap), and,
// where the graph's clock stamps the chunks, cycles missed or skipped (a next
// chunk beginning more than half a chunk after the one before ended; not in the
// recording at all, so they could hide a gap).
int recordingHoles(const Capture &capture, std::size_t from, std::size_t to);

// The graph quantum in frames [from, to): the lower middle of the chunks'
// quanta, one the graph really ran at; 0 when unknown.
int quantumIn(const Capture &capture, std::size_t from, std::size_t to);

} // namespace Bench

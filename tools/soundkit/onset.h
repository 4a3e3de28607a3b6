// How soon a sound file gets loud, read the way a player reads it. Deliberately shares nothing
// with the kit's own writer, so a mistake there cannot hide here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace soundkit {

struct Pcm16 {
    std::uint32_t rate = 0;
    std::uint16_t channels = 0;
    std::vector<std::int16_t> samples; // interleaved
};

// Walks the RIFF chunks for "fmt " and "data" wherever they are. Only 16-bit PCM is accepted.
// Returns an empty string on success.
std::string readPcm16(const std::vector<std::uint8_t> &bytes, Pcm16 &out);

// First frame in which any channel reaches |s| >= threshold, or -1 if none does.
long firstFrameReaching(const Pcm16 &pcm, int threshold);

} // namespace soundkit

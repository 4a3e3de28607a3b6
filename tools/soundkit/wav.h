// The kit's on-disk format: a canonical 44-byte RIFF/WAVE header, 16-bit PCM, mono, 44.1 kHz.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "synth.h"

namespace soundkit {

using Bytes = std::vector<std::uint8_t>;

std::vector<std::int16_t> quantize(const Signal &s);
Bytes encodeWav(const std::vector<std::int16_t> &samples);

// Accepts only the exact layout encodeWav produces; anything else is reported, not guessed at.
// Returns an empty string on success.
std::string decodeWav(const Bytes &bytes, std::vector<std::int16_t> &samples);

} // namespace soundkit

#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

// Builds RIFF WAVE images for tests and benchmarks.
namespace Wav {

enum class Format { U8, S16, S24, S32, F32 };

inline int bytesPerSample(Format f)
{
    switch (f) {
    case Format::U8:
        return 1;
    case Format::S16:
        return 2;
    case Format::S24:
        return 3;
    default:
        return 4;
    }
}

// Samples are given as 16-bit values per channel (interleaved) and widened or
// narrowed to the format, so every format carries the same signal.
inline std::vector<std::uint8_t> build(const std::vector<std::int16_t> &samples, int channels,
                                       int rate, Format format = Format::S16,
                                       std::uint32_t declaredDataBytes = 0)
{
    const int bps = bytesPerSample(format);
    std::vector<std::uint8_t> data;
    data.reserve(samples.size() * std::size_t(bps));
    for (std::int16_t s : samples) {
        switch (format) {
        case Format::U8:
            data.push_back(std::uint8_t((s >> 8) + 128));
            break;
        case Format::S16:
            data.push_back(std::uint8_t(s & 0xff));
            data.push_back(std::uint8_t((s >> 8) & 0xff));
            break;
        case Format::S24:
            data.push_back(0);
            data.push_back(std::uint8_t(s & 0xff));
            data.push_back(std::uint8_t((s >> 8) & 0xff));
            break;
        case Format::S32:
            data.push_back(0);
            data.push_back(0);
            data.push_back(std::uint8_t(s & 0xff));
            data.push_back(std::uint8_t((s >> 8) & 0xff));
            break;
        case Format::F32: {
            const float f = float(s) / 32768.0f;
            std::uint8_t b[4];
            std::memcpy(b, &f, 4);
            for (std::uint8_t byte : b)
                data.push_back(byte);
            break;
        }
        }
    }
    const std::uint32_t dataBytes =
        declaredDataBytes ? declaredDataBytes : std::uint32_t(data.size());
    std::vector<std::uint8_t> out;
    out.reserve(44 + data.size());
    const auto put32 = [&out](std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            out.push_back(std::uint8_t(v >> (8 * i)));
    };
    const auto put16 = [&out](std::uint16_t v) {
        out.push_back(std::uint8_t(v));
        out.push_back(std::uint8_t(v >> 8));
    };
    const auto tag = [&out](const char *t) {
        for (int i = 0; i < 4; ++i)
            out.push_back(std::uint8_t(t[i]));
    };
    tag("RIFF");
    put32(36 + dataBytes);
    tag("WAVE");
    tag("fmt ");
    put32(16);
    put16(format == Format::F32 ? 3 : 1);
    put16(std::uint16_t(channels));
    put32(std::uint32_t(rate));
    put32(std::uint32_t(rate * channels * bps));
    put16(std::uint16_t(channels * bps));
    put16(std::uint16_t(bps * 8));
    tag("data");
    put32(dataBytes);
    // Appended by resize and copy: GCC 12 warns falsely on insert() here at -O3.
    const std::size_t header = out.size();
    out.resize(header + data.size());
    if (!data.empty())
        std::memcpy(out.data() + header, data.data(), data.size());
    return out;
}

// A recognisable mono ramp that never touches zero, so its start can be found in
// an output stream of silence. Sign picks which of two sounds it is.
inline std::vector<std::int16_t> ramp(std::size_t frames, int sign = 1, int step = 37)
{
    std::vector<std::int16_t> s(frames);
    for (std::size_t i = 0; i < frames; ++i)
        s[i] = std::int16_t(sign * (1000 + int((i * std::size_t(step)) % 20000)));
    return s;
}

} // namespace Wav

#include "wav.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace soundkit {

namespace {

constexpr std::uint32_t kHeaderSize = 44;

void put16(Bytes &b, std::uint16_t v)
{
    b.push_back(static_cast<std::uint8_t>(v & 0xff));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}

void put32(Bytes &b, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<std::uint8_t>((v >> (8 * i)) & 0xff));
}

void putTag(Bytes &b, const char *tag)
{
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<std::uint8_t>(tag[i]));
}

std::uint16_t get16(const Bytes &b, size_t at)
{
    return std::uint16_t(b[at] | (b[at + 1] << 8));
}

std::uint32_t get32(const Bytes &b, size_t at)
{
    return std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 | std::uint32_t(b[at + 2]) << 16 |
           std::uint32_t(b[at + 3]) << 24;
}

bool tagAt(const Bytes &b, size_t at, const char *tag)
{
    return std::memcmp(&b[at], tag, 4) == 0;
}

} // namespace

std::vector<std::int16_t> quantize(const Signal &s)
{
    std::vector<std::int16_t> out(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        const long v = std::lround(static_cast<double>(s[i]) * 32767.0);
        out[i] = static_cast<std::int16_t>(std::clamp(v, -32767L, 32767L));
    }
    return out;
}

Bytes encodeWav(const std::vector<std::int16_t> &samples)
{
    const auto dataSize = static_cast<std::uint32_t>(samples.size() * 2);
    Bytes b;
    b.reserve(kHeaderSize + dataSize);
    putTag(b, "RIFF");
    put32(b, kHeaderSize - 8 + dataSize);
    putTag(b, "WAVE");
    putTag(b, "fmt ");
    put32(b, 16);
    put16(b, 1); // PCM
    put16(b, 1); // mono
    put32(b, kSampleRate);
    put32(b, kSampleRate * 2);
    put16(b, 2);
    put16(b, 16);
    putTag(b, "data");
    put32(b, dataSize);
    // Written byte by byte so the file is little-endian whatever the host is.
    for (std::int16_t s : samples)
        put16(b, static_cast<std::uint16_t>(s));
    return b;
}

std::string decodeWav(const Bytes &b, std::vector<std::int16_t> &samples)
{
    samples.clear();
    if (b.size() < kHeaderSize)
        return "shorter than a WAVE header";
    if (!tagAt(b, 0, "RIFF") || !tagAt(b, 8, "WAVE"))
        return "not a RIFF/WAVE file";
    if (get32(b, 4) != b.size() - 8)
        return "RIFF size " + std::to_string(get32(b, 4)) + " does not match file size";
    if (!tagAt(b, 12, "fmt ") || get32(b, 16) != 16)
        return "fmt chunk missing or not 16 bytes";
    if (get16(b, 20) != 1)
        return "not PCM";
    if (get16(b, 22) != 1)
        return "not mono";
    if (get32(b, 24) != kSampleRate)
        return "sample rate " + std::to_string(get32(b, 24));
    if (get16(b, 34) != 16)
        return "not 16-bit";
    if (get32(b, 28) != kSampleRate * 2 || get16(b, 32) != 2)
        return "byte rate / block align inconsistent";
    if (!tagAt(b, 36, "data"))
        return "data chunk not at offset 36";
    const std::uint32_t dataSize = get32(b, 40);
    if (dataSize != b.size() - kHeaderSize || dataSize % 2 != 0)
        return "data size " + std::to_string(dataSize) + " does not match file size";
    samples.resize(dataSize / 2);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::int16_t>(get16(b, kHeaderSize + 2 * i));
    return {};
}

} // namespace soundkit

#include "onset.h"

#include <cstdlib>
#include <cstring>

namespace soundkit {

namespace {

std::uint32_t le16(const std::uint8_t *p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8;
}

std::uint32_t le32(const std::uint8_t *p)
{
    return le16(p) | le16(p + 2) << 16;
}

} // namespace

std::string readPcm16(const std::vector<std::uint8_t> &b, Pcm16 &out)
{
    out = Pcm16{};
    if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) != 0 ||
        std::memcmp(b.data() + 8, "WAVE", 4) != 0)
        return "not a RIFF/WAVE file";
    // Writers disagree about the RIFF size (streams leave it 0 or -1), so chunks are bounded by
    // the file itself.
    const std::uint8_t *fmt = nullptr, *data = nullptr;
    std::uint32_t fmtSize = 0, dataSize = 0;
    size_t at = 12;
    while (b.size() - at >= 8) {
        const std::uint8_t *id = b.data() + at;
        const std::uint32_t size = le32(id + 4);
        if (size > b.size() - at - 8)
            return std::string(reinterpret_cast<const char *>(id), 4) + " chunk runs past the end";
        if (!fmt && std::memcmp(id, "fmt ", 4) == 0) {
            fmt = id + 8;
            fmtSize = size;
        } else if (!data && std::memcmp(id, "data", 4) == 0) {
            data = id + 8;
            dataSize = size;
        }
        // Odd-sized chunks are followed by a pad byte that the size does not count.
        at += 8 + size + (size & 1);
        if (at > b.size())
            break;
    }
    if (!fmt || fmtSize < 16)
        return "no usable fmt chunk";
    if (!data)
        return "no data chunk";
    if (le16(fmt) != 1 || le16(fmt + 14) != 16)
        return "not 16-bit PCM";
    out.channels = static_cast<std::uint16_t>(le16(fmt + 2));
    out.rate = le32(fmt + 4);
    if (out.channels == 0 || out.rate == 0)
        return "no channels or no sample rate";
    out.samples.resize(dataSize / 2 / out.channels * out.channels);
    for (size_t i = 0; i < out.samples.size(); ++i)
        out.samples[i] = static_cast<std::int16_t>(le16(data + 2 * i));
    return {};
}

long firstFrameReaching(const Pcm16 &pcm, int threshold)
{
    for (size_t i = 0; i < pcm.samples.size(); ++i)
        if (std::abs(int(pcm.samples[i])) >= threshold)
            return static_cast<long>(i / pcm.channels);
    return -1;
}

} // namespace soundkit

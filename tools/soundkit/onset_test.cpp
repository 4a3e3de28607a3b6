// Tests for the onset reader. Files are built by hand rather than with the kit's writer so that
// layouts the writer never produces get covered too.

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <string>

#include "onset.h"

using namespace soundkit;
using Bytes = std::vector<std::uint8_t>;

namespace {

int failures = 0;

#define EXPECT(cond)                                                                               \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "%s:%d: expected %s\n", __FILE__, __LINE__, #cond);               \
            ++failures;                                                                            \
        }                                                                                          \
    } while (0)

void put(Bytes &b, std::uint32_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void chunk(Bytes &b, const char *id, const Bytes &body, bool pad = true)
{
    // Appended by resize and copy: GCC 12 warns falsely on insert() here at -O2.
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<std::uint8_t>(id[i]));
    put(b, static_cast<std::uint32_t>(body.size()), 4);
    const std::size_t at = b.size();
    b.resize(at + body.size());
    std::copy(body.begin(), body.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
    if (pad && body.size() % 2)
        b.push_back(0);
}

Bytes fmtBody(int channels, int bits = 16, int format = 1, int extra = 0)
{
    Bytes f;
    put(f, format, 2);
    put(f, channels, 2);
    put(f, 44100, 4);
    put(f, 44100 * channels * bits / 8, 4);
    put(f, channels * bits / 8, 2);
    put(f, bits, 2);
    if (extra) {
        put(f, extra, 2);
        f.resize(f.size() + extra);
    }
    return f;
}

Bytes pcmBody(std::initializer_list<int> samples)
{
    Bytes d;
    for (int s : samples)
        put(d, static_cast<std::uint16_t>(s), 2);
    return d;
}

Bytes wave(std::initializer_list<Bytes> chunks)
{
    Bytes b = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
    for (const Bytes &c : chunks)
        b.insert(b.end(), c.begin(), c.end());
    const auto riff = static_cast<std::uint32_t>(b.size() - 8);
    for (int i = 0; i < 4; ++i)
        b[4 + i] = static_cast<std::uint8_t>(riff >> (8 * i));
    return b;
}

Bytes with(const char *id, const Bytes &body, bool pad = true)
{
    Bytes b;
    chunk(b, id, body, pad);
    return b;
}

long onsetOf(const Bytes &file)
{
    Pcm16 pcm;
    const std::string err = readPcm16(file, pcm);
    if (!err.empty()) {
        std::fprintf(stderr, "unexpected: %s\n", err.c_str());
        return -2;
    }
    return firstFrameReaching(pcm, 3277);
}

void findsTheDataChunkWhereverItIs()
{
    const Bytes data = with("data", pcmBody({0, 100, -3277, 0}));
    EXPECT(onsetOf(wave({with("fmt ", fmtBody(1)), data})) == 2);
    // Metadata before the samples: a reader assuming a 44-byte header would take "INFO" for
    // loud audio at frame 0.
    const Bytes list =
        with("LIST", {'I', 'N', 'F', 'O', 'I', 'S', 'F', 'T', 3, 0, 0, 0, 'z', 'k', '\0'});
    EXPECT(onsetOf(wave({with("fmt ", fmtBody(1)), list, data})) == 2);
    // An extended fmt chunk and an odd-sized chunk with its pad byte.
    EXPECT(onsetOf(wave({with("fmt ", fmtBody(1, 16, 1, 2)), with("junk", {1, 2, 3}), data})) == 2);
    EXPECT(onsetOf(wave({data, with("fmt ", fmtBody(1))})) == 2);
}

void countsFramesAndBothPolarities()
{
    EXPECT(onsetOf(wave({with("fmt ", fmtBody(1)), with("data", pcmBody({3276, -3276, 3277}))})) ==
           2);
    EXPECT(onsetOf(wave({with("fmt ", fmtBody(1)), with("data", pcmBody({-32768}))})) == 0);
    EXPECT(onsetOf(wave({with("fmt ", fmtBody(1)), with("data", pcmBody({10, -10}))})) == -1);
    // Stereo: the right channel of the second frame.
    EXPECT(onsetOf(wave({with("fmt ", fmtBody(2)), with("data", pcmBody({0, 0, 0, 5000}))})) == 1);
}

void rejectsWhatItCannotMeasure()
{
    Pcm16 pcm;
    const Bytes data = with("data", pcmBody({5000}));
    EXPECT(!readPcm16(wave({with("fmt ", fmtBody(1))}), pcm).empty());
    EXPECT(!readPcm16(wave({data}), pcm).empty());
    EXPECT(!readPcm16(wave({with("fmt ", fmtBody(1, 24)), data}), pcm).empty());
    EXPECT(!readPcm16(wave({with("fmt ", fmtBody(1, 16, 3)), data}), pcm).empty());
    Bytes cut = wave({with("fmt ", fmtBody(1)), data});
    cut.pop_back();
    EXPECT(!readPcm16(cut, pcm).empty());
    EXPECT(!readPcm16(Bytes{'R', 'I', 'F', 'F'}, pcm).empty());
}

} // namespace

int main()
{
    findsTheDataChunkWhereverItIs();
    countsFramesAndBothPolarities();
    rejectsWhatItCannotMeasure();
    if (failures)
        std::fprintf(stderr, "%d failed\n", failures);
    return failures ? 1 : 0;
}

// Writes a bench tone in another format, by the output's extension (flac, ogg for
// Vorbis, mp3, aiff), with libsndfile as the program reads it; then decodes it
// back and prints how far its first loud sample moved and its length, so that a
// press-to-sound figure can be told apart from what the encoder put in the file.
//
//   bench_encode IN.wav OUT.EXT

#include "press_common.h"

#include <sndfile.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace Bench;

namespace {

int formatFor(const std::string &path)
{
    const std::string ext = path.substr(path.rfind('.') + 1);
    if (ext == "flac")
        return SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
    if (ext == "ogg")
        return SF_FORMAT_OGG | SF_FORMAT_VORBIS;
    if (ext == "mp3")
        return SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
    if (ext == "aiff")
        return SF_FORMAT_AIFF | SF_FORMAT_PCM_16;
    return 0;
}

// The first frame with a sample above the bench's threshold, or -1.
long firstLoud(const std::vector<short> &samples, int channels)
{
    for (std::size_t i = 0; i < samples.size(); ++i)
        if (std::abs(samples[i]) > Threshold)
            return long(i / std::size_t(channels));
    return -1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_encode IN.wav OUT.flac|ogg|mp3|aiff\n");
        return 2;
    }
    Sound in;
    const int format = formatFor(argv[2]);
    if (!readWav(argv[1], &in) || !format) {
        std::fprintf(stderr, "bench_encode: cannot read %s or no format for %s\n", argv[1],
                     argv[2]);
        return 1;
    }
    SF_INFO info{};
    info.samplerate = in.rate;
    info.channels = in.channels;
    info.format = format;
    SNDFILE *out = sf_open(argv[2], SFM_WRITE, &info);
    if (!out) {
        std::fprintf(stderr, "bench_encode: %s: %s\n", argv[2], sf_strerror(nullptr));
        return 1;
    }
    // As floats: libsndfile 1.2.0's MP3 writer, given 16-bit samples, left bursts
    // above full scale in the silence after the tone.
    const auto frames = sf_count_t(in.samples.size() / std::size_t(in.channels));
    std::vector<float> samples(in.samples.begin(), in.samples.end());
    for (float &v : samples)
        v /= 32768.0f;
    const bool written = sf_writef_float(out, samples.data(), frames) == frames;
    sf_close(out);

    SF_INFO back{};
    SNDFILE *again = sf_open(argv[2], SFM_READ, &back);
    if (!written || !again) {
        std::fprintf(stderr, "bench_encode: %s was not written whole\n", argv[2]);
        return 1;
    }
    std::vector<short> decoded(std::size_t(back.frames) * std::size_t(back.channels));
    decoded.resize(std::size_t(sf_readf_short(again, decoded.data(), back.frames)) *
                   std::size_t(back.channels));
    sf_close(again);
    const long shift = firstLoud(decoded, back.channels) - firstLoud(in.samples, in.channels);
    // Where the WAVE is silent the file must be too, or its noise reads as sounds.
    int loudestInSilence = 0;
    for (std::size_t i = 0; i < std::min(decoded.size(), in.samples.size()); ++i)
        if (in.samples[i] == 0)
            loudestInSilence = std::max(loudestInSilence, std::abs(int(decoded[i])));
    std::printf("%s: first loud sample %+.2f ms from the WAVE's, %zu frames (WAVE %lld), "
                "loudest where the WAVE is silent %d\n",
                argv[2], shift * 1000.0 / in.rate, decoded.size() / std::size_t(back.channels),
                static_cast<long long>(frames), loudestInSilence);
    return 0;
}

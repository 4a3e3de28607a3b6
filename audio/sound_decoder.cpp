#include "audio/sound_decoder.h"

#include <samplerate.h>
#include <sndfile.h>

#include <unistd.h>

#include <algorithm>
#include <vector>

namespace {

// libsamplerate converts within this range of ratios; a rate outside it is not a
// sound anyone means to hear (a header claiming 1 Hz, say).
constexpr double MaxRatio = 256.0;
// Samples read from the file per step, whatever its channel count.
constexpr std::size_t InputSamples = 16384;

// The containers a user's own sounds come in, told by content whatever the file's
// name: libsndfile reads them all piece by piece.
bool isPlayableFormat(int format)
{
    switch (format & SF_FORMAT_TYPEMASK) {
    case SF_FORMAT_WAV:
    case SF_FORMAT_WAVEX:
    case SF_FORMAT_RF64:
    case SF_FORMAT_AIFF:
    case SF_FORMAT_FLAC:
    case SF_FORMAT_MPEG:
        return true;
    case SF_FORMAT_OGG: {
        const int codec = format & SF_FORMAT_SUBMASK;
        return codec == SF_FORMAT_VORBIS || codec == SF_FORMAT_OPUS;
    }
    default:
        return false;
    }
}

} // namespace

struct SoundDecoder::Impl {
    int fd = -1;
    SNDFILE *file = nullptr;
    SF_INFO info{};
    SRC_STATE *resampler = nullptr;
    double ratio = 1.0;
    bool inputDone = false;
    std::vector<float> floats;
    int channels = 2;          // of what is read out
    std::vector<float> picked; // resampler input, frames not yet consumed at the front
    std::size_t pickedFrames = 0;
    std::vector<float> resampled;

    ~Impl()
    {
        if (resampler)
            src_delete(resampler);
        if (file)
            sf_close(file);
        if (fd >= 0)
            ::close(fd);
    }

    std::size_t inputFrames() const
    {
        return std::max<std::size_t>(1, InputSamples / std::size_t(info.channels));
    }

    // The channels read out, from the file's interleaved frames.
    void pick(const float *in, std::size_t frames, float *out) const
    {
        const std::size_t ch = std::size_t(info.channels);
        if (ch == std::size_t(channels)) {
            std::copy(in, in + frames * ch, out);
            return;
        }
        for (std::size_t i = 0; i < frames; ++i) {
            out[2 * i] = in[i * ch];
            out[2 * i + 1] = in[i * ch + 1];
        }
    }
};

SoundDecoder::SoundDecoder(std::unique_ptr<Impl> impl)
    : d(std::move(impl))
{
}

SoundDecoder::~SoundDecoder() = default;

std::unique_ptr<SoundDecoder> SoundDecoder::open(int fd, int outRate)
{
    auto impl = std::make_unique<Impl>();
    impl->fd = fd;
    impl->file = sf_open_fd(fd, SFM_READ, &impl->info, SF_FALSE);
    if (!impl->file)
        return nullptr;
    if (!isPlayableFormat(impl->info.format) || impl->info.channels < 1 ||
        impl->info.samplerate < 1 || impl->info.frames < 1 || outRate < 1)
        return nullptr;
    impl->channels = impl->info.channels == 1 ? 1 : 2;
    impl->ratio = double(outRate) / double(impl->info.samplerate);
    if (impl->ratio > MaxRatio || impl->ratio < 1.0 / MaxRatio)
        return nullptr;
    if (impl->info.samplerate != outRate) {
        int error = 0;
        impl->resampler = src_new(SRC_SINC_FASTEST, impl->channels, &error);
        if (!impl->resampler)
            return nullptr;
    }
    impl->floats.resize(impl->inputFrames() * std::size_t(impl->info.channels));
    impl->picked.resize(impl->inputFrames() * std::size_t(impl->channels));
    const std::int64_t declared = std::int64_t(double(impl->info.frames) * impl->ratio);
    std::unique_ptr<SoundDecoder> decoder(new SoundDecoder(std::move(impl)));
    decoder->declaredFrames_ = declared;
    decoder->channels_ = decoder->d->channels;
    return decoder;
}

std::size_t SoundDecoder::read(std::int16_t *out, std::size_t maxFrames)
{
    return d->resampler ? readResampled(out, maxFrames) : readDirect(out, maxFrames);
}

std::size_t SoundDecoder::readDirect(std::int16_t *out, std::size_t maxFrames)
{
    std::size_t done = 0;
    while (done < maxFrames && !d->inputDone) {
        const std::size_t want = std::min(maxFrames - done, d->inputFrames());
        // Through float, which holds every 16-bit sample exactly and scales the
        // other encodings the same way.
        const sf_count_t got = sf_readf_float(d->file, d->floats.data(), sf_count_t(want));
        if (got <= 0) {
            d->inputDone = true;
            break;
        }
        d->pick(d->floats.data(), std::size_t(got), d->picked.data());
        src_float_to_short_array(d->picked.data(), out + done * std::size_t(d->channels),
                                 int(got) * d->channels);
        done += std::size_t(got);
    }
    return done;
}

std::size_t SoundDecoder::readResampled(std::int16_t *out, std::size_t maxFrames)
{
    const std::size_t ch = std::size_t(d->channels);
    d->resampled.resize(maxFrames * ch);
    std::size_t done = 0;
    while (done < maxFrames) {
        if (d->pickedFrames == 0 && !d->inputDone) {
            const sf_count_t got =
                sf_readf_float(d->file, d->floats.data(), sf_count_t(d->inputFrames()));
            if (got <= 0)
                d->inputDone = true;
            else
                d->pick(d->floats.data(), std::size_t(got), d->picked.data());
            d->pickedFrames = got > 0 ? std::size_t(got) : 0;
        }
        SRC_DATA data{};
        data.data_in = d->picked.data();
        data.input_frames = long(d->pickedFrames);
        data.data_out = d->resampled.data() + done * ch;
        data.output_frames = long(maxFrames - done);
        data.end_of_input = d->inputDone ? 1 : 0;
        data.src_ratio = d->ratio;
        if (src_process(d->resampler, &data) != 0)
            break;
        const std::size_t used = std::size_t(data.input_frames_used);
        std::copy(d->picked.begin() + std::ptrdiff_t(used * ch),
                  d->picked.begin() + std::ptrdiff_t(d->pickedFrames * ch), d->picked.begin());
        d->pickedFrames -= used;
        done += std::size_t(data.output_frames_gen);
        if (data.output_frames_gen == 0 && (d->inputDone || used == 0))
            break; // drained, or a resampler that takes nothing more
    }
    src_float_to_short_array(d->resampled.data(), out, int(done * ch));
    return done;
}

#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// Reads a sound file (WAVE, AIFF, FLAC, Ogg Vorbis, Opus or MP3, told by its
// content) piece by piece as interleaved 16-bit mono or stereo at the output's
// rate, so that neither a long file nor a header that lies about its length or
// rate can make the player hold more than one piece at a time.
class SoundDecoder {
public:
    // Takes ownership of fd. Null when the file is none of those or cannot be
    // played at outRate (unknown encoding, no frames, a rate too far from outRate).
    static std::unique_ptr<SoundDecoder> open(int fd, int outRate);
    ~SoundDecoder();

    SoundDecoder(const SoundDecoder &) = delete;
    SoundDecoder &operator=(const SoundDecoder &) = delete;

    // 1 for a mono file, else 2: of more channels the first two (front left and
    // right) are read.
    int channels() const { return channels_; }

    // Up to maxFrames frames into out; 0 once the file is exhausted or unreadable.
    std::size_t read(std::int16_t *out, std::size_t maxFrames);

    // Output frames the header promises; a truncated file delivers fewer.
    std::int64_t declaredFrames() const { return declaredFrames_; }

private:
    struct Impl;
    explicit SoundDecoder(std::unique_ptr<Impl> impl);
    std::size_t readDirect(std::int16_t *out, std::size_t maxFrames);
    std::size_t readResampled(std::int16_t *out, std::size_t maxFrames);

    std::unique_ptr<Impl> d;
    std::int64_t declaredFrames_ = 0;
    int channels_ = 2;
};

#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// A decoded sound kept whole: interleaved 16-bit mono or stereo at the output's
// rate. Mono stays mono here, half the memory; it is spread when played.
struct Pcm {
    std::vector<std::int16_t> samples;
    int channels = 2;
    std::size_t frames() const { return samples.size() / std::size_t(channels); }
    std::size_t bytes() const { return samples.capacity() * sizeof(std::int16_t); }
};

// Frames passed from the decoding thread to the output's thread while a long
// file plays; one writer, one reader, no locks on either side.
class FrameRing {
public:
    explicit FrameRing(std::size_t frames);

    std::size_t writable() const;
    void write(const std::int16_t *frames, std::size_t count);
    std::size_t read(std::int16_t *out, std::size_t count);
    void finish() { finished_.store(true, std::memory_order_release); }
    bool finished() const { return finished_.load(std::memory_order_acquire); }
    std::size_t bytes() const { return buffer_.size() * sizeof(std::int16_t); }

private:
    std::vector<std::int16_t> buffer_;
    const std::size_t capacity_;
    std::atomic<std::size_t> written_{0};
    std::atomic<std::size_t> read_{0};
    std::atomic<bool> finished_{false};
};

// One sound on its way to the speakers, read only by the output's thread, always
// as interleaved stereo.
class Voice {
public:
    explicit Voice(std::shared_ptr<const Pcm> whole, std::shared_ptr<FrameRing> rest = nullptr);
    explicit Voice(std::shared_ptr<FrameRing> stream);

    // Up to count frames; fewer only at the end of the sound (a stream the decoder
    // has not kept up with is padded with silence rather than cut short).
    std::size_t read(std::int16_t *out, std::size_t count);
    bool ended() const { return ended_; }

    Voice *retiredNext = nullptr; // link in an output's list of voices to free

private:
    std::shared_ptr<const Pcm> whole_;
    std::shared_ptr<FrameRing> stream_;
    std::size_t position_ = 0;
    bool ended_ = false;
};

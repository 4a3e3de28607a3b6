#include "audio/voice.h"

#include <algorithm>
#include <cstring>

FrameRing::FrameRing(std::size_t frames)
    : buffer_(frames * 2)
    , capacity_(frames)
{
}

std::size_t FrameRing::writable() const
{
    return capacity_ -
           (written_.load(std::memory_order_relaxed) - read_.load(std::memory_order_acquire));
}

void FrameRing::write(const std::int16_t *frames, std::size_t count)
{
    std::size_t at = written_.load(std::memory_order_relaxed);
    count = std::min(count, writable());
    for (std::size_t done = 0; done < count;) {
        const std::size_t slot = at % capacity_;
        const std::size_t n = std::min(count - done, capacity_ - slot);
        std::memcpy(&buffer_[slot * 2], frames + done * 2, n * 2 * sizeof(std::int16_t));
        done += n;
        at += n;
    }
    written_.store(at, std::memory_order_release);
}

std::size_t FrameRing::read(std::int16_t *out, std::size_t count)
{
    std::size_t at = read_.load(std::memory_order_relaxed);
    count = std::min(count, written_.load(std::memory_order_acquire) - at);
    for (std::size_t done = 0; done < count;) {
        const std::size_t slot = at % capacity_;
        const std::size_t n = std::min(count - done, capacity_ - slot);
        std::memcpy(out + done * 2, &buffer_[slot * 2], n * 2 * sizeof(std::int16_t));
        done += n;
        at += n;
    }
    read_.store(at, std::memory_order_release);
    return count;
}

Voice::Voice(std::shared_ptr<const Pcm> whole, std::shared_ptr<FrameRing> rest)
    : whole_(std::move(whole))
    , stream_(std::move(rest))
{
}

Voice::Voice(std::shared_ptr<FrameRing> stream)
    : stream_(std::move(stream))
{
}

std::size_t Voice::read(std::int16_t *out, std::size_t count)
{
    if (ended_)
        return 0;
    std::size_t done = 0;
    if (whole_ && position_ < whole_->frames()) {
        done = std::min(count, whole_->frames() - position_);
        const std::int16_t *from =
            whole_->samples.data() + position_ * std::size_t(whole_->channels);
        if (whole_->channels == 2) {
            std::memcpy(out, from, done * 2 * sizeof(std::int16_t));
        } else {
            for (std::size_t i = 0; i < done; ++i)
                out[2 * i] = out[2 * i + 1] = from[i];
        }
        position_ += done;
    }
    if (done == count)
        return done;
    if (!stream_) {
        ended_ = true;
        return done;
    }
    // Read "finished" first: frames written before it was set are then all visible.
    const bool last = stream_->finished();
    const std::size_t n = stream_->read(out + done * 2, count - done);
    done += n;
    if (done < count && last) {
        ended_ = true;
        return done;
    }
    std::memset(out + done * 2, 0, (count - done) * 2 * sizeof(std::int16_t));
    return count;
}

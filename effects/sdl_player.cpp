#include "sdl_player.h"

#include <SDL.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace {

// Reads a regular file whole. Opening non-blocking keeps a FIFO or device node
// named like an effect from stalling the worker; only regular files are read.
bool readRegularFile(const std::string &path, std::size_t maxBytes, struct stat &st,
                     std::vector<std::uint8_t> &out)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return false;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
              std::size_t(st.st_size) <= maxBytes;
    if (ok) {
        out.resize(std::size_t(st.st_size));
        std::size_t got = 0;
        while (got < out.size()) {
            const ssize_t n = ::read(fd, out.data() + got, out.size() - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += std::size_t(n);
        }
        out.resize(got);
        ok = got > 0;
    }
    ::close(fd);
    return ok;
}

std::int64_t mtimeNs(const struct stat &st)
{
    return std::int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

} // namespace

SdlEffectPlayer::SdlEffectPlayer(const SdlPlayerOptions &options)
    : options_(options)
    , worker_([this] { run(); })
{
}

SdlEffectPlayer::~SdlEffectPlayer()
{
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
    worker_.join();
}

void SdlEffectPlayer::play(const std::string &utf8Path)
{
    {
        std::lock_guard lock(mutex_);
        pendingPath_ = utf8Path;
        ++requestSeq_;
    }
    wake_.notify_one();
}

void SdlEffectPlayer::waitUntilHandled()
{
    std::unique_lock lock(mutex_);
    handled_.wait(lock, [this] { return handledSeq_ == requestSeq_ || quit_; });
}

bool SdlEffectPlayer::isDeviceOpen() const
{
    return device_.load() != 0;
}

void SdlEffectPlayer::run()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        const auto hasWork = [this] { return quit_ || handledSeq_ != requestSeq_; };
        if (device_ != 0) {
            if (!wake_.wait_until(lock, idleDeadline_, hasWork)) {
                lock.unlock();
                closeDevice();
                lock.lock();
                continue;
            }
        } else {
            wake_.wait(lock, hasWork);
        }
        if (quit_)
            break;
        const std::string path = pendingPath_;
        const std::uint64_t seq = requestSeq_;
        lock.unlock();
        handle(path, seq);
        lock.lock();
        // Requests that arrived meanwhile are folded into the newest one.
        if (requestSeq_ == seq) {
            handledSeq_ = seq;
            handled_.notify_all();
        }
    }
    lock.unlock();
    closeDevice();
    if (sdlReady_)
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
    lock.lock();
    handledSeq_ = requestSeq_;
    handled_.notify_all();
}

void SdlEffectPlayer::handle(const std::string &path, std::uint64_t seq)
{
    if (!ensureDevice())
        return; // nothing to play on; the next request tries again
    std::shared_ptr<const Sound> sound = cached(path);
    if (!sound) {
        // Every request silences the previous sound at once, also one whose file
        // turns out unusable or takes a while to decode.
        startVoice(nullptr);
        sound = load(path);
    }
    {
        std::lock_guard lock(mutex_);
        if (requestSeq_ != seq)
            return; // superseded while decoding: the newer press wins
    }
    startVoice(std::move(sound));
}

std::shared_ptr<const SdlEffectPlayer::Sound> SdlEffectPlayer::cached(const std::string &path)
{
    auto it = cache_.find(path);
    if (it == cache_.end())
        return nullptr;
    // A stat per request: a file added or replaced meanwhile is noticed at once.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || it->second.size != st.st_size ||
        it->second.mtimeNs != mtimeNs(st) || it->second.inode != st.st_ino)
        return nullptr;
    it->second.lastUse = ++useCounter_;
    return it->second.sound;
}

std::shared_ptr<const SdlEffectPlayer::Sound> SdlEffectPlayer::load(const std::string &path)
{
    struct stat st {};
    std::vector<std::uint8_t> bytes;
    if (!readRegularFile(path, options_.maxFileBytes, st, bytes))
        return nullptr;
    auto sound = decode(bytes, options_.sampleRate, options_.channels);
    if (sound)
        remember(path, {st.st_size, mtimeNs(st), st.st_ino, ++useCounter_, sound});
    return sound;
}

void SdlEffectPlayer::remember(const std::string &path, const CacheEntry &entry)
{
    if (auto old = cache_.find(path); old != cache_.end()) {
        cacheBytes_ -= old->second.sound->samples.size() * sizeof(std::int16_t);
        cache_.erase(old);
    }
    const std::size_t bytes = entry.sound->samples.size() * sizeof(std::int16_t);
    if (bytes > options_.cacheBudgetBytes)
        return;
    while (cacheBytes_ + bytes > options_.cacheBudgetBytes && !cache_.empty()) {
        auto oldest = std::min_element(cache_.begin(), cache_.end(), [](auto &a, auto &b) {
            return a.second.lastUse < b.second.lastUse;
        });
        cacheBytes_ -= oldest->second.sound->samples.size() * sizeof(std::int16_t);
        cache_.erase(oldest);
    }
    cache_.emplace(path, entry);
    cacheBytes_ += bytes;
}

std::shared_ptr<const SdlEffectPlayer::Sound>
SdlEffectPlayer::decode(const std::vector<std::uint8_t> &file, int rate, int channels)
{
    SDL_RWops *rw = SDL_RWFromConstMem(file.data(), int(file.size()));
    if (!rw)
        return nullptr;
    SDL_AudioSpec spec{};
    Uint8 *pcm = nullptr;
    Uint32 pcmLen = 0;
    if (!SDL_LoadWAV_RW(rw, 1, &spec, &pcm, &pcmLen))
        return nullptr;

    std::shared_ptr<Sound> sound;
    SDL_AudioStream *stream = SDL_NewAudioStream(spec.format, spec.channels, int(spec.freq),
                                                 AUDIO_S16SYS, Uint8(channels), rate);
    if (stream) {
        // SDL 2.26 drops resampled data when one put yields more than a few
        // thousand output frames, so feed it in slices of about 1024 output frames
        // and drain after each.
        const int frameBytes = SDL_AUDIO_BITSIZE(spec.format) / 8 * spec.channels;
        const int sliceFrames = std::max(16, int(1024LL * spec.freq / rate));
        const Uint32 slice = Uint32(sliceFrames * frameBytes);
        auto out = std::make_shared<Sound>();
        std::vector<std::int16_t> chunk(16384);
        const auto drain = [&] {
            int got;
            while ((got = SDL_AudioStreamGet(stream, chunk.data(),
                                             int(chunk.size() * sizeof(std::int16_t)))) > 0)
                out->samples.insert(out->samples.end(), chunk.begin(),
                                    chunk.begin() + got / int(sizeof(std::int16_t)));
        };
        bool ok = true;
        for (Uint32 at = 0; ok && at < pcmLen; at += slice) {
            ok = SDL_AudioStreamPut(stream, pcm + at, int(std::min(slice, pcmLen - at))) == 0;
            drain();
        }
        if (ok && SDL_AudioStreamFlush(stream) == 0)
            drain();
        if (ok && !out->samples.empty())
            sound = std::move(out);
    }
    SDL_FreeAudioStream(stream);
    SDL_FreeWAV(pcm);
    return sound;
}

bool SdlEffectPlayer::ensureDevice()
{
    if (device_ != 0 && SDL_GetAudioDeviceStatus(device_) == SDL_AUDIO_STOPPED)
        closeDevice(); // lost (server gone, device unplugged): open afresh below
    if (device_ != 0)
        return true;
    if (!sdlReady_) {
        SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
        SDL_SetHint(SDL_HINT_AUDIO_DEVICE_APP_NAME, "Zembra");
        SDL_SetHint(SDL_HINT_AUDIO_DEVICE_STREAM_NAME, "Efekt");
        sdlReady_ = SDL_InitSubSystem(SDL_INIT_AUDIO) == 0;
        if (!sdlReady_)
            return false;
    }
    SDL_AudioSpec want{};
    want.freq = options_.sampleRate;
    want.format = AUDIO_S16SYS;
    want.channels = Uint8(options_.channels);
    want.samples = Uint16(options_.bufferFrames);
    want.callback = &SdlEffectPlayer::fill;
    want.userdata = this;
    SDL_AudioSpec have{};
    // No allowed changes: SDL converts to the hardware, so decoded sounds match the device.
    const SDL_AudioDeviceID id = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
    if (id == 0)
        return false;
    device_ = id;
    SDL_PauseAudioDevice(id, 0);
    return true;
}

void SdlEffectPlayer::closeDevice()
{
    const SDL_AudioDeviceID id = device_.exchange(0);
    if (id != 0)
        SDL_CloseAudioDevice(id);
    voice_.reset();
    voicePos_ = 0;
}

void SdlEffectPlayer::startVoice(std::shared_ptr<const Sound> sound)
{
    const std::size_t frames = sound ? sound->samples.size() / std::size_t(options_.channels) : 0;
    std::shared_ptr<const Sound> previous;
    SDL_LockAudioDevice(device_);
    previous = std::exchange(voice_, std::move(sound));
    voicePos_ = 0;
    SDL_UnlockAudioDevice(device_);
    // Keep the device until the sound has ended plus the idle grace period.
    idleDeadline_ = std::chrono::steady_clock::now() +
                    std::chrono::microseconds(frames * 1000000 / std::size_t(options_.sampleRate)) +
                    options_.idleClose;
}

void SdlEffectPlayer::fill(void *userdata, std::uint8_t *stream, int len)
{
    auto *self = static_cast<SdlEffectPlayer *>(userdata);
    std::size_t written = 0;
    if (self->voice_) {
        const auto &samples = self->voice_->samples;
        const std::size_t left = (samples.size() - self->voicePos_) * sizeof(std::int16_t);
        written = std::min(left, std::size_t(len));
        std::memcpy(stream, samples.data() + self->voicePos_, written);
        self->voicePos_ += written / sizeof(std::int16_t);
    }
    std::memset(stream + written, 0, std::size_t(len) - written);
}

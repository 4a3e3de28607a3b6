#pragma once

#include "effect_player.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

struct SdlPlayerOptions {
    int sampleRate = 44100;
    int channels = 2;
    // 128 frames keep press-to-sound near 5 ms on PulseAudio.
    int bufferFrames = 128;
    // An idle device is closed so that a silent program costs no CPU, here or in
    // the sound server; reopening it costs no measurable latency.
    std::chrono::milliseconds idleClose{1000};
    std::size_t cacheBudgetBytes = std::size_t(64) << 20;
    std::size_t maxFileBytes = std::size_t(256) << 20;
};

// One voice on one long-lived SDL output device. play() only hands the path to a
// worker thread, which reads, decodes, converts and starts it; a newer request
// replaces the sound at once.
class SdlEffectPlayer final : public EffectPlayer {
public:
    explicit SdlEffectPlayer(const SdlPlayerOptions &options = {});
    ~SdlEffectPlayer() override;

    SdlEffectPlayer(const SdlEffectPlayer &) = delete;
    SdlEffectPlayer &operator=(const SdlEffectPlayer &) = delete;

    void play(const std::string &utf8Path) override;

    // Blocks until every request made so far has been acted on.
    void waitUntilHandled();
    bool isDeviceOpen() const;
    const SdlPlayerOptions &options() const { return options_; }

    struct Sound {
        std::vector<std::int16_t> samples; // interleaved, in the device format
    };

    // Decodes a whole RIFF WAVE image into the given output format; null if SDL
    // cannot read it. Exposed for tests and tools.
    static std::shared_ptr<const Sound> decode(const std::vector<std::uint8_t> &file, int rate,
                                               int channels);

private:
    struct CacheEntry {
        std::int64_t size = 0;
        std::int64_t mtimeNs = 0;
        std::uint64_t inode = 0;
        std::uint64_t lastUse = 0;
        std::shared_ptr<const Sound> sound;
    };

    void run();
    void handle(const std::string &path, std::uint64_t seq);
    std::shared_ptr<const Sound> cached(const std::string &path);
    std::shared_ptr<const Sound> load(const std::string &path);
    void remember(const std::string &path, const CacheEntry &entry);
    bool ensureDevice();
    void closeDevice();
    void startVoice(std::shared_ptr<const Sound> sound);
    static void fill(void *userdata, std::uint8_t *stream, int len);

    const SdlPlayerOptions options_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable handled_;
    std::string pendingPath_;
    std::uint64_t requestSeq_ = 0;
    std::uint64_t handledSeq_ = 0;
    bool quit_ = false;

    // Worker thread only.
    bool sdlReady_ = false;
    std::unordered_map<std::string, CacheEntry> cache_;
    std::size_t cacheBytes_ = 0;
    std::uint64_t useCounter_ = 0;
    std::chrono::steady_clock::time_point idleDeadline_;

    // Shared with the audio callback under SDL_LockAudioDevice.
    std::atomic<std::uint32_t> device_{0};
    std::shared_ptr<const Sound> voice_;
    std::size_t voicePos_ = 0;

    std::thread worker_;
};

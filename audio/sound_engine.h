#pragma once

#include "audio/effect_player.h"
#include "audio/period_policy.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <thread>
#include <vector>

struct SoundEngineOptions {
    // Nothing played for this long: the output sleeps and costs no CPU.
    std::chrono::milliseconds idleAfter{1000};
    // The start of each sound is kept decoded, so that a press plays at once
    // while the rest is decoded behind it; this much of it, within this budget.
    std::chrono::milliseconds headLength{100};
    std::size_t cacheBudgetBytes = std::size_t(64) << 20;
    // How long a sound server may take to answer before the next one is tried.
    std::chrono::milliseconds connectTimeout{500};
    // After a clean stretch this long, a sound from silence tries a period one
    // step shorter than what missed periods had taught (PipeWire).
    std::chrono::milliseconds stepDownAfter{PeriodPolicy::DefaultStepDownAfter};
    // How long the destructor waits for the worker before leaving it behind.
    std::chrono::milliseconds shutdownWait{150};
};

// One voice on the sound server's own stream: PipeWire or PulseAudio natively,
// SDL for anything else. play() hands the path to a worker thread that decodes
// and starts it; a newer request replaces the sound, or a decode still running,
// at once.
class SoundEngine final : public EffectPlayer {
public:
    explicit SoundEngine(const SoundEngineOptions &options = {});
    ~SoundEngine() override;

    SoundEngine(const SoundEngine &) = delete;
    SoundEngine &operator=(const SoundEngine &) = delete;

    void play(const std::string &utf8Path) override;

    // Decodes the start of these in the background while nothing else is asked
    // for, so that their first press need not.
    void preload(std::vector<std::string> utf8Paths) override;

    void playOut(std::chrono::milliseconds most) override { waitUntilDrained(most); }

    // Blocks until every request made so far has been started (or found silent).
    void waitUntilHandled();
    // Blocks until the sound asked for last has played to its end and left the
    // server, at most `most`.
    void waitUntilDrained(std::chrono::milliseconds most);
    // "pipewire", "pulse", "sdl", or empty while no output is open.
    std::string outputName() const;
    // Frames per second of the open output, 0 while none is open.
    int outputRate() const;
    // The period asked of PipeWire, in frames at the output's rate; 0 on other
    // outputs.
    int outputQuantum() const;
    // Output open and awake.
    bool isAwake() const;
    // Decoded audio and stream buffers the player holds now.
    std::size_t heldBytes() const;
    // The most it has held at any moment.
    std::size_t peakHeldBytes() const;

    struct Core;

private:
    std::shared_ptr<Core> core_;
    std::thread worker_;
};

#pragma once

#include "audio/voice.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

// The one hand-off between the engine's worker and an output's rendering side,
// whatever the backend: the worker posts the voice to play next; the rendering
// side takes it at its next render, retires the one it replaced, and never
// allocates or frees, so it may run on a real-time thread. No locks.
class VoiceSlot {
public:
    VoiceSlot() = default;
    ~VoiceSlot();
    VoiceSlot(const VoiceSlot &) = delete;
    VoiceSlot &operator=(const VoiceSlot &) = delete;

    // Worker: what plays from the next render on. A voice posted earlier and
    // never rendered is dropped unheard.
    void post(std::unique_ptr<Voice> voice);
    // Worker: frees the voices the rendering side has let go of.
    void collect();
    // The voice last posted has been taken and has played out (or was empty);
    // never true in between, whichever thread asks.
    bool drained() const;

    // Rendering side, one thread at a time: count interleaved stereo frames,
    // silence past the end of the voice.
    void render(std::int16_t *out, std::size_t count);

private:
    std::atomic<Voice *> pending_{nullptr};
    std::atomic<Voice *> retired_{nullptr};
    Voice *current_ = nullptr; // rendering side only
    std::atomic<bool> drained_{true};
};

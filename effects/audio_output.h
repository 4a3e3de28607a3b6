#pragma once

#include "effects/voice.h"

#include <chrono>
#include <memory>

// A stream to the sound server (or a device) that plays one voice at a time.
// Driven from one thread, the player's worker; the output reads the voice on its
// own thread.
class AudioOutput {
public:
    virtual ~AudioOutput() = default;

    virtual const char *name() const = 0;
    // Frames per second that voices must be decoded to.
    virtual int rate() const = 0;
    // Replaces what plays by voice at once and wakes the stream if it sleeps.
    virtual void play(std::unique_ptr<Voice> voice) = 0;
    // The voice has played out (or was empty).
    virtual bool drained() const = 0;
    // Nothing to play for a while: stop costing CPU here and in the server.
    // False when only closing the output does that.
    virtual bool sleep() = 0;
    // The server or device went away; only a new output can play again.
    virtual bool lost() const = 0;
};

namespace AudioOutputs {

// Each returns null when its server or device does not answer within timeout.
std::unique_ptr<AudioOutput> openPipeWire(std::chrono::milliseconds timeout);
std::unique_ptr<AudioOutput> openPulse(std::chrono::milliseconds timeout);
// SDL with the driver the user's environment names, or bare ALSA.
std::unique_ptr<AudioOutput> openSdl();

} // namespace AudioOutputs

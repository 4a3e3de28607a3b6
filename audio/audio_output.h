#pragma once

#include "audio/voice_slot.h"

class PeriodPolicy;

#include <atomic>
#include <chrono>
#include <memory>

// A stream to the sound server (or a device) that plays one voice at a time.
// Driven from one thread, the engine's worker; the backend renders the slot on
// its own thread. A backend only connects, activates, sleeps and renders.
class AudioOutput {
public:
    virtual ~AudioOutput() = default;

    virtual const char *name() const = 0;
    // Frames per second that voices must be decoded to.
    virtual int rate() const = 0;
    // Replaces what plays by voice at once and wakes the stream if it sleeps.
    void play(std::unique_ptr<Voice> voice) { activate(std::move(voice)); }
    // The voice has played out (or was empty).
    bool drained() const { return slot_.drained(); }
    // Nothing to play for a while: stop costing CPU here and in the server.
    // False when only closing the output does that.
    virtual bool sleep() = 0;
    // Asked as the output wakes from sleep: false when the server now plays at
    // another rate than the stream's, so that the output is opened again.
    virtual bool fitsServer() { return true; }
    // The server or device went away; only a new output can play again.
    virtual bool lost() const { return lost_.load(); }

    // Called now and then by the worker while awake: a backend that has seen its
    // server miss a period asks for longer ones.
    virtual void adapt() {}
    // Frames per period, at rate(), the stream asks for now; 0 where the backend
    // does not choose.
    virtual int quantum() const { return 0; }

protected:
    // Posts voice to the slot and has the stream render it as soon as it can;
    // a backend that renders under a lock of its own posts under it too, so
    // that nothing of the voice is rendered before the backend is ready for it.
    virtual void activate(std::unique_ptr<Voice> voice) = 0;

    VoiceSlot slot_;
    std::atomic<bool> lost_{false};
};

namespace AudioOutputs {

// The most of a voice an output takes in one go when a press starts it: the
// engine has this much of a sound decoded before it hands the voice over, so
// none of it is silence put in for frames not decoded yet.
constexpr std::chrono::milliseconds FirstWrite{50};

// Each returns null when its server or device does not answer within timeout.
// policy: what this run has learnt of the periods the machine holds; it
// outlives the output, so that what was learnt carries over to the next.
std::unique_ptr<AudioOutput> openPipeWire(std::chrono::milliseconds timeout, PeriodPolicy &policy);
std::unique_ptr<AudioOutput> openPulse(std::chrono::milliseconds timeout);
// SDL with the driver the user's environment names, or bare ALSA.
std::unique_ptr<AudioOutput> openSdl();

} // namespace AudioOutputs

#pragma once

#include <chrono>
#include <functional>
#include <memory>

// "Zembra mikrofonu" made of PipeWire's own blocks, in this process: the
// loopback module, whose playback side is a virtual Audio/Source, and links
// made through the link factory. Its capture side is a stream that nothing
// links by itself; only while something records the microphone are the default
// source and this program's playback streams linked to it (PipeWire mixes at
// the input port). Everything goes with the process, also when it is killed.
class PipeWireMicrophone {
public:
    // changed: called on PipeWire's thread whenever the graph changed.
    PipeWireMicrophone(std::chrono::milliseconds timeout, std::function<void()> changed);
    ~PipeWireMicrophone();

    PipeWireMicrophone(const PipeWireMicrophone &) = delete;
    PipeWireMicrophone &operator=(const PipeWireMicrophone &) = delete;

    // False where no PipeWire daemon answers.
    bool connect();
    // Brings the graph in line with the choice; returns when the server has,
    // whether something records the microphone.
    bool reconcile(bool on);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

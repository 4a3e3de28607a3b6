#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <thread>

// "Zembra mikrofonu": a source made of the sound server's own blocks that
// carries the user's default microphone and every sound this program plays.
//
// On a PipeWire daemon: its loopback module in this process (PipeWireMicrophone).
//
// On a PulseAudio server: a null sink mixes, a remapped source offers its monitor as the
// microphone. Only while something records that source are the real
// microphone and this program's stream routed into the mix (a loopback from
// the default source; the program's stream moved to a combined sink that the
// server copies to the room's sink and the mix), so the real microphone is
// never open merely because the feature is on, and the room does not hear the
// voice.
//
// Everything made carries application.id=zembra and this process's id, so
// that what a killed copy left behind is removed by the next; a copy that
// finds a live copy's microphone uses it rather than making a second. A move
// of our stream is undone when nothing records any more, and moving it back to
// the default sink lets the server's stream-restore forget the move.
class VirtualMicrophone {
public:
    static constexpr const char *SourceName = "zembra_mic";
    static constexpr const char *MixSinkName = "zembra_mic_mix";
    static constexpr const char *Description = "Zembra mikrofonu";

    // Also removes, in the background, what copies that no longer run left.
    explicit VirtualMicrophone(std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));
    // Removes what this copy made.
    ~VirtualMicrophone();

    VirtualMicrophone(const VirtualMicrophone &) = delete;
    VirtualMicrophone &operator=(const VirtualMicrophone &) = delete;

    // Makes or removes the microphone; returns when the server has done so (or
    // the timeout passed: false).
    bool setOn(bool on);
    // The same without waiting, for a user interface's thread.
    void request(bool on);
    bool isOn() const;
    // Removes what this copy made, now, for ways out that end the process
    // without destructors: setOn(false) without touching the user's choice.
    void removeNow();

    struct Core;

private:
    std::shared_ptr<Core> core_;
    std::thread worker_;
};

#pragma once

#include <chrono>
#include <string>
#include <vector>

// Where a sound request ends up. The program plays through the sound engine; tests and
// benchmarks install their own sink.
class EffectPlayer {
public:
    virtual ~EffectPlayer() = default;
    // Must return at once: called on the user-interface thread for every press.
    virtual void play(const std::string &utf8Path) = 0;
    // Files likely to be asked for soon; a player may prepare them meanwhile.
    virtual void preload(std::vector<std::string> utf8Paths) { (void)utf8Paths; }
    // Waits until the sound asked for last has been heard to its end, at most `most`.
    virtual void playOut(std::chrono::milliseconds most) { (void)most; }
};

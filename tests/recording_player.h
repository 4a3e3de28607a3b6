#pragma once

#include "audio/effect_player.h"

#include <functional>
#include <string>
#include <vector>

// Remembers every request instead of playing it.
class RecordingPlayer : public EffectPlayer {
public:
    void play(const std::string &utf8Path) override
    {
        requests.push_back(utf8Path);
        if (onPlay)
            onPlay(utf8Path);
    }
    std::vector<std::string> requests;
    std::function<void(const std::string &)> onPlay;
};

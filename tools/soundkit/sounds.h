// The 22 demo sounds the pad ships with, in the order the program expects them.
#pragma once

#include <vector>

#include "synth.h"

namespace soundkit {

struct SoundDef {
    const char *file;  // name inside the kit folder
    const char *title; // what the pad labels it, for the log
    Signal (*render)();
};

const std::vector<SoundDef> &soundKit();

} // namespace soundkit

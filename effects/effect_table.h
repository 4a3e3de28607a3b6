#pragma once

#include <array>

// One row per effect button; captions and status texts are UTF-8.
struct EffectRow {
    const char *caption;
    const char *statusText;
    const char *file;
};

namespace Effects {

inline constexpr int Count = 20;
extern const std::array<EffectRow, Count> Table;

inline constexpr const char *IntroFile = "00.tzk";
inline constexpr const char *ClosingFile = "01.tzk";
inline constexpr const char *VersionBanner = " Zembra  V.1.0";

} // namespace Effects

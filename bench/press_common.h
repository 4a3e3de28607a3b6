#pragma once

// Shared by the press-to-sound bench and its floor clients: one clock, the test
// tones and a reader and writer for the plain 16-bit WAVE files they use.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <time.h>
#include <vector>

namespace Bench {

// Every time stamp in the bench, in every process: presses, chunk arrivals, the
// PipeWire graph's cycle times.
inline std::int64_t nowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

inline void sleepUntilNs(std::int64_t t)
{
    timespec ts{time_t(t / 1000000000), long(t % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) != 0) {
    }
}

constexpr int ToneRate = 44100;
constexpr int ToneChannels = 2;
constexpr int ToneAmplitude = 16000; // -6 dBFS
// Far above the resampler's ripple, far below the tones; silence is exact zeros.
constexpr int Threshold = 1000;
constexpr int ToneMs = 30;
constexpr int ToneSilenceMs = 120;

// Every tone, a factor of 1.5 apart so that zero crossings tell them apart
// even from a few milliseconds: the burst's two sounds at the ends, and one per
// contender (a..e) between them, so that a late sound is still given to the
// right press.
constexpr double PitchHz[] = {400, 600, 900, 1350, 2025, 3040, 4560};
constexpr int PitchCount = 7;
constexpr int BurstLow = 0;
constexpr int BurstHigh = 6;
constexpr int ContenderCount = 5;
inline int contenderPitch(int letter)
{
    return 1 + letter;
}

struct Sound {
    int rate = 0;
    int channels = 0;
    std::vector<std::int16_t> samples; // interleaved
    std::size_t frames() const { return channels ? samples.size() / std::size_t(channels) : 0; }
};

// Starts at full swing at once: no fade-in to blur the onset. The trailing
// silence is there for players that cut a file's last few tens of
// milliseconds (pw-play does).
inline Sound tone(double hz, int ms, int silenceMs = 0)
{
    Sound s{ToneRate, ToneChannels, {}};
    const std::size_t frames = std::size_t(ToneRate) * std::size_t(ms) / 1000;
    s.samples.resize((frames + std::size_t(ToneRate) * std::size_t(silenceMs) / 1000) *
                     ToneChannels);
    for (std::size_t i = 0; i < frames; ++i) {
        const auto v = std::int16_t(
            std::lround(ToneAmplitude * std::sin(2 * M_PI * hz * double(i) / ToneRate)));
        for (int c = 0; c < ToneChannels; ++c)
            s.samples[i * ToneChannels + std::size_t(c)] = v;
    }
    return s;
}

inline Sound silence(int ms)
{
    Sound s{ToneRate, ToneChannels, {}};
    s.samples.assign(std::size_t(ToneRate) * std::size_t(ms) / 1000 * ToneChannels, 0);
    return s;
}

inline void putLe(std::vector<std::uint8_t> &out, std::uint32_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(std::uint8_t(v >> (8 * i)));
}

inline bool writeWav(const std::string &path, const Sound &s)
{
    const auto dataBytes = std::uint32_t(s.samples.size() * 2);
    std::vector<std::uint8_t> out;
    out.insert(out.end(), {'R', 'I', 'F', 'F'});
    putLe(out, 36 + dataBytes, 4);
    out.insert(out.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    putLe(out, 16, 4);
    putLe(out, 1, 2); // PCM
    putLe(out, std::uint32_t(s.channels), 2);
    putLe(out, std::uint32_t(s.rate), 4);
    putLe(out, std::uint32_t(s.rate * s.channels * 2), 4);
    putLe(out, std::uint32_t(s.channels * 2), 2);
    putLe(out, 16, 2);
    out.insert(out.end(), {'d', 'a', 't', 'a'});
    putLe(out, dataBytes, 4);
    for (std::int16_t v : s.samples)
        putLe(out, std::uint16_t(v), 2);
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    const bool ok = std::fwrite(out.data(), 1, out.size(), f) == out.size();
    return std::fclose(f) == 0 && ok;
}

// Reads the 16-bit PCM files writeWav makes, skipping chunks it does not need.
inline bool readWav(const std::string &path, Sound *s)
{
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    std::vector<std::uint8_t> b;
    std::uint8_t buf[65536];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
        b.insert(b.end(), buf, buf + n);
    std::fclose(f);
    const auto le = [&](std::size_t at, int bytes) {
        std::uint32_t v = 0;
        for (int i = 0; i < bytes; ++i)
            v |= std::uint32_t(b[at + std::size_t(i)]) << (8 * i);
        return v;
    };
    if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) != 0 ||
        std::memcmp(b.data() + 8, "WAVE", 4) != 0)
        return false;
    bool haveFormat = false;
    for (std::size_t at = 12; at + 8 <= b.size();) {
        const std::uint32_t size = le(at + 4, 4);
        const std::size_t body = at + 8;
        if (body + size > b.size())
            return false;
        if (std::memcmp(b.data() + at, "fmt ", 4) == 0 && size >= 16) {
            if (le(body, 2) != 1 || le(body + 14, 2) != 16)
                return false;
            s->channels = int(le(body + 2, 2));
            s->rate = int(le(body + 4, 4));
            haveFormat = s->channels > 0 && s->rate > 0;
        } else if (std::memcmp(b.data() + at, "data", 4) == 0 && haveFormat) {
            s->samples.resize(size / 2);
            for (std::size_t i = 0; i < s->samples.size(); ++i)
                s->samples[i] = std::int16_t(le(body + 2 * i, 2));
            return true;
        }
        at = body + size + (size & 1);
    }
    return false;
}

} // namespace Bench

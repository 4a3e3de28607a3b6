// The gaps bench's reading of a recording: a sound's extent, its gaps, and what
// the recorder itself missed.

#include "gap_analysis.h"
#include "press_common.h"

#include <cmath>
#include <cstdio>
#include <string>

using namespace Bench;

namespace {

int failures = 0;

void check(bool ok, const std::string &what)
{
    if (!ok) {
        ++failures;
        std::printf("FAIL: %s\n", what.c_str());
    }
}

constexpr int Rate = 48000;
constexpr std::size_t Period = 64;

// A passive recording in 64-frame cycles: `frames` of a 997 Hz tone from
// `toneFrom`, the rest silence; cycle i stamped i periods after time 0.
Capture recording(std::size_t frames, std::size_t toneFrom, std::size_t toneFrames)
{
    Capture c;
    c.rate = Rate;
    c.channels = 2;
    c.samples.assign(frames * 2, 0);
    for (std::size_t i = 0; i < toneFrames && toneFrom + i < frames; ++i) {
        const auto v = std::int16_t(ToneAmplitude * std::sin(2 * M_PI * 997 * double(i) / Rate));
        c.samples[2 * (toneFrom + i)] = c.samples[2 * (toneFrom + i) + 1] = v;
    }
    for (std::size_t f = 0; f < frames; f += Period)
        c.chunks.push_back({std::int64_t(double(f) * 1e9 / Rate), 0, f,
                            std::min(Period, frames - f), int(Period), false});
    return c;
}

void silence(Capture &c, std::size_t from, std::size_t frames, int level = 0, int channels = 2)
{
    for (std::size_t f = from; f < from + frames; ++f)
        for (int ch = 0; ch < channels; ++ch)
            c.samples[2 * f + std::size_t(ch)] = std::int16_t(f % 2 ? level : -level);
}

void gaps()
{
    struct Case {
        const char *name;
        void (*plant)(Capture &);
        std::vector<std::size_t> expected;
    };
    const Case cases[] = {
        {"a whole tone has none", [](Capture &) {}, {}},
        {"11 frames are no gap, 12 are",
         [](Capture &c) {
             silence(c, 2000, 11);
             silence(c, 3000, 12);
         },
         {12}},
        {"a lost period and two in a row",
         [](Capture &c) {
             silence(c, 1024, Period);
             silence(c, 4096, 2 * Period);
         },
         {Period, 2 * Period}},
        {"near zero counts as silence", [](Capture &c) { silence(c, 2000, 40, NearZero); }, {40}},
        {"above near zero does not", [](Capture &c) { silence(c, 2000, 40, NearZero + 1); }, {}},
        {"one channel still sounding is no gap",
         [](Capture &c) { silence(c, 2000, 100, 0, 1); },
         {}},
        {"one period silent in every twelve",
         [](Capture &c) {
             for (std::size_t f = 1000 + 11 * Period; f + Period < 1000 + 9600; f += 12 * Period)
                 silence(c, f, Period);
         },
         std::vector<std::size_t>(12, Period)},
    };
    for (const Case &k : cases) {
        Capture c = recording(20000, 1000, 9600); // 200 ms of tone
        k.plant(c);
        const SoundGaps g = findGaps(c, 0, c.frames(), Threshold);
        check(g.heard && g.gapFrames == k.expected, std::string(k.name) + ": gaps");
        std::size_t lost = 0;
        for (std::size_t n : k.expected)
            lost += n;
        check(g.lostFrames == lost, std::string(k.name) + ": frames lost");
    }
}

void extent()
{
    Capture c = recording(30000, 1000, 9600);
    // The silence around a sound is none of its gaps, and a sound outside the
    // stretch asked about is not looked at.
    SoundGaps g = findGaps(c, 0, 20000, Threshold);
    check(g.heard && g.gapFrames.empty(), "silence around the sound is no gap");
    check(g.firstFrame >= 1000 && g.firstFrame < 1004 && g.lastFrame > 10590 && g.lastFrame < 10600,
          "the sound lies from its first to its last loud frame");
    check(!findGaps(c, 12000, 30000, Threshold).heard, "nothing heard after the sound");
    g = findGaps(c, 0, 5000, Threshold);
    check(g.heard && g.lastFrame < 5000, "a stretch cuts the sound");
}

void recorder()
{
    Capture c = recording(64000, 1000, 9600);
    check(frameAt(c, 0) == 0, "frame at the start");
    check(frameAt(c, std::int64_t(100.5 * 1e9 / Rate)) == 100, "frame inside a cycle");
    check(frameAt(c, std::int64_t(1e12)) == c.frames(), "after the end");
    check(recordingHoles(c, 0, c.frames()) == 0, "no holes in a whole recording");
    check(quantumIn(c, 0, c.frames()) == int(Period), "the quantum the cycles ran at");

    // A cycle that never reached the recorder: its chunk is missing, and the
    // clock jumps by two periods.
    Capture missed = c;
    missed.chunks.erase(missed.chunks.begin() + 50);
    for (std::size_t i = 50; i < missed.chunks.size(); ++i)
        missed.chunks[i].firstFrame -= Period;
    check(recordingHoles(missed, 0, missed.frames()) == 1, "a missed cycle is a hole");
    check(recordingHoles(missed, 0, 40 * Period) == 0, "a hole elsewhere is not counted");
    check(frameAt(missed, std::int64_t(50.5 * Period * 1e9 / Rate)) == 50 * Period,
          "time in a missed cycle maps to the next frame recorded");

    Capture told = c;
    told.chunks[30].hole = true;
    check(recordingHoles(told, 0, told.frames()) == 1, "a chunk the server had no data for");

    Capture mixed = c;
    for (std::size_t i = 0; i < 10; ++i)
        mixed.chunks[i].quantum = 1024;
    check(quantumIn(mixed, 0, 10 * Period) == 1024, "the quantum within a stretch");
    for (auto &ch : mixed.chunks)
        ch.quantum = 0;
    check(quantumIn(mixed, 0, mixed.frames()) == 0, "no quantum without the graph's clock");
}

} // namespace

int main()
{
    gaps();
    extent();
    recorder();
    if (failures == 0)
        std::printf("gap analysis: ok\n");
    return failures ? 1 : 0;
}

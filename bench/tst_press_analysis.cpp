// The press-to-sound bench's reading of a recording: onsets, their pitch, which
// press each answers, and the figures.

#include "press_analysis.h"
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

constexpr std::int64_t Ms = 1000000;

// A recording in equal chunks, the first starting at time 0.
Capture recording(int rate, std::size_t frames, std::size_t chunkFrames)
{
    Capture c;
    c.rate = rate;
    c.channels = 2;
    c.samples.assign(frames * 2, 0);
    for (std::size_t f = 0; f < frames; f += chunkFrames)
        c.chunks.push_back({std::int64_t(double(f) * 1e9 / rate), 0, f,
                            std::min(chunkFrames, frames - f), int(chunkFrames), false});
    return c;
}

void addTone(Capture &c, std::size_t from, double hz, double ms, double phase = 0)
{
    const auto frames = std::size_t(ms * c.rate / 1000);
    for (std::size_t i = 0; i < frames && from + i < c.frames(); ++i) {
        const auto v =
            std::int16_t(ToneAmplitude * std::sin(phase + 2 * M_PI * hz * double(i) / c.rate));
        c.samples[2 * (from + i)] = c.samples[2 * (from + i) + 1] = v;
    }
}

const std::vector<double> pitches(std::begin(PitchHz), std::end(PitchHz));

void onsets()
{
    Capture c = recording(48000, 48000, 256);
    addTone(c, 1000, 600, 30);             // mid-chunk: 1000 = 3 * 256 + 232
    addTone(c, 1000 + 1440 + 48, 600, 30); // 1 ms of silence after it: the same sound
    addTone(c, 10000, 3040, 30);
    std::vector<Onset> found = findOnsets(c, Threshold);
    check(found.size() == 2, "two onsets, a 1 ms gap is no new sound");
    if (found.size() == 2) {
        // The first sample above the threshold, at its place in its chunk.
        check(found[0].frame == 1001 &&
                  std::llabs(found[0].atNs - 1001 * 1000000000LL / 48000) < 2000,
              "onset time from the chunk's time and the frame's place in it");
        check(classify(found[0].hz, pitches) == 1 && classify(found[1].hz, pitches) == 5,
              "onset pitches");
        check(found[0].quantum == 256, "onset carries its chunk's quantum");
    }

    // A player that cuts the sound before: the new tone follows with no silence.
    for (int rate : {44100, 48000}) {
        Capture cut = recording(rate, 20000, 64);
        const auto at = std::size_t(rate / 100);         // 10 ms
        const auto splice = at + std::size_t(rate / 50); // 20 ms later
        addTone(cut, at, PitchHz[BurstLow], 20);
        addTone(cut, splice, PitchHz[BurstHigh], 30);
        addTone(cut, splice + std::size_t(rate / 50), PitchHz[BurstLow], 30);
        found = findOnsets(cut, Threshold);
        const double period = 1000.0 / PitchHz[BurstLow];
        check(found.size() == 3 && classify(found[1].hz, pitches) == BurstHigh &&
                  classify(found[2].hz, pitches) == BurstLow &&
                  std::abs(double(found[1].atNs) / 1e6 - 30) < period / 2 &&
                  std::abs(double(found[2].atNs) / 1e6 - 50) < period / 2,
              "tones cutting into each other at " + std::to_string(rate));
    }

    // The same with a short pause at the cut, as a player that fades out first
    // makes: the new tone's onset is its first loud sample.
    Capture paused = recording(48000, 10000, 64);
    addTone(paused, 480, PitchHz[BurstLow], 20);
    addTone(paused, 480 + 960 + 96, PitchHz[BurstHigh], 30); // after 2 ms
    found = findOnsets(paused, Threshold);
    check(found.size() == 2 && found[1].frame >= 1536 && found[1].frame <= 1537 &&
              classify(found[1].hz, pitches) == BurstHigh,
          "a tone after a pause shorter than silence");

    // Two overlapping tones, as separate players make: when the first ends the
    // second was already sounding, and is no new onset.
    Capture mixed = recording(48000, 10000, 64);
    addTone(mixed, 480, PitchHz[BurstLow], 30);
    for (std::size_t i = 0; i < 1440; ++i) { // the high tone from 20 to 50 ms, added
        auto &l = mixed.samples[2 * (1440 + i)];
        l = std::int16_t(l / 2 +
                         8000 * std::sin(2 * M_PI * PitchHz[BurstHigh] * double(i) / 48000));
        mixed.samples[2 * (1440 + i) + 1] = l;
    }
    found = findOnsets(mixed, Threshold);
    check(found.size() == 1, "the end of an overlap is no onset");

    // A recorder that gets data only while something plays: its first chunk
    // after a pause starts with the sound, and that is an onset.
    Capture resumed = recording(48000, 4800, 480);
    for (auto &chunk : resumed.chunks)
        chunk.firstFrameNs += 2000 * Ms; // 2 s after the recording began
    addTone(resumed, 0, PitchHz[1], 30);
    found = findOnsets(resumed, Threshold);
    check(found.size() == 1 && found[0].frame == 1 && found[0].atNs / Ms == 2000,
          "a sound after a pause in the recording");

    Capture late = recording(44100, 20000, 64);
    addTone(late, 0, 900, 30); // already sounding when the recording starts
    addTone(late, 5000, 900, 30);
    found = findOnsets(late, Threshold);
    check(found.size() == 1 && found[0].frame == 5001,
          "a sound under way at the start is no onset");
}

void pitch()
{
    for (int rate : {44100, 48000})
        for (int i = 0; i < PitchCount; ++i)
            for (double phase : {0.0, 1.0, 2.5}) {
                Capture c = recording(rate, 4000, 4000);
                addTone(c, 500, PitchHz[i], 30, phase);
                const std::vector<Onset> found = findOnsets(c, Threshold);
                check(found.size() == 1 && classify(found[0].hz, pitches) == i,
                      "pitch " + std::to_string(PitchHz[i]) + " Hz at " + std::to_string(rate));
            }
    Capture click = recording(48000, 4000, 4000);
    addTone(click, 500, 400, 1.5); // too short to tell
    const std::vector<Onset> found = findOnsets(click, Threshold);
    check(found.size() == 1 && found[0].hz == 0 && classify(found[0].hz, pitches) == -1,
          "a click has no pitch");
    check(classify(3040 * 1.25, pitches) == -1, "between two tones is neither");
}

Onset onset(double ms, int pitch)
{
    return {std::int64_t(ms * Ms), 0, PitchHz[pitch], 64};
}

void spacedMatching()
{
    // One contender's presses 650 ms apart; another contender's tone in between.
    const std::vector<Press> presses{{0, 1}, {650 * Ms, 1}, {1300 * Ms, 1}, {1950 * Ms, 1}};
    const std::vector<Onset> heard{onset(12, 1), onset(100, 3),    // another contender
                                   onset(1312, 1), onset(1340, 1), // a glitch: a second onset
                                   onset(1950 + 700, 1)};          // later than the window
    const Match m = matchOnsets(presses, heard, pitches, {}, 640);
    check(m.latencyMs[0] && std::abs(*m.latencyMs[0] - 12) < 1e-9, "first press heard at 12 ms");
    check(!m.latencyMs[1], "a press with no sound stays unheard, not given the next one's");
    check(m.latencyMs[2] && std::abs(*m.latencyMs[2] - 12) < 1e-9, "third press heard");
    check(!m.latencyMs[3], "a sound after the window is not the press's");
    check(m.unmatchedOnsets == 2, "the glitch and the late sound are counted");
    check(m.quantum[0] == 64 && m.quantum[1] == 0, "quantum per heard press");
}

void burstMatching()
{
    // 20 presses 50 ms apart alternating two tones; the player takes 70 ms, so
    // each sound comes after the next press of the other tone.
    std::vector<Press> presses;
    for (int i = 0; i < 20; ++i)
        presses.push_back({i * 50 * Ms, i % 2 ? BurstHigh : BurstLow});
    std::vector<Onset> heard;
    for (int i = 0; i < 20; ++i)
        if (i != 7) // one press lost
            heard.push_back(onset(i * 50 + 70 + (i % 3) * 4, presses[std::size_t(i)].pitch));
    const Match m = matchOnsets(presses, heard, pitches, {60, 80}, 1000);
    bool right = true;
    for (int i = 0; i < 20; ++i)
        right = right &&
                (i == 7 ? !m.latencyMs[std::size_t(i)]
                        : m.latencyMs[std::size_t(i)] &&
                              std::abs(*m.latencyMs[std::size_t(i)] - 70 - (i % 3) * 4) < 1e-6);
    check(right, "each burst sound to its own press; the lost one stays lost");

    // A slow sound taken for the next press of its pitch would leave that
    // press's own sound without one; the whole burst is weighed.
    const std::vector<Press> four{
        {0, BurstLow}, {50 * Ms, BurstHigh}, {100 * Ms, BurstLow}, {150 * Ms, BurstHigh}};
    const Match jitter = matchOnsets(
        four,
        {onset(60, BurstLow), onset(145, BurstLow), onset(170, BurstHigh), onset(200, BurstHigh)},
        pitches, {45, 90}, 1000);
    check(jitter.latencyMs[1] && std::abs(*jitter.latencyMs[1] - 120) < 1e-6 &&
              jitter.latencyMs[3] && std::abs(*jitter.latencyMs[3] - 50) < 1e-6,
          "a jittery player's sounds each to their own press");

    // Past the range on the high side is likelier than far below it: a slow
    // player's sound 100 ms late, not a fast one 0.4 ms after the next press.
    const std::vector<Press> two{{0, BurstLow}, {50 * Ms, BurstHigh}, {100 * Ms, BurstLow}};
    const Match slow = matchOnsets(two, {onset(100.4, BurstLow)}, pitches, {45, 90}, 1000);
    check(slow.latencyMs[0] && !slow.latencyMs[2], "a late sound goes to the earlier press");
    // Even when a little nearer below it: slower under load is the likelier.
    const Match loaded = matchOnsets(two, {onset(103, BurstLow)}, pitches, {42, 63}, 1000);
    check(loaded.latencyMs[0] && !loaded.latencyMs[2], "a loaded player's sound, not a quick one");
    const Match latest = matchOnsets(two, {onset(100.4, BurstLow)}, pitches, {}, 1000);
    check(latest.latencyMs[2] && !latest.latencyMs[0], "with no range, the latest press");
}

void figures()
{
    std::vector<std::optional<double>> l{5.0, std::nullopt, 1.0, 3.0, 2.0, 4.0};
    const Summary s = summarize(l);
    check(s.heard == 5 && s.pressed == 6, "heard of pressed");
    check(s.median == 3 && s.min == 1 && s.max == 5 && s.p95 == 5, "median, p95, min, max");
    l.push_back(6.0);
    check(summarize(l).median == 3.5, "median of an even count");
    std::vector<std::optional<double>> many;
    for (int i = 1; i <= 40; ++i)
        many.push_back(double(i));
    check(summarize(many).p95 == 38, "p95 by nearest rank");
    check(summarize({std::nullopt}).heard == 0, "nothing heard");
}

} // namespace

int main()
{
    onsets();
    pitch();
    spacedMatching();
    burstMatching();
    figures();
    std::printf("%s\n", failures ? "press analysis: FAILED" : "press analysis: ok");
    return failures ? 1 : 0;
}

// A long session played through in minutes: a busy phase in which the sound
// server stalls now and then while a sound plays, then a quiet phase. Prints
// the period the engine asks for at each press, which presses were heard whole
// on the sink's monitor, and the period it settles on. The wait before a try of
// a shorter period is shortened (--step-down-after-ms), as a session of hours
// would have it at 10 minutes. Run by long_session.sh on a private PipeWire.

#include "audio/log.h"
#include "audio/sound_engine.h"

#include <signal.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
    int rate = 48000;
    int busyPresses = 8, quietPresses = 10;
    int stepDownAfterMs = 5000;
    int daemon = 0;
    std::string work = ".";
};

// Each sample says where in the sound it is: blocks of 20000 frames, each a
// ramp of its own step, so a sound heard in part is told from one heard whole.
std::vector<std::int16_t> positional(std::size_t frames)
{
    static const int steps[] = {7, 9, 11, 13, 17, 19, 21, 23};
    std::vector<std::int16_t> s(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        const std::size_t block = std::min<std::size_t>(i / 20000, 7);
        s[i] = std::int16_t(1000 + int(((i - block * 20000) * std::size_t(steps[block])) % 20000));
    }
    return s;
}

bool writeWave(const std::string &path, const std::vector<std::int16_t> &pcm, int rate)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f)
        return false;
    sf_write_short(f, pcm.data(), sf_count_t(pcm.size()));
    sf_close(f);
    return true;
}

// parecord of the sink's monitor in periods longer than any the engine asks
// for, so that the recording does not set the graph's period.
pid_t record(const std::string &file, int rate)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        const std::string out = "--file-format=wav";
        const std::string r = "--rate=" + std::to_string(rate);
        execlp("parecord", "parecord", "--device=zembra.monitor", "--channels=2", "--format=s16le",
               r.c_str(), "--latency-msec=100", out.c_str(), file.c_str(),
               static_cast<char *>(nullptr));
        _exit(127);
    }
    return pid;
}

// Reads the recording's left side as sounds: whole, or cut and resumed.
struct Heard {
    std::size_t whole = 0, broken = 0;
    std::vector<bool> each;
};
Heard readBack(const std::string &file, const std::vector<std::int16_t> &sound)
{
    SF_INFO info{};
    SNDFILE *f = sf_open(file.c_str(), SFM_READ, &info);
    Heard heard;
    if (!f)
        return heard;
    std::vector<std::int16_t> all(std::size_t(info.frames) * std::size_t(info.channels));
    sf_readf_short(f, all.data(), info.frames);
    sf_close(f);
    std::vector<std::int16_t> left;
    for (std::size_t i = 0; i < all.size(); i += std::size_t(info.channels))
        left.push_back(all[i]);
    // Sounds are a second or more apart: a shorter silence is a gap in one.
    const std::size_t apart = std::size_t(info.samplerate) / 4;
    std::size_t i = 0;
    while (i < left.size()) {
        if (left[i] == 0) {
            ++i;
            continue;
        }
        std::size_t end = i, quiet = 0;
        for (std::size_t k = i; k < left.size() && quiet < apart; ++k) {
            quiet = left[k] == 0 ? quiet + 1 : 0;
            if (left[k] != 0)
                end = k + 1;
        }
        std::size_t n = 0;
        while (i + n < end && n < sound.size() && std::abs(left[i + n] - sound[n]) <= 1)
            ++n;
        const bool whole = n == sound.size() && end - i == sound.size();
        heard.each.push_back(whole);
        (whole ? heard.whole : heard.broken)++;
        i = end;
    }
    return heard;
}

void logToStderr(const char *message)
{
    std::fprintf(stderr, "  engine: %s\n", message);
}

} // namespace

int main(int argc, char *argv[])
{
    Options o;
    for (int k = 1; k + 1 < argc; k += 2) {
        const std::string a = argv[k];
        const int v = std::atoi(argv[k + 1]);
        if (a == "--rate")
            o.rate = v;
        else if (a == "--busy-presses")
            o.busyPresses = v;
        else if (a == "--quiet-presses")
            o.quietPresses = v;
        else if (a == "--step-down-after-ms")
            o.stepDownAfterMs = v;
        else if (a == "--daemon")
            o.daemon = v;
        else if (a == "--work")
            o.work = argv[k + 1];
    }
    if (o.daemon <= 0) {
        std::fprintf(stderr,
                     "usage: %s --daemon PID [--rate R] [--busy-presses N] "
                     "[--quiet-presses N] [--step-down-after-ms MS] [--work DIR]\n",
                     argv[0]);
        return 2;
    }
    if (std::getenv("ZEMBRA_BENCH_VERBOSE"))
        AudioLog::setSink(&logToStderr);
    const auto sound = positional(std::size_t(o.rate)); // 1 s
    const std::string file = o.work + "/sound.wav", rec = o.work + "/session.wav";
    if (!writeWave(file, sound, o.rate))
        return 1;
    const pid_t recorder = record(rec, o.rate);
    std::this_thread::sleep_for(500ms);

    SoundEngineOptions options;
    options.stepDownAfter = std::chrono::milliseconds(o.stepDownAfterMs);
    SoundEngine engine(options);
    const auto start = Clock::now();
    std::printf("%8s %6s %8s %8s\n", "t (s)", "phase", "asked", "after");
    for (int p = 0; p < o.busyPresses + o.quietPresses; ++p) {
        const bool busy = p < o.busyPresses;
        while (engine.isAwake()) // every press from silence
            std::this_thread::sleep_for(20ms);
        engine.play(file);
        engine.waitUntilHandled();
        const int asked = engine.outputQuantum();
        if (busy) {
            // A passing load: the graph's thread held up for 60 ms mid-sound.
            std::this_thread::sleep_for(400ms);
            ::kill(o.daemon, SIGSTOP);
            std::this_thread::sleep_for(60ms);
            ::kill(o.daemon, SIGCONT);
        }
        std::this_thread::sleep_for(1500ms);
        const double t = std::chrono::duration<double>(Clock::now() - start).count();
        std::printf("%8.1f %6s %8d %8d\n", t, busy ? "busy" : "quiet", asked,
                    engine.outputQuantum());
        std::fflush(stdout);
    }
    std::this_thread::sleep_for(500ms);
    ::kill(recorder, SIGINT);
    ::waitpid(recorder, nullptr, 0);
    const Heard heard = readBack(rec, sound);
    std::size_t busyBroken = 0, quietBroken = 0;
    for (std::size_t k = 0; k < heard.each.size(); ++k)
        if (!heard.each[k])
            (int(k) < o.busyPresses ? busyBroken : quietBroken)++;
    std::printf("sounds heard: %zu of %d; with a gap or cut: %zu in the busy phase, %zu in the "
                "quiet phase\n",
                heard.each.size(), o.busyPresses + o.quietPresses, busyBroken, quietBroken);
    const int last = engine.outputQuantum();
    std::printf("settled on %d frames at %d Hz: %.2f ms a period\n", last, o.rate,
                last * 1000.0 / o.rate);
    return 0;
}

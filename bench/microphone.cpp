// What microphone.sh drives: the program's own engine and microphone in a
// process it controls, a click to play, and the reading of a two-sided
// recording (the reference on the left, Zembra's microphone on the right).
//
//   bench_microphone click FILE.wav RATE      a 2 s file: a 5 ms click at 0.5 s
//   bench_microphone run on|off               engine (and microphone): reads
//                                             "play FILE" and "quit" lines, says "ok"
//   bench_microphone delays FILE.raw RATE     per click, right minus left, in ms
#include "audio/sound_engine.h"
#include "audio/virtual_microphone.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

void put32(std::ofstream &out, std::uint32_t v)
{
    out.write(reinterpret_cast<const char *>(&v), 4);
}
void put16(std::ofstream &out, std::uint16_t v)
{
    out.write(reinterpret_cast<const char *>(&v), 2);
}

int click(const char *path, int rate)
{
    std::vector<std::int16_t> s(std::size_t(rate) * 2 * 2);
    const int from = rate / 2, length = rate / 200;
    for (int i = 0; i < length; ++i)
        s[std::size_t(from + i) * 2] = s[std::size_t(from + i) * 2 + 1] =
            std::int16_t(std::lround(12000 * std::sin(2 * M_PI * 1000.0 * i / rate)));
    std::ofstream out(path, std::ios::binary);
    out.write("RIFF", 4);
    put32(out, std::uint32_t(36 + s.size() * 2));
    out.write("WAVEfmt ", 8);
    put32(out, 16);
    put16(out, 1);
    put16(out, 2);
    put32(out, std::uint32_t(rate));
    put32(out, std::uint32_t(rate * 4));
    put16(out, 4);
    put16(out, 16);
    out.write("data", 4);
    put32(out, std::uint32_t(s.size() * 2));
    out.write(reinterpret_cast<const char *>(s.data()), std::streamsize(s.size() * 2));
    return out ? 0 : 1;
}

int run(bool on)
{
    VirtualMicrophone mic;
    if (on && !mic.setOn(true))
        return 1;
    SoundEngine engine;
    std::cout << "ok" << std::endl;
    std::string line;
    while (std::getline(std::cin, line) && line != "quit") {
        if (line.rfind("play ", 0) == 0) {
            engine.play(line.substr(5));
            engine.waitUntilHandled();
        }
        std::cout << "ok";
        if (line == "period")
            std::cout << ' ' << engine.outputQuantum();
        std::cout << std::endl;
    }
    return 0;
}

// Each click starts where a side rises above a tenth of its level after 0.2 s
// of quiet; a left onset is paired with the nearest right one (earlier too).
int delays(const char *path, int rate)
{
    std::ifstream in(path, std::ios::binary);
    in.seekg(0, std::ios::end);
    std::vector<std::int16_t> frames(std::size_t(std::max<std::streamoff>(in.tellg(), 0)) / 2);
    in.seekg(0);
    in.read(reinterpret_cast<char *>(frames.data()), std::streamsize(frames.size() * 2));
    const auto onsets = [&](int side) {
        std::vector<std::size_t> found;
        std::size_t quiet = 0;
        for (std::size_t i = 0; i + 1 < frames.size() / 2; ++i) {
            const int v = std::abs(int(frames[2 * i + std::size_t(side)]));
            if (v > 1200 && quiet >= std::size_t(rate) / 5)
                found.push_back(i);
            quiet = v > 1200 ? 0 : quiet + 1;
        }
        return found;
    };
    const std::vector<std::size_t> left = onsets(0), right = onsets(1);
    std::vector<double> ms;
    for (const std::size_t l : left) {
        double best = 1e9;
        for (const std::size_t r : right)
            if (std::abs(double(r) - double(l)) < std::abs(best))
                best = double(r) - double(l);
        if (std::abs(best) < rate / 2.0)
            ms.push_back(best * 1000.0 / rate);
    }
    if (ms.empty()) {
        std::printf("no click heard on both sides (%zu left, %zu right)\n", left.size(),
                    right.size());
        return 1;
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%zu clicks: median %.2f ms, min %.2f, max %.2f\n", ms.size(), ms[ms.size() / 2],
                ms.front(), ms.back());
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "click" && argc == 4)
        return click(argv[2], std::atoi(argv[3]));
    if (what == "run" && argc == 3)
        return run(std::string(argv[2]) == "on");
    if (what == "delays" && argc == 4)
        return delays(argv[2], std::atoi(argv[3]));
    std::fprintf(stderr, "usage: see bench/microphone.cpp\n");
    return 2;
}

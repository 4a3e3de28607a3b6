// check_onset [--within MS] FILE...
//
// Fails unless every file reaches 10 % of full scale within MS milliseconds (default 2) of its
// first sample. A pad sound that swells in is heard as the button lagging.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "onset.h"

namespace {

constexpr int kTenPercent = 3277; // of 32768

int usage()
{
    std::fprintf(stderr, "usage: check_onset [--within MS] FILE...\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    double withinMs = 2.0;
    int first = 1;
    if (argc > 2 && std::strcmp(argv[1], "--within") == 0) {
        char *end = nullptr;
        withinMs = std::strtod(argv[2], &end);
        if (*end || !(withinMs >= 0))
            return usage();
        first = 3;
    }
    if (first >= argc)
        return usage();

    int bad = 0;
    for (int i = first; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                              std::istreambuf_iterator<char>()};
        soundkit::Pcm16 pcm;
        std::string problem = in ? soundkit::readPcm16(bytes, pcm) : "cannot read";
        double ms = -1;
        if (problem.empty()) {
            const long frame = soundkit::firstFrameReaching(pcm, kTenPercent);
            ms = frame < 0 ? -1 : 1000.0 * frame / pcm.rate;
            if (frame < 0)
                problem = "never reaches 10 % of full scale";
            // Whole frames only: "within 2 ms" at 44.1 kHz means the first 88 of them.
            else if (frame >= static_cast<long>(withinMs * pcm.rate / 1000.0))
                problem = "too slow to start";
        }
        if (problem.empty())
            std::printf("%-8s onset %7.2f ms  ok\n", argv[i], ms);
        else if (ms >= 0)
            std::printf("%-8s onset %7.2f ms  FAIL: %s\n", argv[i], ms, problem.c_str());
        else
            std::printf("%-8s FAIL: %s\n", argv[i], problem.c_str());
        bad += !problem.empty();
    }
    return bad ? 1 : 0;
}

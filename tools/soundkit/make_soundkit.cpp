// make_soundkit DIR          writes the demo kit files that DIR does not have yet
// make_soundkit --check DIR  verifies a complete kit in DIR
//
// The kit folder is also where users keep their own sounds under the same names, so a name
// that is taken by anything at all is left alone.

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "sounds.h"
#include "wav.h"

namespace fs = std::filesystem;
using namespace soundkit;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr double kMaxSeconds = 3.0;
constexpr int kMaxPeak = 29204; // just under -1 dBFS
constexpr double kMinRms = 328; // -40 dBFS: anything quieter is effectively silent
constexpr int kMaxEdge = 328;   // first/last sample; more than that clicks on playback

enum class Presence { Absent, Present, Unknown };

// symlink_status so that a dangling symlink still counts as taken.
Presence presence(const fs::path &p, std::error_code &ec)
{
    const fs::file_status st = fs::symlink_status(p, ec);
    if (st.type() == fs::file_type::not_found) {
        ec.clear();
        return Presence::Absent;
    }
    return ec ? Presence::Unknown : Presence::Present;
}

std::error_code writeNew(const fs::path &p, const Bytes &data)
{
    // "x": never reuse a name that appeared since we looked.
    std::FILE *f = std::fopen(p.string().c_str(), "wbx");
    if (!f)
        return {errno, std::generic_category()};
    std::error_code result;
    if (std::fwrite(data.data(), 1, data.size(), f) != data.size())
        result = {errno, std::generic_category()};
    if (std::fclose(f) != 0 && !result)
        result = {errno, std::generic_category()};
    if (result) {
        std::error_code ignored;
        fs::remove(p, ignored);
    }
    return result;
}

enum class Outcome { Written, Kept, Failed };

Outcome install(const fs::path &dir, const SoundDef &def, std::string &error)
{
    const fs::path target = dir / def.file;
    std::error_code ec;
    switch (presence(target, ec)) {
    case Presence::Present:
        return Outcome::Kept;
    case Presence::Unknown:
        error = ec.message();
        return Outcome::Failed;
    case Presence::Absent:
        break;
    }

    const Bytes data = encodeWav(quantize(def.render()));
    // Write the whole file under a private name first, so an interrupted run never leaves a
    // truncated sound under a real name that later runs would then refuse to replace.
    fs::path tmp;
    for (int attempt = 0;; ++attempt) {
        if (attempt == 100) {
            error = "no free temporary name";
            return Outcome::Failed;
        }
        tmp = dir / ("." + std::string(def.file) + ".part" + std::to_string(attempt));
        if (presence(tmp, ec) != Presence::Absent)
            continue;
        ec = writeNew(tmp, data);
        if (!ec)
            break;
        if (ec != std::errc::file_exists) {
            error = ec.message();
            return Outcome::Failed;
        }
    }

    // A hard link fails if the target exists, which closes the gap between the check above
    // and now. Filesystems without hard links fall back to check-then-rename.
    Outcome result = Outcome::Written;
    fs::create_hard_link(tmp, target, ec);
    if (ec == std::errc::file_exists) {
        result = Outcome::Kept;
    } else if (ec) {
        std::error_code again;
        if (presence(target, again) != Presence::Absent) {
            result = again ? Outcome::Failed : Outcome::Kept;
            error = again.message();
        } else {
            fs::rename(tmp, target, ec);
            if (ec) {
                error = ec.message();
                result = Outcome::Failed;
            }
        }
    }
    std::error_code ignored;
    fs::remove(tmp, ignored);
    return result;
}

int generate(const fs::path &dir)
{
    int written = 0, kept = 0, failed = 0;
    for (const SoundDef &def : soundKit()) {
        std::string error;
        switch (install(dir, def, error)) {
        case Outcome::Written:
            ++written;
            break;
        case Outcome::Kept:
            ++kept;
            break;
        case Outcome::Failed:
            ++failed;
            std::fprintf(stderr, "make_soundkit: cannot write %s: %s\n",
                         (dir / def.file).string().c_str(), error.c_str());
            break;
        }
    }
    std::printf("make_soundkit: wrote %d, left %d existing untouched", written, kept);
    if (failed)
        std::printf(", %d failed", failed);
    std::printf(" (%s)\n", dir.string().c_str());
    return failed ? kExitFailed : kExitOk;
}

// Column padding that counts characters, not bytes, so Turkish titles line up.
std::string padded(const char *s, size_t width)
{
    std::string out = s;
    size_t chars = 0;
    for (const char *p = s; *p; ++p)
        chars += (static_cast<unsigned char>(*p) & 0xc0) != 0x80;
    if (chars < width)
        out.append(width - chars, ' ');
    return out;
}

double dbfs(double v)
{
    return v > 0 ? 20.0 * std::log10(v / 32768.0) : -999.0;
}

int check(const fs::path &dir)
{
    int bad = 0;
    std::vector<Bytes> seen;
    std::uintmax_t total = 0;
    const auto &kit = soundKit();
    for (const SoundDef &def : kit) {
        const fs::path p = dir / def.file;
        std::vector<std::string> problems;
        Bytes bytes;
        std::vector<std::int16_t> samples;
        std::error_code ec;
        if (!fs::is_regular_file(p, ec)) {
            problems.push_back("missing or not a regular file");
        } else {
            std::ifstream in(p, std::ios::binary);
            bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            total += bytes.size();
            const std::string err = decodeWav(bytes, samples);
            if (!err.empty())
                problems.push_back(err);
        }

        double seconds = 0, rms = 0;
        int top = 0;
        if (problems.empty()) {
            seconds = double(samples.size()) / kSampleRate;
            double energy = 0;
            for (std::int16_t s : samples) {
                top = std::max(top, std::abs(int(s)));
                energy += double(s) * s;
            }
            rms = samples.empty() ? 0 : std::sqrt(energy / samples.size());
            if (samples.empty() || seconds >= kMaxSeconds)
                problems.push_back("duration not in (0, 3) s");
            if (top >= kMaxPeak)
                problems.push_back("peak too high");
            if (rms < kMinRms)
                problems.push_back("silent");
            if (!samples.empty() && (std::abs(int(samples.front())) > kMaxEdge ||
                                     std::abs(int(samples.back())) > kMaxEdge))
                problems.push_back("starts or ends abruptly");
            for (size_t i = 0; i < seen.size(); ++i)
                if (seen[i] == bytes)
                    problems.push_back(std::string("identical to ") + kit[i].file);
        }
        seen.push_back(bytes);

        std::printf("%-7s %s %6.3f s  peak %6.1f dBFS  rms %6.1f dBFS  %s", def.file,
                    padded(def.title, 13).c_str(), seconds, dbfs(top), dbfs(rms),
                    problems.empty() ? "ok" : "FAIL:");
        for (const std::string &pr : problems)
            std::printf(" %s;", pr.c_str());
        std::printf("\n");
        bad += !problems.empty();
    }
    std::printf("check: %d of %zu ok, %ju bytes\n", int(kit.size()) - bad, kit.size(), total);
    return bad ? kExitFailed : kExitOk;
}

int usage()
{
    std::fprintf(stderr, "usage: make_soundkit DIR\n"
                         "       make_soundkit --check DIR\n");
    return kExitUsage;
}

} // namespace

int main(int argc, char **argv)
{
    const bool checking = argc == 3 && std::strcmp(argv[1], "--check") == 0;
    if (!checking && (argc != 2 || argv[1][0] == '-'))
        return usage();
    const fs::path dir = argv[argc - 1];
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) {
        std::fprintf(stderr, "make_soundkit: %s is not an existing directory\n",
                     dir.string().c_str());
        return kExitUsage;
    }
    return checking ? check(dir) : generate(dir);
}

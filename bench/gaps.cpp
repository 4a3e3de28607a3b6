// Gaps in sounds heard on the sink's monitor: the program's, a player's at its
// default latency and at the latency the program's stream has on the server,
// and a bystander's long tone alone and while the program plays; idle and with
// both cores busy. Prints figures; judges nothing.
//
//   bench_gaps --make-sounds DIR [--long-ms MS]
//   bench_gaps --recorder pulse:SOURCE[:FRAMES]|pipewire:SINK --rate HZ --sounds DIR
//              --zembra WINDOW-ID X1,Y1 X2,Y2 --player "COMMAND ARGS"
//              [--at-quantum "COMMAND ARGS"] [--watch APPLICATION MEDIA]
//              [--presses N] [--busy-presses N] [--silent-every MS] [--rest MS]
//              [--csv FILE] [--dump WAV]
//
// DIR holds tone.wav (2 s at 997 Hz), long.wav (the bystander's tone) and
// silence.wav. The window's first point plays tone.wav, its second silence.wav.
// --watch follows the program's stream on PipeWire (node.latency, and whether
// it runs); --at-quantum, which needs it, plays tone.wav with PIPEWIRE_LATENCY
// set to the node.latency the server last reported for that stream.

#include "clicker.h"
#include "gap_analysis.h"
#include "monitor_recorder.h"
#include "node_watch.h"
#include "press_common.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

extern char **environ;

using namespace Bench;

namespace {

constexpr std::int64_t Ms = 1000000;
constexpr double ToneHz = 997;
constexpr double LongHz = 660;
constexpr int ToneLengthMs = 2000;

enum Kind { ZembraTone, Player, PlayerAtQuantum, BystanderAlone, BystanderWithZembra, KindCount };
const char *const KindNames[KindCount] = {"zembra", "player", "player-at-quantum",
                                          "bystander-alone", "bystander-with-zembra"};

struct Options {
    std::string recorderApi, recorderTarget;
    int fragmentFrames = 64;
    int rate = 48000;
    std::string sounds;
    Window wid = 0;
    int x[2] = {}, y[2] = {};
    std::vector<std::string> player, atQuantum;
    std::string watchApp, watchMedia;
    int presses = 20;
    int busyPresses = 10;
    int silentEveryMs = 400;
    int restMs = 1200;
    std::string csv, dump;
};

std::vector<std::string> words(const std::string &s)
{
    std::istringstream in(s);
    std::vector<std::string> out;
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

bool parse(int argc, char **argv, Options *o)
{
    std::vector<std::string> a(argv + 1, argv + argc);
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto left = a.size() - i - 1;
        const std::string &k = a[i];
        const auto number = [&](int least) { return std::max(least, std::atoi(a[++i].c_str())); };
        if (k == "--recorder" && left >= 1) {
            const std::string v = a[++i];
            const auto colon = v.find(':');
            o->recorderApi = v.substr(0, colon);
            std::string rest = colon == std::string::npos ? "" : v.substr(colon + 1);
            if (const auto c2 = rest.find(':'); c2 != std::string::npos) {
                o->fragmentFrames = std::atoi(rest.c_str() + c2 + 1);
                rest.resize(c2);
            }
            o->recorderTarget = rest;
        } else if (k == "--rate" && left >= 1) {
            o->rate = number(8000);
        } else if (k == "--sounds" && left >= 1) {
            o->sounds = a[++i];
        } else if (k == "--zembra" && left >= 3) {
            o->wid = Window(std::strtoul(a[i + 1].c_str(), nullptr, 0));
            for (int t = 0; t < 2; ++t)
                if (std::sscanf(a[i + 2 + std::size_t(t)].c_str(), "%d,%d", &o->x[t], &o->y[t]) !=
                    2)
                    return false;
            i += 3;
        } else if (k == "--player" && left >= 1) {
            o->player = words(a[++i]);
        } else if (k == "--at-quantum" && left >= 1) {
            o->atQuantum = words(a[++i]);
        } else if (k == "--watch" && left >= 2) {
            o->watchApp = a[i + 1];
            o->watchMedia = a[i + 2];
            i += 2;
        } else if (k == "--presses" && left >= 1) {
            o->presses = number(1);
        } else if (k == "--busy-presses" && left >= 1) {
            o->busyPresses = number(0);
        } else if (k == "--silent-every" && left >= 1) {
            o->silentEveryMs = number(50);
        } else if (k == "--rest" && left >= 1) {
            o->restMs = number(0);
        } else if (k == "--csv" && left >= 1) {
            o->csv = a[++i];
        } else if (k == "--dump" && left >= 1) {
            o->dump = a[++i];
        } else {
            return false;
        }
    }
    return o->wid && !o->player.empty() && !o->sounds.empty() &&
           (o->atQuantum.empty() || !o->watchApp.empty()) &&
           (o->recorderApi == "pulse" || o->recorderApi == "pipewire") &&
           !o->recorderTarget.empty();
}

int makeSounds(const std::string &dir, int longMs)
{
    const bool ok = writeWav(dir + "/tone.wav", tone(ToneHz, ToneLengthMs)) &&
                    writeWav(dir + "/long.wav", tone(LongHz, longMs)) &&
                    writeWav(dir + "/silence.wav", silence(100));
    if (!ok)
        std::fprintf(stderr, "bench_gaps: cannot write the sounds into %s\n", dir.c_str());
    return ok ? 0 : 1;
}

// A child that dies with us, so that no player or busy loop outlives a crash.
// Everything is built before the fork: the recorder's threads may hold locks.
pid_t spawn(const std::vector<std::string> &args, const std::string &extraEnv = {})
{
    std::vector<char *> argv, envp;
    for (const std::string &s : args)
        argv.push_back(const_cast<char *>(s.c_str()));
    argv.push_back(nullptr);
    for (char **e = environ; *e; ++e)
        envp.push_back(*e);
    if (!extraEnv.empty())
        envp.push_back(const_cast<char *>(extraEnv.c_str()));
    envp.push_back(nullptr);
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execvpe(argv[0], argv.data(), envp.data());
    _exit(127);
}

struct Heard {
    int condition; // 0 idle, 1 busy
    Kind kind;
    int round;
    std::int64_t fromNs, toNs;
    std::string latency; // what the player was given, or the program's node.latency
};

class Session {
public:
    Session(Options o, Clicker &clicker, MonitorRecorder &recorder, NodeWatch *watch)
        : o_(std::move(o))
        , clicker_(clicker)
        , recorder_(recorder)
        , watch_(watch)
    {
    }

    bool check()
    {
        for (int t = 0; t < 2; ++t) {
            int rx, ry;
            if (!clicker_.toRoot(o_.wid, o_.x[t], o_.y[t], &rx, &ry) ||
                !clicker_.over(o_.wid, rx, ry)) {
                std::fprintf(stderr, "bench_gaps: point %d,%d is not on the program's window\n",
                             o_.x[t], o_.y[t]);
                return false;
            }
            o_.x[t] = rx;
            o_.y[t] = ry;
        }
        return true;
    }

    void run()
    {
        originNs_ = nowNs();
        condition(0, o_.presses);
        if (o_.busyPresses) {
            // Two shell busy-loops at normal priority, one per core.
            std::vector<pid_t> loops;
            for (int i = 0; i < 2; ++i)
                loops.push_back(spawn({"sh", "-c", "while :; do :; done"}));
            sleepUntilNs(nowNs() + 1000 * Ms);
            condition(1, o_.busyPresses);
            for (pid_t pid : loops) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        }
    }

    void report(const Capture &capture);

private:
    void condition(int c, int presses)
    {
        const std::string tone = o_.sounds + "/tone.wav";
        for (int r = 0; r < presses; ++r) {
            // The player at the program's latency right after the program, so
            // that both ask the same of the graph; the player at its default
            // only once the program's stream sleeps, so that it does not pull
            // the graph down.
            quietProgram();
            std::int64_t from = click(0);
            sleepUntilNs(from + ToneLengthMs * Ms);
            waitForSilence(200 * Ms);
            heard_.push_back({c, ZembraTone, r, from, nowNs(), latency()});
            if (!o_.atQuantum.empty()) {
                // What the server last said the program's stream asks for.
                const std::string l = latency();
                play(c, PlayerAtQuantum, r, o_.atQuantum, tone,
                     l.empty() ? "" : "PIPEWIRE_LATENCY=" + l, l.empty() ? "none" : l);
            }
            quietProgram();
            play(c, Player, r, o_.player, tone, {}, {});
        }
        quietProgram();
        play(c, BystanderAlone, 0, o_.player, o_.sounds + "/long.wav", {}, {});
        waitForSilence(200 * Ms);
        const std::int64_t from = nowNs();
        const pid_t pid = spawn(withFile(o_.player, o_.sounds + "/long.wav"));
        lastActionNs_ = from;
        for (std::int64_t next = from + o_.silentEveryMs * Ms;; next += o_.silentEveryMs * Ms) {
            sleepUntilNs(next);
            if (waitpid(pid, nullptr, WNOHANG) == pid)
                break;
            click(1);
        }
        waitForSilence(200 * Ms);
        heard_.push_back({c, BystanderWithZembra, 0, from, nowNs(), latency()});
    }

    static std::vector<std::string> withFile(std::vector<std::string> args, const std::string &f)
    {
        args.push_back(f);
        return args;
    }

    void play(int c, Kind kind, int round, const std::vector<std::string> &command,
              const std::string &file, const std::string &env, const std::string &latency)
    {
        waitForSilence(200 * Ms);
        const std::int64_t from = nowNs();
        const pid_t pid = spawn(withFile(command, file), env);
        lastActionNs_ = from;
        waitpid(pid, nullptr, 0);
        waitForSilence(200 * Ms);
        heard_.push_back({c, kind, round, from, nowNs(), latency});
    }

    std::int64_t click(int target)
    {
        clicker_.move(o_.x[target], o_.y[target]);
        const std::int64_t at = clicker_.click();
        lastActionNs_ = lastClickNs_ = at;
        return at;
    }

    std::string latency() const { return watch_ ? watch_->latest() : std::string(); }

    // Until the program's stream has gone to sleep: as the server reports it,
    // or, without a watch, `--rest` after its last press and sound.
    void quietProgram()
    {
        const std::int64_t giveUp = nowNs() + 5000 * Ms;
        if (watch_) {
            while (watch_->running() && nowNs() < giveUp)
                sleepUntilNs(nowNs() + 20 * Ms);
            return;
        }
        const std::int64_t last = std::max(lastClickNs_, recorder_.lastLoudNs());
        if (lastClickNs_)
            sleepUntilNs(std::min(giveUp, last + o_.restMs * Ms));
    }

    // Until the sink has been silent, and nothing started, for `quiet`.
    void waitForSilence(std::int64_t quiet)
    {
        const std::int64_t giveUp = nowNs() + 10000 * Ms;
        for (;;) {
            const std::int64_t last = std::max(recorder_.lastLoudNs(), lastActionNs_);
            const std::int64_t now = nowNs();
            if (now - last >= quiet || now > giveUp)
                return;
            sleepUntilNs(std::min(last + quiet, now + 50 * Ms));
        }
    }

    Options o_;
    Clicker &clicker_;
    MonitorRecorder &recorder_;
    NodeWatch *watch_;
    std::int64_t originNs_ = 0;
    std::int64_t lastActionNs_ = 0;
    std::int64_t lastClickNs_ = 0;
    std::vector<Heard> heard_;
};

struct Totals {
    int sounds = 0, heard = 0, gaps = 0, holes = 0;
    std::size_t frames = 0, lost = 0, longest = 0;
    int worstGaps = 0;         // in one sound
    std::map<int, int> quanta; // the graph's quantum per sound
    std::map<std::size_t, int> gapLengths;
    std::map<std::string, int> latencies;
};

std::string label(Kind k, const Options &o)
{
    const std::string player = o.player.empty() ? "player" : o.player[0];
    switch (k) {
    case ZembraTone:
        return "zembra, 2 s tone";
    case Player:
        return player + ", default latency";
    case PlayerAtQuantum:
        return (o.atQuantum.empty() ? player : o.atQuantum[0]) + ", at zembra's latency";
    case BystanderAlone:
        return "bystander " + player + ", alone";
    case BystanderWithZembra:
        return "bystander, zembra pressing";
    default:
        return {};
    }
}

template <typename M> std::string counts(const M &m, const char *unit = "")
{
    std::string out;
    for (const auto &[k, n] : m) {
        std::ostringstream s;
        s << k << unit;
        if (m.size() > 1)
            s << " x" << n;
        out += (out.empty() ? "" : ", ") + s.str();
    }
    return out.empty() ? "-" : out;
}

void Session::report(const Capture &capture)
{
    std::ofstream csv;
    if (!o_.csv.empty()) {
        csv.open(o_.csv);
        csv << "condition,contender,round,from_ns,sound_s,gaps,lost_ms,quantum,holes,latency,"
               "gap_frames\n";
        // How the recording went, cycle by cycle, to check the holes.
        std::ofstream chunks(o_.csv + ".chunks");
        chunks << "first_frame_ns,arrived_ns,first_frame,frames,quantum\n";
        for (const Capture::Chunk &ch : capture.chunks)
            chunks << ch.firstFrameNs << ',' << ch.arrivedNs << ',' << ch.firstFrame << ','
                   << ch.frames << ',' << ch.quantum << '\n';
    }
    std::map<std::pair<int, Kind>, Totals> totals;
    for (const Heard &h : heard_) {
        const std::size_t from = frameAt(capture, h.fromNs), to = frameAt(capture, h.toNs);
        const SoundGaps g = findGaps(capture, from, to, Threshold);
        Totals &t = totals[{h.condition, h.kind}];
        ++t.sounds;
        const int quantum = g.heard ? quantumIn(capture, g.firstFrame, g.lastFrame + 1) : 0;
        const int holes = g.heard ? recordingHoles(capture, g.firstFrame, g.lastFrame + 1) : 0;
        if (g.heard) {
            ++t.heard;
            t.frames += g.frames();
            t.gaps += int(g.gapFrames.size());
            t.lost += g.lostFrames;
            t.worstGaps = std::max(t.worstGaps, int(g.gapFrames.size()));
            t.holes += holes;
            for (std::size_t n : g.gapFrames) {
                t.longest = std::max(t.longest, n);
                ++t.gapLengths[n];
            }
            if (quantum)
                ++t.quanta[quantum];
        }
        if (!h.latency.empty())
            ++t.latencies[h.latency];
        if (csv) {
            csv << (h.condition ? "busy" : "idle") << ',' << KindNames[h.kind] << ',' << h.round
                << ',' << h.fromNs << ',' << double(g.frames()) / capture.rate << ','
                << g.gapFrames.size() << ',' << g.lostFrames * 1000.0 / capture.rate << ','
                << quantum << ',' << holes << ',' << h.latency << ',';
            for (std::size_t i = 0; i < g.gapFrames.size(); ++i)
                csv << (i ? " " : "") << g.gapFrames[i];
            csv << '\n';
        }
    }

    for (int c = 0; c < 2; ++c) {
        if (!totals.count({c, ZembraTone}))
            continue;
        std::printf("%s\n", c ? "both cores busy (two shell busy-loops)" : "idle");
        std::printf("  %-38s %6s %7s %5s %7s %9s %8s %6s %6s %s\n", "", "heard", "sound s", "gaps",
                    "gaps/s", "ms lost/s", "longest", "worst", "holes", "graph quantum");
        for (int k = 0; k < KindCount; ++k) {
            const auto it = totals.find({c, Kind(k)});
            if (it == totals.end())
                continue;
            const Totals &t = it->second;
            const double seconds = double(t.frames) / capture.rate;
            char heard[16];
            std::snprintf(heard, sizeof heard, "%d/%d", t.heard, t.sounds);
            std::printf("  %-38s %6s %7.1f %5d %7.2f %9.2f %6.1fms %6d %6d %s\n",
                        label(Kind(k), o_).c_str(), heard, seconds, t.gaps,
                        seconds > 0 ? t.gaps / seconds : 0.0,
                        seconds > 0 ? double(t.lost) * 1000.0 / capture.rate / seconds : 0.0,
                        double(t.longest) * 1000.0 / capture.rate, t.worstGaps, t.holes,
                        counts(t.quanta).c_str());
        }
        for (int k = 0; k < KindCount; ++k) {
            const auto it = totals.find({c, Kind(k)});
            if (it == totals.end())
                continue;
            if (!it->second.gapLengths.empty())
                std::printf("  gap lengths, %s: %s\n", label(Kind(k), o_).c_str(),
                            counts(it->second.gapLengths, " frames").c_str());
            if (k == PlayerAtQuantum)
                std::printf("  %s was given PIPEWIRE_LATENCY %s\n", label(Kind(k), o_).c_str(),
                            counts(it->second.latencies).c_str());
        }
    }
    std::printf("sound s: from each sound's first to its last loud sample, summed; a gap: %zu or "
                "more frames within +-%d; worst: most gaps in one sound; holes: stretches "
                "missing from the recording inside sounds (while any, the gaps may be a floor)\n",
                GapMinFrames, NearZero);
    if (watch_)
        std::printf("the program's stream on the server (%s, %s): node.latency %s; settled on "
                    "%s\n",
                    o_.watchApp.c_str(), o_.watchMedia.c_str(), watch_->describe(originNs_).c_str(),
                    watch_->latest().c_str());
    std::map<int, std::size_t> quanta;
    for (const Capture::Chunk &ch : capture.chunks)
        quanta[ch.quantum] += ch.frames;
    if (!quanta.count(0)) {
        std::printf("graph quanta over the whole recording (seconds):");
        for (const auto &[q, frames] : quanta)
            std::printf(" %d %.1f", q, double(frames) / capture.rate);
        std::printf("\n");
    }
}

} // namespace

int main(int argc, char **argv)
{
    if ((argc == 3 || argc == 5) && std::string(argv[1]) == "--make-sounds")
        return makeSounds(argv[2], argc == 5 ? std::max(500, std::atoi(argv[4])) : 6000);
    Options o;
    if (!parse(argc, argv, &o)) {
        std::fprintf(stderr, "usage: see the head of bench/gaps.cpp\n");
        return 2;
    }
    Clicker clicker;
    if (!clicker.open()) {
        std::fprintf(stderr, "bench_gaps: no X display with XTest\n");
        return 1;
    }
    std::unique_ptr<NodeWatch> watch;
    std::string error;
    if (!o.watchApp.empty()) {
        watch = std::make_unique<NodeWatch>(o.watchApp, o.watchMedia);
        if (!watch->start(&error)) {
            std::fprintf(stderr, "bench_gaps: %s\n", error.c_str());
            return 1;
        }
    }
    std::unique_ptr<MonitorRecorder> recorder =
        o.recorderApi == "pulse" ? makePulseRecorder(o.recorderTarget, o.rate, o.fragmentFrames)
                                 : makePipeWireRecorder(o.recorderTarget, o.rate, true);
    if (!recorder->start(&error)) {
        std::fprintf(stderr, "bench_gaps: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s\n", recorder->describe().c_str());
    std::fflush(stdout);
    Session bench(o, clicker, *recorder, watch.get());
    if (!bench.check())
        return 3;
    bench.run();
    recorder->stop();
    const Capture capture = recorder->capture();
    if (!o.dump.empty() &&
        !writeWav(o.dump, Sound{capture.rate, capture.channels, capture.samples}))
        std::fprintf(stderr, "bench_gaps: cannot write %s\n", o.dump.c_str());
    bench.report(capture);
    if (watch)
        watch->stop();
    return 0;
}

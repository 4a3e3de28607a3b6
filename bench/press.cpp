// Press-to-sound latency through a real X server and window manager: clicks
// made with XTest on the contenders' windows (or a player process started per
// press), heard on the sink's monitor. Prints figures; judges nothing.
//
//   bench_press --make-sounds DIR
//   bench_press --recorder pulse:SOURCE[:FRAMES]|pipewire:SINK|pipewire-active:SINK
//               --rate HZ --sounds DIR
//               [--presses N] [--spacing MS] [--bursts N] [--idle N] [--idle-gap MS]
//               [--lead MS] [--subject NAME] [--floor NAME] [--csv FILE] [--dump WAV]
//               [--watch APPLICATION MEDIA] CONTENDER...
//   CONTENDER:  --window NAME LETTER WINDOW-ID X1,Y1 X2,Y2 X3,Y3
//               --spawn NAME LETTER "COMMAND ARGS"
//
// LETTER (a..e) is the contender's tone, DIR/tone-LETTER.wav. A window's three
// points (window coordinates) must play that tone, DIR/low.wav and
// DIR/high.wav; a spawned command gets the file's path as its last argument, or
// where a word holds {N}, that becomes N, N+1 or N+2 for the three.
// --watch (PipeWire) follows that stream's node.latency on the server.

#include "clicker.h"
#include "monitor_recorder.h"
#include "node_watch.h"
#include "press_analysis.h"
#include "press_common.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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
constexpr int BurstPresses = 20;
constexpr std::int64_t BurstStepNs = 50 * Ms;

struct Contender {
    std::string name;
    int letter = 0;
    bool window = false;
    Window wid = 0;
    int x[3] = {}, y[3] = {}; // window coordinates, then root coordinates
    std::vector<std::string> command;
    std::string files[3];
    int pitch(int target) const
    {
        return target == 0 ? contenderPitch(letter) : target == 1 ? BurstLow : BurstHigh;
    }
};

struct Options {
    std::string recorderApi, recorderTarget;
    int fragmentFrames = 64;
    int rate = 48000;
    std::string sounds;
    int presses = 30;
    int spacingMs = 650;
    int bursts = 2;
    int idle = 5;
    int idleGapMs = 2500;
    int leadMs = -1;
    std::string subject, floor, csv, dump;
    std::string watchApp, watchMedia;
    std::vector<Contender> contenders;
};

int makeSounds(const std::string &dir)
{
    bool ok = writeWav(dir + "/low.wav", tone(PitchHz[BurstLow], ToneMs, ToneSilenceMs)) &&
              writeWav(dir + "/high.wav", tone(PitchHz[BurstHigh], ToneMs, ToneSilenceMs)) &&
              writeWav(dir + "/silence.wav", silence(50));
    for (int i = 0; i < ContenderCount; ++i)
        ok = ok && writeWav(dir + "/tone-" + char('a' + i) + ".wav",
                            tone(PitchHz[contenderPitch(i)], ToneMs, ToneSilenceMs));
    if (!ok)
        std::fprintf(stderr, "bench_press: cannot write the sounds into %s\n", dir.c_str());
    return ok ? 0 : 1;
}

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
    const auto letter = [](const std::string &s) {
        return s.size() == 1 && s[0] >= 'a' && s[0] < 'a' + ContenderCount ? s[0] - 'a' : -1;
    };
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto left = a.size() - i - 1;
        const std::string &k = a[i];
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
            o->rate = std::atoi(a[++i].c_str());
        } else if (k == "--sounds" && left >= 1) {
            o->sounds = a[++i];
        } else if (k == "--presses" && left >= 1) {
            o->presses = std::max(1, std::atoi(a[++i].c_str()));
        } else if (k == "--spacing" && left >= 1) {
            o->spacingMs = std::max(100, std::atoi(a[++i].c_str()));
        } else if (k == "--bursts" && left >= 1) {
            o->bursts = std::max(0, std::atoi(a[++i].c_str()));
        } else if (k == "--idle" && left >= 1) {
            o->idle = std::max(0, std::atoi(a[++i].c_str()));
        } else if (k == "--idle-gap" && left >= 1) {
            o->idleGapMs = std::max(0, std::atoi(a[++i].c_str()));
        } else if (k == "--lead" && left >= 1) {
            o->leadMs = std::max(0, std::atoi(a[++i].c_str()));
        } else if (k == "--subject" && left >= 1) {
            o->subject = a[++i];
        } else if (k == "--floor" && left >= 1) {
            o->floor = a[++i];
        } else if (k == "--csv" && left >= 1) {
            o->csv = a[++i];
        } else if (k == "--dump" && left >= 1) {
            o->dump = a[++i];
        } else if (k == "--watch" && left >= 2) {
            o->watchApp = a[i + 1];
            o->watchMedia = a[i + 2];
            i += 2;
        } else if (k == "--window" && left >= 6) {
            Contender c;
            c.name = a[i + 1];
            c.letter = letter(a[i + 2]);
            c.window = true;
            c.wid = Window(std::strtoul(a[i + 3].c_str(), nullptr, 0));
            for (int t = 0; t < 3; ++t)
                if (std::sscanf(a[i + 4 + std::size_t(t)].c_str(), "%d,%d", &c.x[t], &c.y[t]) != 2)
                    return false;
            i += 6;
            if (c.letter < 0 || !c.wid)
                return false;
            o->contenders.push_back(c);
        } else if (k == "--spawn" && left >= 3) {
            Contender c;
            c.name = a[i + 1];
            c.letter = letter(a[i + 2]);
            c.command = words(a[i + 3]);
            i += 3;
            if (c.letter < 0 || c.command.empty())
                return false;
            o->contenders.push_back(c);
        } else {
            return false;
        }
    }
    for (Contender &c : o->contenders) {
        c.files[0] = o->sounds + "/tone-" + char('a' + c.letter) + ".wav";
        c.files[1] = o->sounds + "/low.wav";
        c.files[2] = o->sounds + "/high.wav";
    }
    return !o->contenders.empty() && !o->sounds.empty() &&
           (o->recorderApi == "pulse" || o->recorderApi == "pulse-ahead" ||
            o->recorderApi == "pipewire" || o->recorderApi == "pipewire-active") &&
           !o->recorderTarget.empty();
}

std::int64_t spawnPlayer(const Contender &c, int target)
{
    // "{N}" in a word stands for the target's number counted from N (a button to
    // press); without one the command gets the target's file.
    std::vector<std::string> args = c.command;
    bool numbered = false;
    for (std::string &word : args) {
        const std::size_t open = word.find('{'), close = word.find('}');
        if (open != std::string::npos && close != std::string::npos && close > open + 1) {
            const int first = std::atoi(word.c_str() + open + 1);
            word.replace(open, close - open + 1, std::to_string(first + target));
            numbered = true;
        }
    }
    if (!numbered)
        args.push_back(c.files[target]);
    std::vector<char *> argv;
    for (std::string &s : args)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    const std::int64_t at = nowNs();
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &quiet, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&quiet);
    return rc == 0 ? at : 0;
}

void reapChildren(bool wait)
{
    while (waitpid(-1, nullptr, wait ? 0 : WNOHANG) > 0) {
    }
}

// Presses of one contender, and until when the sounds heard are theirs.
struct Segment {
    std::vector<Press> presses;
    std::int64_t endNs = 0;
};

struct Phase {
    std::string name;
    std::vector<std::vector<Segment>> segments; // per contender
};

class Session {
public:
    Session(Options o, Clicker &clicker, MonitorRecorder &recorder)
        : o_(std::move(o))
        , clicker_(clicker)
        , recorder_(recorder)
    {
        const auto n = std::int64_t(o_.contenders.size());
        slotNs_ = std::int64_t(o_.spacingMs) * Ms / n;
        leadNs_ = o_.leadMs >= 0 ? o_.leadMs * Ms : std::min<std::int64_t>(100 * Ms, slotNs_ / 2);
    }

    // The target under each point, and each target's sound, before measuring.
    bool check()
    {
        for (Contender &c : o_.contenders) {
            for (int t = 0; c.window && t < 3; ++t) {
                int rx, ry;
                if (!clicker_.toRoot(c.wid, c.x[t], c.y[t], &rx, &ry) ||
                    !clicker_.over(c.wid, rx, ry)) {
                    std::fprintf(stderr, "bench_press: point %d,%d is not on %s's window\n", c.x[t],
                                 c.y[t], c.name.c_str());
                    return false;
                }
                c.x[t] = rx;
                c.y[t] = ry;
            }
        }
        // Also loads every sound once, so that no later press is a first one.
        // A sound may break up once (a dropout): three tries before giving up.
        for (const Contender &c : o_.contenders) {
            for (int t = 0; t < 3; ++t) {
                std::vector<Onset> onsets;
                for (int attempt = 1;; ++attempt) {
                    waitForSilence(200 * Ms);
                    const std::int64_t at = press(c, t, nowNs() + leadNs_);
                    sleepUntilNs(at + 600 * Ms);
                    onsets.clear();
                    for (const Onset &on : findOnsets(recorder_.capture(), Threshold))
                        if (on.atNs >= at)
                            onsets.push_back(on);
                    if (matchOnsets({{at, c.pitch(t)}}, onsets, pitches(), {}, 600).latencyMs[0])
                        break;
                    std::fprintf(stderr,
                                 "bench_press: %s target %d, try %d: no %.0f Hz tone; heard",
                                 c.name.c_str(), t + 1, attempt, PitchHz[c.pitch(t)]);
                    for (const Onset &on : onsets)
                        std::fprintf(stderr, " %.0f Hz", on.hz);
                    std::fprintf(stderr, "\n");
                    if (attempt == 3)
                        return false;
                }
            }
        }
        return true;
    }

    void run()
    {
        const std::size_t n = o_.contenders.size();
        const std::int64_t window = std::int64_t(o_.spacingMs - 10) * Ms;
        // Each contender's tone is its own, so one segment holds all its presses.
        Phase spaced{"spaced", std::vector<std::vector<Segment>>(n, std::vector<Segment>(1))};
        waitForSilence(300 * Ms);
        const std::int64_t start = nowNs() + leadNs_ + 20 * Ms;
        for (int r = 0; r < o_.presses; ++r)
            for (std::size_t i = 0; i < n; ++i) {
                const std::int64_t slot =
                    start + (std::int64_t(r) * std::int64_t(n) + std::int64_t(i)) * slotNs_;
                const Contender &c = o_.contenders[i];
                Segment &into = spaced.segments[i][0];
                into.presses.push_back({press(c, 0, slot), c.pitch(0)});
                into.endNs = into.presses.back().atNs + window;
            }
        phases_.push_back(spaced);

        // The burst's two tones are everyone's, so each burst is a segment.
        Phase burst{"burst", std::vector<std::vector<Segment>>(n)};
        for (int b = 0; b < o_.bursts; ++b)
            for (std::size_t i = 0; i < n; ++i) {
                waitForSilence(300 * Ms);
                const Contender &c = o_.contenders[i];
                Segment into;
                const std::int64_t first = nowNs() + leadNs_ + 20 * Ms;
                for (int p = 0; p < BurstPresses; ++p) {
                    const int target = 1 + p % 2;
                    const std::int64_t lead = p ? std::min(leadNs_, BurstStepNs / 2) : leadNs_;
                    into.presses.push_back(
                        {press(c, target, first + p * BurstStepNs, lead), c.pitch(target)});
                }
                into.endNs = first + BurstPresses * BurstStepNs + 500 * Ms;
                sleepUntilNs(into.endNs);
                burst.segments[i].push_back(into);
            }
        phases_.push_back(burst);

        // Cold and warm presses alternate.
        Phase idle{"idle", std::vector<std::vector<Segment>>(n, std::vector<Segment>(1))};
        for (int k = 0; k < o_.idle; ++k)
            for (std::size_t i = 0; i < n; ++i) {
                const Contender &c = o_.contenders[i];
                Segment &into = idle.segments[i][0];
                waitForSilence(std::int64_t(o_.idleGapMs) * Ms);
                const std::int64_t cold = press(c, 0, nowNs() + leadNs_);
                into.presses.push_back({cold, c.pitch(0)});
                const std::int64_t warm = press(c, 0, cold + std::int64_t(o_.spacingMs) * Ms);
                into.presses.push_back({warm, c.pitch(0)});
                into.endNs = warm + window;
            }
        phases_.push_back(idle);
        waitForSilence(500 * Ms);
        reapChildren(true);
    }

    void report(const Capture &capture);

private:
    static std::vector<double> pitches() { return {std::begin(PitchHz), std::end(PitchHz)}; }

    // Moves the pointer onto a window `lead` before the press, as a hand would;
    // a spawned player is started at `at`. Returns the press time.
    std::int64_t press(const Contender &c, int target, std::int64_t at, std::int64_t lead = -1)
    {
        reapChildren(false);
        if (c.window) {
            sleepUntilNs(at - (lead < 0 ? leadNs_ : lead));
            clicker_.move(c.x[target], c.y[target]);
        }
        sleepUntilNs(at);
        const std::int64_t t = c.window ? clicker_.click() : spawnPlayer(c, target);
        lastPressNs_ = t ? t : nowNs();
        return t;
    }

    // Until the sink has been silent, and nothing pressed, for `quiet`.
    void waitForSilence(std::int64_t quiet)
    {
        const std::int64_t giveUp = nowNs() + 30000 * Ms;
        for (;;) {
            const std::int64_t last = std::max(recorder_.lastLoudNs(), lastPressNs_);
            const std::int64_t now = nowNs();
            if (now - last >= quiet || now > giveUp)
                return;
            sleepUntilNs(std::min(last + quiet, now + 50 * Ms));
            reapChildren(false);
        }
    }

    Options o_;
    Clicker &clicker_;
    MonitorRecorder &recorder_;
    std::int64_t slotNs_;
    std::int64_t leadNs_;
    std::int64_t lastPressNs_ = 0;
    std::vector<Phase> phases_;
};

struct Row {
    std::string label;
    Summary s;
    int quantum = 0;
};

void printRow(const Row &r)
{
    std::printf("  %-34s %3zu/%-3zu", r.label.c_str(), r.s.heard, r.s.pressed);
    if (r.s.heard)
        std::printf(" %8.1f %7.1f %7.1f %7.1f", r.s.median, r.s.p95, r.s.min, r.s.max);
    else
        std::printf(" %8s %7s %7s %7s", "-", "-", "-", "-");
    if (r.quantum)
        std::printf(" %7d\n", r.quantum);
    else
        std::printf(" %7s\n", "-");
}

// One the graph really ran at: the lower middle, not the mean of two.
int medianQuantum(const Match &m)
{
    std::vector<int> q;
    for (int v : m.quantum)
        if (v)
            q.push_back(v);
    if (q.empty())
        return 0;
    std::sort(q.begin(), q.end());
    return q[(q.size() - 1) / 2];
}

void Session::report(const Capture &capture)
{
    const std::vector<Onset> onsets = findOnsets(capture, Threshold);
    const std::size_t n = o_.contenders.size();
    std::ofstream csv;
    if (!o_.csv.empty()) {
        csv.open(o_.csv);
        csv << "phase,contender,press,press_ns,latency_ms,quantum\n";
        // Every sound found, beside the presses, to see what a missed one became.
        std::ofstream all(o_.csv + ".onsets");
        all << "onset_ns,frame,hz,quantum\n";
        for (const Onset &on : onsets)
            all << on.atNs << ',' << on.frame << ',' << on.hz << ',' << on.quantum << '\n';
    }
    const auto log = [&](const std::string &phase, std::size_t c, const std::vector<Press> &p,
                         const Match &m) {
        for (std::size_t i = 0; csv && i < p.size(); ++i) {
            csv << phase << ',' << o_.contenders[c].name << ',' << i << ',' << p[i].atNs << ',';
            if (m.latencyMs[i])
                csv << *m.latencyMs[i];
            csv << ',' << m.quantum[i] << '\n';
        }
    };

    std::printf("  %-34s %7s %8s %7s %7s %7s %7s\n", "", "heard", "median", "p95", "min", "max",
                "quantum");
    std::vector<Expected> spacedRange(n);                         // what the spaced presses gave
    std::map<std::string, std::map<std::string, double>> medians; // row kind -> contender
    std::vector<int> unexplained(n, 0);
    for (const Phase &phase : phases_) {
        if (phase.name == "spaced")
            std::printf("presses %.0f ms apart, each contender every %d ms\n", slotNs_ / 1e6,
                        o_.spacingMs);
        if (phase.name == "burst" && o_.bursts)
            std::printf("bursts of %d presses %lld ms apart, alternating two tones\n", BurstPresses,
                        static_cast<long long>(BurstStepNs / Ms));
        if (phase.name == "idle" && o_.idle)
            std::printf("first press after %.1f s of silence, and one %d ms later\n",
                        o_.idleGapMs / 1000.0, o_.spacingMs);
        for (std::size_t c = 0; c < n; ++c) {
            const Contender &who = o_.contenders[c];
            const double max = phase.name == "burst" ? 1000 : o_.spacingMs - 10;
            const auto matchAll = [&](Expected expected, bool logIt) {
                Match m;
                for (const Segment &seg : phase.segments[c]) {
                    if (seg.presses.empty())
                        continue;
                    std::vector<Onset> mine;
                    for (const Onset &on : onsets)
                        if (on.atNs >= seg.presses.front().atNs && on.atNs < seg.endNs)
                            mine.push_back(on);
                    const Match part = matchOnsets(seg.presses, mine, pitches(), expected, max);
                    if (logIt)
                        log(phase.name, c, seg.presses, part);
                    m.latencyMs.insert(m.latencyMs.end(), part.latencyMs.begin(),
                                       part.latencyMs.end());
                    m.quantum.insert(m.quantum.end(), part.quantum.begin(), part.quantum.end());
                    m.unmatchedOnsets += part.unmatchedOnsets;
                }
                return m;
            };
            Match m;
            if (phase.name == "burst") {
                // Bursts may run at another quantum or load than the spaced presses:
                // a first reading by those, then a second by the burst's own middle.
                const Match first = matchAll(spacedRange[c], false);
                std::vector<double> l;
                for (const auto &v : first.latencyMs)
                    if (v)
                        l.push_back(*v);
                std::sort(l.begin(), l.end());
                const Expected own = l.size() >= 5
                                         ? Expected{l[l.size() / 10], l[l.size() * 9 / 10]}
                                         : spacedRange[c];
                m = matchAll(own, true);
            } else {
                m = matchAll({}, true);
            }
            if (m.latencyMs.empty())
                continue;
            unexplained[c] += m.unmatchedOnsets;
            if (phase.name != "idle") {
                const Row row{who.name, summarize(m.latencyMs), medianQuantum(m)};
                printRow(row);
                if (phase.name == "spaced" && row.s.heard)
                    spacedRange[c] = {row.s.min, row.s.max};
                medians[phase.name][who.name] = row.s.heard ? row.s.median : 0;
                continue;
            }
            // Cold presses are the even ones, warm the odd ones.
            Match cold, warm;
            for (std::size_t i = 0; i < m.latencyMs.size(); ++i) {
                Match &into = i % 2 ? warm : cold;
                into.latencyMs.push_back(m.latencyMs[i]);
                into.quantum.push_back(m.quantum[i]);
            }
            const Row coldRow{who.name + ", after silence", summarize(cold.latencyMs),
                              medianQuantum(cold)};
            const Row warmRow{who.name + ", warm", summarize(warm.latencyMs), medianQuantum(warm)};
            printRow(coldRow);
            printRow(warmRow);
            medians["after silence"][who.name] = coldRow.s.heard ? coldRow.s.median : 0;
            medians["warm"][who.name] = warmRow.s.heard ? warmRow.s.median : 0;
        }
    }

    if (!o_.subject.empty() && !o_.floor.empty()) {
        std::printf("%s / %s, ratio of medians:", o_.subject.c_str(), o_.floor.c_str());
        for (const char *kind : {"spaced", "burst", "after silence", "warm"}) {
            const auto &m = medians[kind];
            const auto s = m.find(o_.subject), f = m.find(o_.floor);
            if (s != m.end() && f != m.end() && s->second > 0 && f->second > 0)
                std::printf("  %s %.2f", kind, s->second / f->second);
        }
        std::printf("\n");
    }
    std::printf("sounds no press explains (glitches, or later than the window):");
    for (std::size_t c = 0; c < n; ++c)
        std::printf(" %s %d", o_.contenders[c].name.c_str(), unexplained[c]);
    std::printf("\n");

    // How the recording itself went: the chunks and, on PipeWire, the quanta.
    std::map<int, std::size_t> quanta;
    std::vector<double> chunkMs, delayMs;
    for (const Capture::Chunk &ch : capture.chunks) {
        ++quanta[ch.quantum];
        chunkMs.push_back(ch.frames * 1000.0 / capture.rate);
        delayMs.push_back((ch.arrivedNs - ch.firstFrameNs) / 1e6);
    }
    std::printf("recording: %zu chunks, median %.2f ms long, arriving a median %.2f ms after "
                "their first frame",
                capture.chunks.size(), medianOf(chunkMs), medianOf(delayMs));
    if (!quanta.count(0)) {
        std::printf("; graph quanta (cycles):");
        for (const auto &[q, count] : quanta)
            std::printf(" %d x%zu", q, count);
    }
    std::printf("\n");
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && std::string(argv[1]) == "--make-sounds")
        return makeSounds(argv[2]);
    Options o;
    if (!parse(argc, argv, &o)) {
        std::fprintf(stderr, "usage: see the head of bench/press.cpp\n");
        return 2;
    }
    Clicker clicker;
    if (!clicker.open()) {
        std::fprintf(stderr, "bench_press: no X display with XTest\n");
        return 1;
    }
    std::unique_ptr<NodeWatch> watch;
    std::string error;
    if (!o.watchApp.empty()) {
        watch = std::make_unique<NodeWatch>(o.watchApp, o.watchMedia);
        if (!watch->start(&error)) {
            std::fprintf(stderr, "bench_press: %s\n", error.c_str());
            return 1;
        }
    }
    const std::int64_t startNs = nowNs();
    std::unique_ptr<MonitorRecorder> recorder =
        o.recorderApi == "pulse" || o.recorderApi == "pulse-ahead"
            ? makePulseRecorder(o.recorderTarget, o.rate, o.fragmentFrames,
                                o.recorderApi == "pulse-ahead")
            : makePipeWireRecorder(o.recorderTarget, o.rate, o.recorderApi == "pipewire");
    if (!recorder->start(&error)) {
        std::fprintf(stderr, "bench_press: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s\n", recorder->describe().c_str());
    std::fflush(stdout);
    // The whole recording, to listen to or look at.
    const auto dump = [&] {
        const Capture c = recorder->capture();
        if (!o.dump.empty() && !writeWav(o.dump, Sound{c.rate, c.channels, c.samples}))
            std::fprintf(stderr, "bench_press: cannot write %s\n", o.dump.c_str());
        return c;
    };
    Session bench(o, clicker, *recorder);
    if (!bench.check()) {
        dump();
        return 3;
    }
    bench.run();
    recorder->stop();
    bench.report(dump());
    if (watch) {
        std::printf("the stream of %s (%s) on the server: node.latency %s; settled on %s\n",
                    o.watchApp.c_str(), o.watchMedia.c_str(), watch->describe(startNs).c_str(),
                    watch->latest().c_str());
        watch->stop();
    }
    return 0;
}

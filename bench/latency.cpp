// Press-to-sound latency: a real main window and SDL player, heard on the monitor
// of a PulseAudio null sink. Prints figures only; nothing here passes or fails.
//
// Usage: bench_latency [--presses N] [--cold N] [--decode N] [--sink NAME]

#include "effects/sdl_player.h"
#include "effects/sounds.h"
#include "fonts.h"
#include "frm_ana.h"
#include "tests/wav.h"

#include <QApplication>
#include <QEventLoop>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <pulse/pulseaudio.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int Rate = 44100;
// About -30 dBFS; the null sink's silence is exact zeros.
constexpr int Threshold = 1000;
constexpr int CaptureFragmentFrames = 64;
constexpr int LowHz = 1000;
constexpr int HighHz = 2500;

double ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

std::vector<std::int16_t> tone(int hz, std::chrono::milliseconds length)
{
    const std::size_t frames = std::size_t(Rate) * std::size_t(length.count()) / 1000;
    std::vector<std::int16_t> s(frames);
    for (std::size_t i = 0; i < frames; ++i)
        s[i] = std::int16_t(std::lround(16000.0 * std::sin(2 * M_PI * hz * double(i) / Rate)));
    return s;
}

bool writeBytes(const std::string &path, const std::vector<std::uint8_t> &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
    return bool(out);
}

// Effect files beside this program. A file already there is moved aside and put
// back at the end; moved rather than held in memory, so an interrupted run loses nothing.
class ProgramDirFiles {
public:
    explicit ProgramDirFiles(QString dir)
        : dir_(std::move(dir))
    {
    }
    ~ProgramDirFiles()
    {
        for (const std::string &path : written_) {
            const std::string aside = path + ".before-bench";
            if (std::rename(aside.c_str(), path.c_str()) != 0)
                std::remove(path.c_str());
        }
    }
    ProgramDirFiles(const ProgramDirFiles &) = delete;
    ProgramDirFiles &operator=(const ProgramDirFiles &) = delete;

    bool put(const char *name, const std::vector<std::uint8_t> &bytes)
    {
        const std::string path = (dir_ + QLatin1Char('/') + QLatin1String(name)).toStdString();
        if (std::find(written_.begin(), written_.end(), path) == written_.end()) {
            const std::string aside = path + ".before-bench";
            // A copy left by an interrupted run is the original: keep it.
            if (::access(aside.c_str(), F_OK) != 0 && ::access(path.c_str(), F_OK) == 0 &&
                std::rename(path.c_str(), aside.c_str()) != 0)
                return false;
            written_.push_back(path);
        }
        return writeBytes(path, bytes);
    }

private:
    QString dir_;
    std::vector<std::string> written_;
};

// Records a PulseAudio source in small fragments, stamping each with the time it
// reached this process.
class MonitorCapture {
public:
    struct Chunk {
        Clock::time_point arrived;
        std::size_t firstFrame;
        std::size_t frames;
    };

    ~MonitorCapture() { stop(); }

    bool start(const std::string &source, std::string *error)
    {
        loop_ = pa_threaded_mainloop_new();
        if (!loop_) {
            *error = "pa_threaded_mainloop_new failed";
            return false;
        }
        pa_threaded_mainloop_lock(loop_);
        const bool ok = connect(source, error);
        pa_threaded_mainloop_unlock(loop_);
        return ok;
    }

    void stop()
    {
        if (!loop_)
            return;
        pa_threaded_mainloop_lock(loop_);
        if (stream_) {
            pa_stream_disconnect(stream_);
            pa_stream_unref(stream_);
            stream_ = nullptr;
        }
        if (context_) {
            pa_context_disconnect(context_);
            pa_context_unref(context_);
            context_ = nullptr;
        }
        pa_threaded_mainloop_unlock(loop_);
        pa_threaded_mainloop_stop(loop_);
        pa_threaded_mainloop_free(loop_);
        loop_ = nullptr;
    }

    std::uint32_t grantedFragmentBytes() const { return fragmentBytes_; }
    Clock::time_point lastLoud() const
    {
        return Clock::time_point(Clock::duration(lastLoud_.load()));
    }
    std::size_t framesSoFar()
    {
        std::lock_guard lock(mutex_);
        return samples_.size() / 2;
    }

    // Our own playback streams as the server sees them, e.g. the SDL device's.
    std::vector<std::string> describePlayback()
    {
        std::vector<std::string> lines;
        pa_threaded_mainloop_lock(loop_);
        pa_operation *op = pa_context_get_sink_input_info_list(
            context_,
            [](pa_context *, const pa_sink_input_info *info, int eol, void *user) {
                auto *self = static_cast<MonitorCapture *>(user);
                if (eol) {
                    pa_threaded_mainloop_signal(self->loop_, 0);
                    return;
                }
                const char *app = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_NAME);
                char line[256];
                std::snprintf(line, sizeof line,
                              "%s / %s: buffer %.1f ms, sink %.1f ms, resample %s", app ? app : "?",
                              info->name ? info->name : "?", double(info->buffer_usec) / 1000,
                              double(info->sink_usec) / 1000,
                              info->resample_method ? info->resample_method : "-");
                self->describeLines_.emplace_back(line);
            },
            this);
        describeLines_.clear();
        while (op && pa_operation_get_state(op) == PA_OPERATION_RUNNING)
            pa_threaded_mainloop_wait(loop_);
        if (op)
            pa_operation_unref(op);
        lines.swap(describeLines_);
        pa_threaded_mainloop_unlock(loop_);
        return lines;
    }

    // Only valid once stopped.
    const std::vector<Chunk> &chunks() const { return chunks_; }
    const std::vector<std::int16_t> &samples() const { return samples_; }

private:
    bool connect(const std::string &source, std::string *error)
    {
        context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "Zembra latency bench");
        pa_context_set_state_callback(
            context_,
            [](pa_context *, void *loop) {
                pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop *>(loop), 0);
            },
            loop_);
        if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
            pa_threaded_mainloop_start(loop_) < 0) {
            *error = std::string("cannot connect: ") + pa_strerror(pa_context_errno(context_));
            return false;
        }
        for (;;) {
            const pa_context_state_t state = pa_context_get_state(context_);
            if (state == PA_CONTEXT_READY)
                break;
            if (!PA_CONTEXT_IS_GOOD(state)) {
                *error = std::string("cannot connect: ") + pa_strerror(pa_context_errno(context_));
                return false;
            }
            pa_threaded_mainloop_wait(loop_);
        }

        const pa_sample_spec format{PA_SAMPLE_S16LE, Rate, 2};
        stream_ = pa_stream_new(context_, "latency capture", &format, nullptr);
        pa_stream_set_state_callback(
            stream_,
            [](pa_stream *, void *loop) {
                pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop *>(loop), 0);
            },
            loop_);
        pa_stream_set_read_callback(stream_, &MonitorCapture::onRead, this);
        pa_buffer_attr attr{};
        attr.maxlength = std::uint32_t(-1);
        attr.tlength = attr.prebuf = attr.minreq = std::uint32_t(-1);
        attr.fragsize = CaptureFragmentFrames * 4;
        if (pa_stream_connect_record(
                stream_, source.c_str(), &attr,
                pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE)) < 0) {
            *error = std::string("cannot record: ") + pa_strerror(pa_context_errno(context_));
            return false;
        }
        for (;;) {
            const pa_stream_state_t state = pa_stream_get_state(stream_);
            if (state == PA_STREAM_READY)
                break;
            if (!PA_STREAM_IS_GOOD(state)) {
                *error =
                    "cannot record from " + source + ": " + pa_strerror(pa_context_errno(context_));
                return false;
            }
            pa_threaded_mainloop_wait(loop_);
        }
        if (const pa_buffer_attr *got = pa_stream_get_buffer_attr(stream_))
            fragmentBytes_ = got->fragsize;
        return true;
    }

    static void onRead(pa_stream *stream, size_t, void *user)
    {
        const Clock::time_point now = Clock::now();
        auto *self = static_cast<MonitorCapture *>(user);
        const void *data = nullptr;
        size_t bytes = 0;
        while (pa_stream_readable_size(stream) > 0) {
            if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0)
                return;
            self->append(data, bytes, now);
            pa_stream_drop(stream);
        }
    }

    void append(const void *data, size_t bytes, Clock::time_point now)
    {
        const std::size_t frames = bytes / 4;
        bool loud = false;
        std::lock_guard lock(mutex_);
        const std::size_t first = samples_.size() / 2;
        samples_.resize(samples_.size() + frames * 2);
        std::int16_t *out = samples_.data() + first * 2;
        if (data) {
            std::memcpy(out, data, frames * 4);
            for (std::size_t i = 0; i < frames * 2 && !loud; ++i)
                loud = std::abs(out[i]) > Threshold;
        } else {
            std::fill(out, out + frames * 2, std::int16_t(0)); // a hole in the stream
        }
        chunks_.push_back({now, first, frames});
        if (loud)
            lastLoud_ = now.time_since_epoch().count();
    }

    pa_threaded_mainloop *loop_ = nullptr;
    pa_context *context_ = nullptr;
    pa_stream *stream_ = nullptr;
    std::uint32_t fragmentBytes_ = 0;
    std::vector<std::string> describeLines_;

    std::mutex mutex_;
    std::vector<std::int16_t> samples_; // interleaved stereo
    std::vector<Chunk> chunks_;
    std::atomic<Clock::rep> lastLoud_{0};
};

struct Press {
    Clock::time_point at;
    Clock::time_point until; // the next press, or the end of the listening time
    int sound = -1;          // 0: low tone, 1: high tone (bursts only)
};

bool loudFrame(const std::vector<std::int16_t> &s, std::size_t frame)
{
    return std::abs(s[2 * frame]) > Threshold || std::abs(s[2 * frame + 1]) > Threshold;
}

std::optional<double> pressLatency(const MonitorCapture &capture, const Press &press)
{
    const auto &chunks = capture.chunks();
    auto it = std::lower_bound(chunks.begin(), chunks.end(), press.at,
                               [](const auto &c, Clock::time_point t) { return c.arrived < t; });
    for (; it != chunks.end() && it->arrived < press.until; ++it)
        for (std::size_t f = it->firstFrame; f < it->firstFrame + it->frames; ++f)
            if (loudFrame(capture.samples(), f))
                return ms(it->arrived - press.at);
    return std::nullopt;
}

struct Onset {
    Clock::time_point arrived;
    int sound;
};

// Starts of sound after at least 5 ms of silence, each told apart by its pitch.
std::vector<Onset> onsets(const MonitorCapture &capture, Clock::time_point from,
                          Clock::time_point to)
{
    const auto &chunks = capture.chunks();
    const auto &s = capture.samples();
    const std::size_t gap = Rate / 200;
    const std::size_t window = Rate / 100;
    std::vector<Onset> found;
    std::size_t silent = gap;
    auto it = std::lower_bound(chunks.begin(), chunks.end(), from,
                               [](const auto &c, Clock::time_point t) { return c.arrived < t; });
    for (; it != chunks.end() && it->arrived < to; ++it) {
        for (std::size_t f = it->firstFrame; f < it->firstFrame + it->frames; ++f) {
            if (!loudFrame(s, f)) {
                ++silent;
                continue;
            }
            if (silent >= gap) {
                int crossings = 0;
                const std::size_t end = std::min(s.size() / 2, f + window);
                for (std::size_t g = f + 1; g < end; ++g)
                    crossings += (s[2 * g] >= 0) != (s[2 * g - 2] >= 0);
                const double hz = crossings / 2.0 * Rate / double(window);
                found.push_back({it->arrived, hz < (LowHz + HighHz) / 2.0 ? 0 : 1});
            }
            silent = 0;
        }
    }
    return found;
}

// Gives each onset to the latest press of the same sound before it, so a lost
// press cannot take the next one's sound.
std::vector<std::optional<double>> matchBurst(const std::vector<Press> &presses,
                                              const std::vector<Onset> &heard)
{
    std::vector<std::optional<double>> latency(presses.size());
    for (const Onset &o : heard) {
        for (std::size_t i = presses.size(); i-- > 0;) {
            const Press &p = presses[i];
            if (p.at <= o.arrived && p.sound == o.sound && !latency[i] && o.arrived - p.at < 1s) {
                latency[i] = ms(o.arrived - p.at);
                break;
            }
        }
    }
    return latency;
}

// Runs the event loop until the given time, so the window keeps painting.
void waitUntil(Clock::time_point t)
{
    for (;;) {
        const Clock::duration left = t - Clock::now();
        if (left <= Clock::duration::zero())
            return;
        const auto whole = std::chrono::duration_cast<std::chrono::milliseconds>(left);
        if (whole.count() >= 1) {
            QEventLoop loop;
            QTimer::singleShot(int(whole.count()), Qt::PreciseTimer, &loop, &QEventLoop::quit);
            loop.exec();
        } else {
            QCoreApplication::processEvents();
            std::this_thread::sleep_for(std::min<Clock::duration>(left, 200us));
        }
    }
}

// Waits until the sink has been silent for `quiet`, at least `minimum` after `since`.
void waitForSilence(MonitorCapture &capture, Clock::time_point since, Clock::duration minimum,
                    Clock::duration quiet = 100ms)
{
    const Clock::time_point giveUp = since + 10s;
    waitUntil(since + minimum);
    while (Clock::now() < giveUp && Clock::now() - capture.lastLoud() < quiet)
        waitUntil(Clock::now() + 5ms);
}

pid_t startPaplay(const std::string &device, const std::string &file)
{
    std::string deviceArg = "--device=" + device;
    std::string fileArg = file;
    char name[] = "paplay";
    char *argv[] = {name, deviceArg.data(), fileArg.data(), nullptr};
    pid_t pid = -1;
    if (posix_spawnp(&pid, "paplay", nullptr, nullptr, argv, environ) != 0)
        return -1;
    return pid;
}

void reap(std::vector<pid_t> &children)
{
    for (pid_t pid : children)
        ::waitpid(pid, nullptr, 0);
    children.clear();
}

struct Row {
    std::string name;
    std::vector<std::optional<double>> latency;
    std::string note;
};

void printRow(const Row &row)
{
    std::vector<double> v;
    for (const auto &l : row.latency)
        if (l)
            v.push_back(*l);
    std::sort(v.begin(), v.end());
    std::printf("%-36s %3zu/%-3zu", row.name.c_str(), v.size(), row.latency.size());
    if (v.empty()) {
        std::printf("%9s %8s %8s %8s%s\n", "-", "-", "-", "-", row.note.c_str());
        return;
    }
    const std::size_t n = v.size();
    const double median = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    const std::size_t rank95 = std::size_t(std::ceil(0.95 * double(n)));
    std::printf("%9.1f %8.1f %8.1f %8.1f%s\n", median, v[std::max<std::size_t>(rank95, 1) - 1],
                v.front(), v.back(), row.note.c_str());
}

int intArg(const QStringList &args, const QString &name, int fallback)
{
    const int at = int(args.indexOf(name));
    return at >= 0 && at + 1 < args.size() ? args[at + 1].toInt() : fallback;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int presses = std::max(1, intArg(args, QStringLiteral("--presses"), 40));
    const int coldPresses = std::max(0, intArg(args, QStringLiteral("--cold"), 5));
    const int decodePresses = std::max(0, intArg(args, QStringLiteral("--decode"), 10));
    const int sinkAt = int(args.indexOf(QStringLiteral("--sink")));
    const std::string sink =
        sinkAt >= 0 && sinkAt + 1 < args.size() ? args[sinkAt + 1].toStdString() : "zembra";

    // Where PlayEffect looks: this program's folder, which holds no demo kit.
    ProgramDirFiles programFiles(QCoreApplication::applicationDirPath());
    QTemporaryDir wavDir;
    const auto longTone = Wav::build(tone(LowHz, 100ms), 1, Rate);
    const auto burstLow = Wav::build(tone(LowHz, 30ms), 1, Rate);
    const auto burstHigh = Wav::build(tone(HighHz, 30ms), 1, Rate);
    const std::string longWav = wavDir.filePath(QStringLiteral("tone.wav")).toStdString();
    const std::string lowWav = wavDir.filePath(QStringLiteral("low.wav")).toStdString();
    const std::string highWav = wavDir.filePath(QStringLiteral("high.wav")).toStdString();
    if (!wavDir.isValid() || !programFiles.put("1.tzk", longTone) ||
        !programFiles.put("2.tzk", burstLow) || !programFiles.put("3.tzk", burstHigh) ||
        !writeBytes(longWav, longTone) || !writeBytes(lowWav, burstLow) ||
        !writeBytes(highWav, burstHigh)) {
        std::fprintf(stderr, "cannot write the test sounds\n");
        return 1;
    }

    MonitorCapture capture;
    std::string error;
    if (!capture.start(sink + ".monitor", &error)) {
        std::fprintf(stderr,
                     "bench_latency: %s\nStart the private server first: source scripts/pulse.sh; "
                     "zembra_pulse_start\n",
                     error.c_str());
        return 1;
    }

    Fonts::install();
    SdlEffectPlayer player;
    Sounds::setPlayer(&player);
    // Built after the player: its intro request opens the device, as at a real start.
    auto window = std::make_unique<frmAna>();
    window->show();
    if (!QTest::qWaitForWindowExposed(window.get()))
        std::fprintf(stderr, "warning: the window was never exposed\n");
    QPushButton *tone100 = window->findChild<QPushButton *>(QStringLiteral("Command1"));
    QPushButton *low = window->findChild<QPushButton *>(QStringLiteral("Command2"));
    QPushButton *high = window->findChild<QPushButton *>(QStringLiteral("Command3"));
    if (!tone100 || !low || !high) {
        std::fprintf(stderr, "the main window has no Command1..3\n");
        return 1;
    }

    std::vector<double> clickHandling;
    const auto click = [&](QPushButton *button) {
        const Clock::time_point at = Clock::now();
        QTest::mouseClick(button, Qt::LeftButton);
        clickHandling.push_back(ms(Clock::now() - at));
        return at;
    };
    // One press; what the sink plays until it is silent again belongs to it.
    const auto measure = [&](auto &&press, std::vector<Press> &into, Clock::duration spacing) {
        waitForSilence(capture, Clock::now(), 0ms, 150ms);
        const Clock::time_point at = press();
        waitForSilence(capture, at, spacing);
        into.push_back({at, Clock::now(), -1});
    };
    waitUntil(Clock::now() + 300ms);

    // First press of a file: read and decode, then cached.
    std::vector<Press> firstPress, decodePress, warm, paplay, cold;
    measure([&] { return click(tone100); }, firstPress, 300ms);

    // A changed file is decoded again at its next press.
    for (int i = 0; i < decodePresses; ++i) {
        programFiles.put("1.tzk", longTone);
        waitUntil(Clock::now() + 50ms);
        measure([&] { return click(tone100); }, decodePress, 300ms);
    }

    // Warm device and cache, interleaved with paplay so both see the same load.
    bool havePaplay = true;
    for (int i = 0; i < presses; ++i) {
        measure([&] { return click(tone100); }, warm, 300ms);
        if (!havePaplay)
            continue;
        std::vector<pid_t> child;
        measure(
            [&] {
                const Clock::time_point at = Clock::now();
                const pid_t pid = startPaplay(sink, longWav);
                if (pid > 0)
                    child.push_back(pid);
                else
                    havePaplay = false;
                return at;
            },
            paplay, 300ms);
        reap(child);
    }
    if (!havePaplay)
        paplay.clear();
    const std::vector<std::string> streams = capture.describePlayback();

    // Bursts: 20 presses 50 ms apart, alternating a low and a high 30 ms tone.
    constexpr int BurstPresses = 20;
    constexpr auto BurstStep = 50ms;
    std::vector<Press> unmeasured;
    measure([&] { return click(low); }, unmeasured, 300ms); // into the cache
    measure([&] { return click(high); }, unmeasured, 300ms);
    const auto burst = [&](auto &&press) {
        waitForSilence(capture, Clock::now(), 0ms, 200ms);
        std::vector<Press> list;
        const Clock::time_point start = Clock::now() + 20ms;
        for (int i = 0; i < BurstPresses; ++i) {
            waitUntil(start + i * BurstStep);
            list.push_back({press(i % 2), {}, i % 2});
        }
        waitForSilence(capture, list.back().at, 1s);
        for (std::size_t i = 0; i < list.size(); ++i)
            list[i].until = i + 1 < list.size() ? list[i + 1].at : Clock::now();
        return list;
    };
    const std::vector<Press> sdlBurst = burst([&](int sound) { return click(sound ? high : low); });
    std::vector<pid_t> burstChildren;
    std::vector<Press> paplayBurst;
    if (havePaplay) {
        paplayBurst = burst([&](int sound) {
            const Clock::time_point at = Clock::now();
            const pid_t pid = startPaplay(sink, sound ? highWav : lowWav);
            if (pid > 0)
                burstChildren.push_back(pid);
            return at;
        });
        reap(burstChildren);
    }

    // Cold: the device closed after its idle time and is opened by the press.
    bool coldClosed = true;
    for (int i = 0; i < coldPresses; ++i) {
        const Clock::time_point giveUp =
            Clock::now() + player.options().idleClose + std::chrono::seconds(10);
        while (player.isDeviceOpen() && Clock::now() < giveUp)
            waitUntil(Clock::now() + 50ms);
        coldClosed = coldClosed && !player.isDeviceOpen();
        waitUntil(Clock::now() + 500ms);
        measure([&] { return click(tone100); }, cold, 300ms);
    }

    const std::size_t capturedFrames = capture.framesSoFar();
    capture.stop();
    Sounds::setPlayer(nullptr);
    window.reset();

    const auto rowOf = [&](const char *name, const std::vector<Press> &list) {
        Row row{name, {}, {}};
        for (const Press &p : list)
            row.latency.push_back(pressLatency(capture, p));
        return row;
    };
    const auto burstRow = [&](const char *name, const std::vector<Press> &list) {
        Row row{name, {}, {}};
        if (list.empty())
            return row;
        const std::vector<Onset> heard = onsets(capture, list.front().at, list.back().until);
        row.latency = matchBurst(list, heard);
        const auto low =
            std::count_if(heard.begin(), heard.end(), [](auto &o) { return !o.sound; });
        row.note = "  onsets " + std::to_string(low) + " low + " +
                   std::to_string(heard.size() - std::size_t(low)) + " high";
        return row;
    };

    std::vector<double> chunkMs;
    for (const auto &c : capture.chunks())
        chunkMs.push_back(double(c.frames) * 1000 / Rate);
    std::sort(chunkMs.begin(), chunkMs.end());
    std::sort(clickHandling.begin(), clickHandling.end());

    std::printf("Zembra press-to-sound latency, sink '%s', %zu s captured\n", sink.c_str(),
                capturedFrames / Rate);
    std::printf("Latency: the arrival of the first captured chunk holding a sample above %d "
                "(-30 dBFS)\nminus the press time. It is an upper bound: it includes up to one "
                "capture chunk\n(requested %d frames = %.2f ms, granted %.2f ms, median chunk "
                "seen %.2f ms).\n\n",
                Threshold, CaptureFragmentFrames, CaptureFragmentFrames * 1000.0 / Rate,
                capture.grantedFragmentBytes() / 4 * 1000.0 / Rate,
                chunkMs.empty() ? 0.0 : chunkMs[chunkMs.size() / 2]);
    std::printf("%-36s %7s %9s %8s %8s %8s\n", "case (ms)", "heard", "median", "p95", "min", "max");
    printRow(rowOf("SDL, first press of a file", firstPress));
    printRow(rowOf("SDL, file changed before each press", decodePress));
    printRow(rowOf("SDL, warm (presses 300 ms apart)", warm));
    if (havePaplay)
        printRow(rowOf("paplay started per press", paplay));
    else
        std::printf("%-36s (paplay could not be started)\n", "paplay started per press");
    printRow(burstRow("burst 20 x 50 ms, SDL", sdlBurst));
    if (havePaplay)
        printRow(burstRow("burst 20 x 50 ms, paplay", paplayBurst));
    printRow(rowOf(coldClosed ? "SDL, cold (device closed by idle)"
                              : "SDL, 'cold' (device had NOT closed)",
                   cold));
    if (!clickHandling.empty())
        std::printf("\nUI thread, press to click handler done: median %.2f ms, max %.2f ms\n",
                    clickHandling[clickHandling.size() / 2], clickHandling.back());
    if (!streams.empty()) {
        std::printf("Playback streams seen by the server during the warm run:\n");
        for (const std::string &s : streams)
            std::printf("  %s\n", s.c_str());
    }
    return 0;
}

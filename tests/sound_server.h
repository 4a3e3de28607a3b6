#pragma once

// A private sound server for tests, a recorder of its null sink's monitor, and
// the reading of a recording as a sequence of known sounds.

#include "env_guard.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QStringList>
#include <QTemporaryFile>
#include <QTest>

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace SoundServerTest {

using Samples = std::vector<std::int16_t>;
using namespace std::chrono_literals;

// A private server of the kind under test, from the test's own script; the
// server ends when this object does, or when the test process dies.
class Server {
public:
    // minQuantum: PipeWire's shortest period in frames; 0 leaves a desktop's.
    // rate: PipeWire's graph rate; 0 leaves the usual 48 kHz.
    explicit Server(const QString &kind, int minQuantum = 0, int rate = 0)
    {
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (minQuantum)
            env.insert(QStringLiteral("ZEMBRA_PIPEWIRE_MIN_QUANTUM"), QString::number(minQuantum));
        if (rate)
            env.insert(QStringLiteral("ZEMBRA_PIPEWIRE_RATE"), QString::number(rate));
        process_.setProcessEnvironment(env);
        process_.start(QStringLiteral(SOUND_SERVER_SCRIPT), {kind});
        QByteArray out;
        while (!out.contains("READY\n") && process_.waitForReadyRead(30000))
            out += process_.readAllStandardOutput();
        for (const QByteArray &line : out.split('\n')) {
            const int eq = line.indexOf('=');
            if (eq <= 0)
                continue;
            const QByteArray name = line.left(eq), value = line.mid(eq + 1);
            if (name == "SERVER_PIDS")
                for (const QByteArray &pid : value.split(' '))
                    pids_.append(pid.toInt());
            else if (name == "DAEMON_PID")
                daemon_ = value.toInt();
            else
                env_.append({name, value});
        }
        ready_ = out.contains("READY\n") && daemon_ > 0;
    }
    ~Server() { stop(); }

    bool ready() const { return ready_; }
    // Points this process's sound clients at the server.
    void use() const
    {
        for (const auto &[name, value] : env_)
            qputenv(name.constData(), value);
    }
    void signal(int sig) const
    {
        for (int pid : pids_)
            ::kill(pid, sig);
    }
    // The process that runs the graph (or mixes, on PulseAudio).
    int daemon() const { return daemon_; }
    void stop()
    {
        if (process_.state() == QProcess::NotRunning)
            return;
        signal(SIGCONT);
        process_.closeWriteChannel();
        if (!process_.waitForFinished(30000))
            process_.kill();
    }

private:
    QProcess process_;
    QList<std::pair<QByteArray, QByteArray>> env_;
    QList<int> pids_;
    int daemon_ = 0;
    bool ready_ = false;
};

// A private server for the rest of the test function, this process's sound
// clients pointed at it.
#define ZEMBRA_USE_SERVER(server, ...)                                                             \
    SoundServerTest::Server server(__VA_ARGS__);                                                   \
    QVERIFY2(server.ready(), "the sound server did not start");                                    \
    server.use()

// What a server's tool (pactl, pw-dump) prints. A tool that fails fails the
// test: its empty answer would pass every check that something is gone.
inline QByteArray serverTool(const QString &program, const QStringList &arguments)
{
    QProcess tool;
    tool.start(program, arguments);
    if (!tool.waitForFinished(10000) || tool.exitStatus() != QProcess::NormalExit ||
        tool.exitCode() != 0) {
        QTest::qFail(qPrintable(program + QLatin1Char(' ') + arguments.join(QLatin1Char(' ')) +
                                QStringLiteral(" failed: ") +
                                QString::fromLocal8Bit(tool.readAllStandardError())),
                     __FILE__, __LINE__);
        return {};
    }
    return tool.readAllStandardOutput();
}

inline QJsonArray pactlList(const QString &what)
{
    return QJsonDocument::fromJson(
               serverTool(QStringLiteral("pactl"),
                          {QStringLiteral("--format=json"), QStringLiteral("list"), what}))
        .array();
}

// PipeWire's graph, which holds at least its core when the server answers.
// Now and then pw-dump ends well yet prints what does not parse (twice in a
// day of runs here); asked again, it tells the graph.
inline QJsonArray pipewireGraph()
{
    QJsonParseError error{};
    for (int tries = 0; tries < 3; ++tries) {
        const QJsonArray graph =
            QJsonDocument::fromJson(serverTool(QStringLiteral("pw-dump"), {}), &error).array();
        if (!graph.isEmpty())
            return graph;
    }
    QTest::qFail(qPrintable(QStringLiteral("pw-dump told no graph: ") + error.errorString() +
                            QStringLiteral(" at %1").arg(error.offset)),
                 __FILE__, __LINE__);
    return {};
}

// The sound clients' variables, put back when the test ends; the user's SDL
// driver choice would take the engine off the servers under test.
inline std::unique_ptr<EnvGuard> clientEnvironment()
{
    auto env = std::make_unique<EnvGuard>(
        std::initializer_list<const char *>{"PULSE_SERVER", "PULSE_SINK", "PIPEWIRE_RUNTIME_DIR",
                                            "PIPEWIRE_REMOTE", "SDL_AUDIODRIVER"});
    qunsetenv("SDL_AUDIODRIVER");
    return env;
}

// The left side of a stereo recording; none when nothing was recorded or the
// sides differ, which a test must count as a failure, never as silence.
inline std::optional<Samples> sidesAgreeing(const std::int16_t *frames, std::size_t count)
{
    // Both sides carry the same mono sound; where they differ, say where
    // and which side was silent.
    struct Run {
        std::size_t from, length;
        const char *silent;
    };
    std::vector<Run> runs;
    Samples left;
    std::size_t loud = 0, differ = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::int16_t l = frames[2 * i], r = frames[2 * i + 1];
        loud += l != 0;
        left.push_back(l);
        if (l == r)
            continue;
        ++differ;
        if (!runs.empty() && runs.back().from + runs.back().length == i)
            ++runs.back().length;
        else
            runs.push_back({i, 1, l == 0 ? "left" : r == 0 ? "right" : "neither"});
    }
    if (differ) {
        QStringList where;
        for (std::size_t k = 0; k < std::min<std::size_t>(runs.size(), 8); ++k)
            where << QStringLiteral("%1+%2 (%3 silent)")
                         .arg(runs[k].from)
                         .arg(runs[k].length)
                         .arg(QLatin1String(runs[k].silent));
        qWarning("sides differ in %zu of %zu loud frames, at frame+length: %s", differ, loud,
                 qPrintable(where.join(QLatin1Char(' '))));
        return std::nullopt;
    }
    if (left.empty()) {
        qWarning("the recorder recorded nothing");
        return std::nullopt;
    }
    return left;
}

// What the null sink plays, heard on its monitor.
class Recorder {
public:
    // On PipeWire the recorder's latency also bounds the graph's period: one
    // shorter than a player asks for holds the graph below it.
    // `stamped`: a thread notes when each write is seen, for frameAt(); it
    // polls, so only the tests that place moments on the recording ask for it.
    explicit Recorder(int rate, const QString &sink = QStringLiteral("zembra"), int latencyMs = 20,
                      bool stamped = false)
        : rate_(rate)
    {
        // Straight to a file: a pipe nobody reads while the test sleeps would
        // stall the recorder.
        file_.open();
        process_.setStandardOutputFile(file_.fileName());
        process_.start(QStringLiteral("parecord"),
                       {QStringLiteral("--device=%1.monitor").arg(sink), QStringLiteral("--raw"),
                        QStringLiteral("--format=s16le"), QStringLiteral("--channels=2"),
                        QStringLiteral("--rate=%1").arg(rate),
                        QStringLiteral("--latency-msec=%1").arg(latencyMs)});
        started_ = process_.waitForStarted();
        if (stamped)
            watcher_ = std::thread([this] {
                const QString name = file_.fileName();
                std::size_t last = 0;
                while (watching_) {
                    const auto frames = std::size_t(QFileInfo(name).size()) / 4;
                    if (frames != last) {
                        std::lock_guard lock(stampsMutex_);
                        stamps_.emplace_back(Clock::now(), frames);
                        last = frames;
                    }
                    std::this_thread::sleep_for(200us);
                }
            });
        std::this_thread::sleep_for(400ms); // until the recording stream runs
    }
    ~Recorder()
    {
        watching_ = false;
        if (watcher_.joinable())
            watcher_.join();
    }
    using Clock = std::chrono::steady_clock;
    bool started() const { return started_; }
    // Where in the recording a moment falls: the sink renders a block of
    // `blockFrames` ahead and hands it over no earlier than that, so each
    // write seen says the sink had reached at least that many frames then.
    // The latest that any write allows, a block back, is a lower bound: a
    // write seen late only moves it earlier, and a lateness taken from it
    // never comes out shorter than it was.
    std::size_t frameAt(Clock::time_point moment, std::size_t blockFrames) const
    {
        std::lock_guard lock(stampsMutex_);
        double best = 0;
        for (const auto &[seen, frames] : stamps_) {
            const double secs = std::chrono::duration<double>(moment - seen).count();
            best = std::max(best, double(frames) + secs * rate_);
        }
        return std::size_t(std::max(0.0, best - double(blockFrames)));
    }
    // The left side; none when nothing was recorded or the sides differ, which
    // fails the test (QVERIFY2(recording, Recorder::Unheard)) rather than
    // passing a check of silence on nothing.
    static constexpr const char *Unheard = "nothing recorded, or its two sides differ";
    [[nodiscard]] std::optional<Samples> stop()
    {
        watching_ = false;
        if (watcher_.joinable())
            watcher_.join();
        process_.terminate();
        process_.waitForFinished(5000);
        QFile f(file_.fileName());
        const QByteArray raw = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        return sidesAgreeing(reinterpret_cast<const std::int16_t *>(raw.constData()),
                             std::size_t(raw.size()) / 4);
    }

private:
    QTemporaryFile file_{QDir::tempPath() + QStringLiteral("/zembra-recording-XXXXXX.raw")};
    QProcess process_;
    bool started_ = false;
    const int rate_;
    std::atomic<bool> watching_{true};
    mutable std::mutex stampsMutex_;
    std::vector<std::pair<Clock::time_point, std::size_t>> stamps_;
    std::thread watcher_;
};

inline std::size_t matching(const Samples &out, std::size_t at, const Samples &expected,
                            std::size_t from = 0)
{
    std::size_t n = 0;
    while (at + n < out.size() && from + n < expected.size() &&
           std::abs(out[at + n] - expected[from + n]) <= 1)
        ++n;
    return n;
}

// One sound found in a recording: which, and how far it played.
struct Heard {
    int sound = -1; // index into the sounds looked for; -1: something else
    std::size_t reached = 0;
    std::vector<std::int16_t> unknownStart; // what was heard instead, for the report
    bool operator==(const Heard &o) const { return sound == o.sound && reached == o.reached; }
};

// Reads a recording as a sequence of the given sounds. Every sample heard must
// be the next one of the sound playing, or the first of a sound that cuts it
// off; silence only between sounds. A sound that resumes after silence, or
// starts anywhere but at its first sample, is something else: lost frames are
// never allowed.
inline std::vector<Heard> heardSounds(const Samples &out,
                                      const std::vector<const Samples *> &sounds)
{
    constexpr std::size_t Sure = 24; // samples that must agree to tell a sound
    const auto startsHere = [&](std::size_t i) {
        for (std::size_t k = 0; k < sounds.size(); ++k)
            if (matching(out, i, *sounds[k]) >= std::min(Sure, sounds[k]->size()))
                return int(k);
        return -1;
    };
    std::vector<Heard> heard;
    std::size_t i = 0;
    while (i < out.size()) {
        if (out[i] == 0) {
            ++i;
            continue;
        }
        Heard h;
        h.sound = startsHere(i);
        if (h.sound < 0) {
            h.unknownStart.assign(out.begin() + std::ptrdiff_t(i),
                                  out.begin() + std::ptrdiff_t(std::min(out.size(), i + 12)));
            heard.push_back(h);
            break;
        }
        h.reached = matching(out, i, *sounds[std::size_t(h.sound)]);
        i += h.reached;
        heard.push_back(h);
    }
    return heard;
}

inline QString describe(const std::vector<Heard> &heard)
{
    QStringList parts;
    for (const Heard &h : heard) {
        parts << QStringLiteral("%1:%2").arg(h.sound).arg(h.reached);
        for (const std::int16_t v : h.unknownStart)
            parts.last() += QLatin1Char(',') + QString::number(v);
    }
    return parts.join(QLatin1Char(' '));
}

} // namespace SoundServerTest

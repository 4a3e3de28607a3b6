#include "audio/log.h"
#include "audio/sound_engine.h"
#include "env_guard.h"
#include "graph_watch.h"
#include "sound_server.h"
#include "wav.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <dlfcn.h>
#include <pulse/pulseaudio.h>
#include <sched.h>
#include <signal.h>

#include <cmath>
#include <optional>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;

// libpulse answers a call with no operation when the server has gone away just
// before it. These stand in for two of its calls, so that the test can say when
// that happens instead of racing a dying server for it.
std::atomic<bool> serverGoneAtTheCall{false};

extern "C" pa_operation *pa_context_get_server_info(pa_context *c, pa_server_info_cb_t cb,
                                                    void *userdata)
{
    using Real = pa_operation *(*)(pa_context *, pa_server_info_cb_t, void *);
    static const auto real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, __func__));
    return serverGoneAtTheCall ? nullptr : real(c, cb, userdata);
}

extern "C" pa_operation *pa_stream_cork(pa_stream *s, int b, pa_stream_success_cb_t cb,
                                        void *userdata)
{
    using Real = pa_operation *(*)(pa_stream *, int, pa_stream_success_cb_t, void *);
    static const auto real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, __func__));
    return serverGoneAtTheCall ? nullptr : real(s, b, cb, userdata);
}
using namespace SoundServerTest;

#ifndef ZEMBRA_TEST_WAKE_MS
#define ZEMBRA_TEST_WAKE_MS 5
#endif

namespace {

// Recordings are compared sample for sample, so they run at a period this
// machine holds under any load: a desktop's default of 1024 frames (21 ms).
// The player's own choice of period is tested on a server that leaves it free.
constexpr int HeldQuantum = 1024;

void writeFile(const QString &path, const std::vector<std::uint8_t> &bytes)
{
    std::ofstream out(path.toStdString(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

// What a listener misses of `tone`, another program's steady tone, in `out`:
// less of it than was played, or runs of 12 or more near-silent samples
// between its first and last loud ones, heard as a crackle. Empty if none.
QString toneFaults(const Samples &out, const Samples &tone, int rate)
{
    const auto loud = [](std::int16_t v) { return std::abs(v) > 200; };
    const auto span = [&](const Samples &s) {
        const auto first = std::find_if(s.begin(), s.end(), loud);
        const auto last = std::find_if(s.rbegin(), s.rend(), loud).base();
        return std::pair(first, std::max(first, last));
    };
    const auto [first, last] = span(out);
    const auto [played, playedTo] = span(tone);
    QStringList faults;
    if (last - first != playedTo - played)
        faults << QStringLiteral("heard for %1 of its %2 frames")
                      .arg(last - first)
                      .arg(playedTo - played);
    std::size_t run = 0;
    for (auto it = first; it < last; ++it) {
        if (std::abs(*it) <= 30) {
            ++run;
            continue;
        }
        if (run >= 12)
            faults << QStringLiteral("a gap at %1 s")
                          .arg(double(it - out.begin() - std::ptrdiff_t(run)) / rate, 0, 'f', 3);
        run = 0;
    }
    return faults.join(QLatin1String(", "));
}

// What PipeWire itself says Zembra's stream asks for, as "frames/rate".
QString askedLatency()
{
    for (const QJsonValue &object : pipewireGraph()) {
        const QJsonObject props = object[QLatin1String("info")][QLatin1String("props")].toObject();
        if (props[QLatin1String("node.name")] == QLatin1String("Zembra") &&
            props.contains(QLatin1String("node.latency")))
            return props[QLatin1String("node.latency")].toString();
    }
    return {};
}

// The server's streams of playback, as a volume mixer sees them.
QJsonArray sinkInputs()
{
    return pactlList(QStringLiteral("sink-inputs"));
}

// The first stream whose `property` is `value`.
QJsonObject sinkInput(const char *property, const QString &value)
{
    for (const QJsonValue &input : sinkInputs())
        if (input[QLatin1String("properties")][QLatin1String(property)].toString() == value)
            return input.toObject();
    return {};
}

QString volumeOf(const QJsonObject &input)
{
    return input[QLatin1String("volume")][QLatin1String("front-left")]
                [QLatin1String("value_percent")]
                    .toString();
}

// The id of the node of that name, or -1.
int nodeId(const QString &name)
{
    for (const QJsonValue &object : pipewireGraph())
        if (object[QLatin1String("info")][QLatin1String("props")][QLatin1String("node.name")] ==
            name)
            return object[QLatin1String("id")].toInt();
    return -1;
}

// A mono sound whose every 24 samples say where in it they are: blocks of 20000
// frames, each a ramp of its own step.
Samples positionalSound(std::size_t frames)
{
    static const int steps[] = {7, 9, 11, 13, 17, 19, 21, 23, 27, 29, 31, 33};
    Samples s(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        const std::size_t block = std::min<std::size_t>(i / 20000, std::size(steps) - 1);
        s[i] = std::int16_t(1000 + int(((i - block * 20000) * std::size_t(steps[block])) % 20000));
    }
    return s;
}

// Where in `sound` the samples of `out` from `at` come from; sound.size() if
// nowhere.
std::size_t whereIn(const Samples &sound, const Samples &out, std::size_t at)
{
    for (std::size_t from = 0; from < sound.size(); ++from)
        if (matching(out, at, sound, from) >= 24)
            return from;
    return sound.size();
}

// Another program's steady tone at 500 Hz, mono. It begins
// after 300 ms of silence or a little more: a new stream's two ports may be
// linked a period apart, and a tone from its first frame then starts on one
// side. The file is a whole number of periods long, since pw-play drops a
// last period that is not whole.
Samples steadyTone(int rate, int seconds)
{
    const std::size_t frames = std::size_t(rate) * std::size_t(seconds);
    const std::size_t lead = (std::size_t(rate) * 3 / 10 + frames + 4095) / 4096 * 4096 - frames;
    Samples tone(lead + frames);
    for (std::size_t i = lead; i < tone.size(); ++i)
        tone[i] = std::int16_t(8000 * std::sin(2 * M_PI * 500 * double(i - lead) / rate));
    return tone;
}

// Another program's steady tone, played by the server's own player.
class Bystander {
public:
    // latency: the period pw-play asks for, in frames; 0 leaves its 100 ms.
    Bystander(const QString &kind, const QString &file, int latency = 0)
    {
        const bool pipewire = kind == QLatin1String("pipewire");
        QStringList arguments{file};
        if (pipewire && latency)
            arguments.prepend(QStringLiteral("--latency=%1").arg(latency));
        process_.start(pipewire ? "pw-play" : "paplay", arguments);
        started_ = process_.waitForStarted();
    }
    bool finished() { return process_.waitForFinished(10000) && process_.exitCode() == 0; }
    bool started() const { return started_; }

private:
    QProcess process_;
    bool started_ = false;
};

// The exit code of a command whose output would only clutter the report, such
// as the module number pactl prints.
int runQuietly(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(program, arguments);
    return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit
               ? process.exitCode()
               : -1;
}

int pactl(const QStringList &arguments)
{
    return runQuietly("pactl", arguments);
}

// A stereo null sink of that name; `more`: its format, rate and the like.
int loadNullSink(const QString &name, const QStringList &more)
{
    return pactl(QStringList{"load-module", "module-null-sink", "sink_name=" + name, "channels=2"} +
                 more);
}

// This process's threads that run real-time (SCHED_FIFO or SCHED_RR), by name.
QStringList realTimeThreadNames()
{
    QStringList names;
    for (const QString &task :
         QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat(QStringLiteral("/proc/self/task/%1/stat").arg(task));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // The name lies between the first "(" and the last ")"; the policy is
        // the 41st field, counted after the ")".
        const QByteArray line = stat.readAll();
        const int open = line.indexOf('('), close = line.lastIndexOf(')');
        const QList<QByteArray> fields = line.mid(close + 2).split(' ');
        const int policy = fields.size() > 38 ? fields[38].toInt() : 0;
        if (policy == SCHED_FIFO || policy == SCHED_RR)
            names << QString::fromUtf8(line.mid(open + 1, close - open - 1));
    }
    return names;
}

// The sink of that name as `pactl list sinks` has it, or an empty object.
QJsonObject sinkNamed(const QString &name)
{
    for (const QJsonValue &sink : pactlList(QStringLiteral("sinks")))
        if (sink[QLatin1String("name")].toString() == name)
            return sink.toObject();
    return {};
}

// The sample format of a sink or stream, such as "s16le": the first word of
// the field that reads like "s16le 2ch 44100Hz".
QString sampleFormatOf(const QJsonObject &object)
{
    static const QRegularExpression format(QStringLiteral("^(\\S+) \\d+ch \\d+Hz$"));
    for (const QJsonValue &value : object) {
        const QRegularExpressionMatch match = format.match(value.toString());
        if (match.hasMatch())
            return match.captured(1);
    }
    return {};
}

// What the engine said of its choices, for the reports of failures.
std::mutex logMutex;
QStringList engineLog;
void keepEngineLog(const char *message)
{
    std::lock_guard lock(logMutex);
    engineLog << QString::fromUtf8(message);
}
QString engineSaid()
{
    std::lock_guard lock(logMutex);
    return engineLog.join(QLatin1String("; "));
}
void forgetEngineLog()
{
    std::lock_guard lock(logMutex);
    engineLog.clear();
}

// Why `recording` is not `sound` heard once, whole, alike on both sides;
// empty if it is.
QString notHeardOnce(const std::optional<Samples> &recording, const Samples &sound,
                     const QString &said = engineSaid())
{
    if (!recording)
        return QLatin1String(Recorder::Unheard) + QLatin1String("; ") + said;
    const auto heard = heardSounds(*recording, {&sound});
    const std::vector<Heard> once{{0, sound.size(), {}}};
    return heard == once ? QString() : describe(heard) + QLatin1String("; ") + said;
}

} // namespace

// What every test of one kind of server starts from: a folder for its sounds,
// and the sound clients' variables put back when it ends. Each test starts the
// servers it needs.
class ServerKindTest : public QObject {
    Q_OBJECT

protected:
    QTemporaryDir dir{QDir::tempPath() + QStringLiteral("/Ses Efektleri ışğ-XXXXXX")};

    QString path(const QString &name) const { return dir.filePath(name); }
    std::string file(const QString &name) const { return path(name).toStdString(); }
    // A mono sound file in the test's folder; its path.
    std::string put(const QString &name, const Samples &sound, int rate) const
    {
        const QString written = path(name);
        writeFile(written, Wav::build(sound, 1, rate));
        return written.toStdString();
    }

protected slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        env = clientEnvironment();
    }
    void cleanupTestCase() { env.reset(); }

private:
    std::unique_ptr<EnvGuard> env;
};

// The engine on a real sound server, the kind named by ZEMBRA_TEST_SERVER
// (pulse or pipewire), which the test starts itself with a null sink.
class TestSoundServer : public ServerKindTest {
    Q_OBJECT

    QString kind = qEnvironmentVariable("ZEMBRA_TEST_SERVER");
    std::unique_ptr<Server> server;
    int serverRate = 48000;

    // The server of the kind under test, on PipeWire with its graph at `rate`:
    // desktops run at 44.1 kHz as well as 48.
    void graphAt(int rate)
    {
        if (rate == serverRate && server)
            return;
        server.reset();
        server = std::make_unique<Server>(kind, HeldQuantum, rate);
        serverRate = rate;
        QVERIFY2(server->ready(), "the sound server did not start");
        server->use();
    }
    // The graph rates a test's rows run at, one rate's rows after another's so
    // that the server starts once for each.
    QList<int> graphRates() const
    {
        return kind == QLatin1String("pipewire") ? QList<int>{48000, 44100} : QList<int>{48000};
    }

    static void playFor(SoundEngine &engine, const std::string &file, std::chrono::milliseconds ms)
    {
        engine.play(file);
        engine.waitUntilHandled();
        std::this_thread::sleep_for(ms);
    }

    // The rate the engine's output runs at on this server.
    int outputRate()
    {
        SoundEngine probe;
        probe.play(file("none.tzk"));
        probe.waitUntilHandled();
        return probe.outputRate();
    }

    // Starts a server of the kind under test and checks that the engine, which
    // has not played on it yet, plays the sound there whole at the next press.
    void pressOnANewServer(SoundEngine &engine, const char *name, const Samples &sound, int rate)
    {
        // Each try on a server started for it: a first press there every time.
        for (StallTries tries(kind == QLatin1String("pipewire"), rate);;) {
            server.reset();
            server = std::make_unique<Server>(kind, HeldQuantum);
            QVERIFY(server->ready());
            server->use();
            Recorder recorder(rate);
            QVERIFY2(tries.begin(), "the watch of the graph saw it run no cycle");
            playFor(engine, file(QString::fromLatin1(name)), 300ms);
            const auto recording = tries.recorded(recorder.stop());
            if (tries.madeAgain())
                continue;
            const QString fault = notHeardOnce(recording, sound);
            QVERIFY2(fault.isEmpty(), qPrintable(fault));
            break;
        }
        QCOMPARE(QString::fromStdString(engine.outputName()), kind);
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(kind == "pulse" || kind == "pipewire",
                 "ZEMBRA_TEST_SERVER must name the server to test: pulse or pipewire");
        ServerKindTest::initTestCase();
        server = std::make_unique<Server>(kind, HeldQuantum);
        QVERIFY2(server->ready(), "the sound server did not start");
        server->use();
    }

    void cleanupTestCase()
    {
        server.reset();
        ServerKindTest::cleanupTestCase();
    }

    // Tests after those with rows at other rates find the usual graph.
    void cleanup() { graphAt(48000); }

    // Steps: a, A or b press that sound ("a" short, "A" long), "-" a missing file,
    // "x" a file declaring 1 Hz, "z" waits until the output has gone to sleep.
    // Expected: what is heard, in order; "A~" is A cut off after about 300 ms.
    void playsSampleForSample_data()
    {
        QTest::addColumn<int>("graphRate");
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("expected");
        for (const int rate : graphRates()) {
            const auto row = [rate](const char *name, const char *script, const char *expected) {
                QTest::addRow("%s, %d Hz", name, rate)
                    << rate << QString::fromLatin1(script) << QString::fromLatin1(expected);
            };
            row("one press", "a", "a");
            row("a second press cuts the first", "A b", "A~ b");
            row("the same press restarts", "A A", "A~ A~");
            row("a missing file is silence, the next press plays", "- a", "a");
            row("a bad file is silence, the next press plays", "x a", "a");
            row("the first press after the output slept", "a z a", "a a");
        }
    }

    void playsSampleForSample()
    {
        QFETCH(int, graphRate);
        QFETCH(QString, script);
        QFETCH(QString, expected);
        graphAt(graphRate);
        const int rate = outputRate();
        if (kind == QLatin1String("pipewire"))
            QCOMPARE(rate, graphRate);
        QVERIFY(rate >= 8000);
        // Three sounds that cannot be taken for one another.
        const Samples a = Wav::ramp(std::size_t(rate) / 10, 1, 37);
        const Samples longA = Wav::ramp(std::size_t(rate), 1, 41);
        const Samples b = Wav::ramp(std::size_t(rate) / 10, -1, 53);
        put("a.tzk", a, rate);
        put("A.tzk", longA, rate);
        put("b.tzk", b, rate);
        put("x.tzk", a, 1);
        SoundEngineOptions options;
        options.idleAfter = 200ms;
        // A stall of the whole machine costs every program's samples alike, and
        // may leave the recorder's two sides apart; on PipeWire a watch of the
        // graph's clock sees it, and the presses are made again.
        for (StallTries tries(kind == QLatin1String("pipewire"), rate);;) {
            Recorder recorder(rate);
            QVERIFY(recorder.started());
            QVERIFY2(tries.begin(), "the watch of the graph saw it run no cycle");
            {
                SoundEngine engine(options);
                for (const QString &step : script.split(' ')) {
                    if (step == "z") {
                        QTRY_VERIFY_WITH_TIMEOUT(!engine.isAwake(), 5000);
                        continue;
                    }
                    const QString name = step == "-" ? QStringLiteral("yok.tzk") : step + ".tzk";
                    playFor(engine, file(name), 300ms);
                    QCOMPARE(QString::fromStdString(engine.outputName()), kind);
                }
                // The last sound whole (a long one still cut), however late a busy
                // machine started it.
                std::this_thread::sleep_for(400ms);
            }
            const auto out = tries.recorded(recorder.stop());
            if (tries.madeAgain())
                continue;
            QVERIFY2(out, Recorder::Unheard);
            const std::vector<Heard> heard = heardSounds(*out, {&a, &longA, &b});
            const QStringList want = expected.split(' ');
            QVERIFY2(heard.size() == std::size_t(want.size()), qPrintable(describe(heard)));
            for (std::size_t k = 0; k < heard.size(); ++k) {
                const QString &w = want[int(k)];
                const int sound = w.startsWith('a') ? 0 : w.startsWith('A') ? 1 : 2;
                QVERIFY2(heard[k].sound == sound, qPrintable(describe(heard)));
                const std::size_t size =
                    std::vector<const Samples *>{&a, &longA, &b}[std::size_t(sound)]->size();
                if (w.endsWith('~')) {
                    // Cut off by the next press or the end of the test, 300 ms on.
                    QVERIFY2(heard[k].reached > size / 10 && heard[k].reached < size,
                             qPrintable(describe(heard)));
                } else {
                    QVERIFY2(heard[k].reached == size, qPrintable(describe(heard)));
                }
            }
            return;
        }
    }

    // How late each press sounds: where its sound starts in the recording,
    // against the place in the recording of the moment it was made.
    void pressSoundsWhenItIsMade_data()
    {
        QTest::addColumn<bool>("afterSleep");
        QTest::newRow("while the output is awake") << false;
        QTest::newRow("the first press after the output slept") << true;
    }

    void pressSoundsWhenItIsMade()
    {
        QFETCH(bool, afterSleep);
        const int rate = outputRate();
        const Samples longA = Wav::ramp(std::size_t(rate) * 2, 1, 73);
        const Samples b = Wav::ramp(std::size_t(rate) / 20, -1, 79);
        put("late-a.tzk", longA, rate);
        put("late-b.tzk", b, rate);
        put("late-quiet.tzk", Samples(std::size_t(rate) / 50, 0), rate);
        // The recorder's 5 ms hold PulseAudio's null sink to blocks that long;
        // PipeWire's graph runs at the held quantum.
        const bool pulse = kind == QLatin1String("pulse");
        const std::size_t blockFrames = pulse ? std::size_t(rate) / 200 : HeldQuantum;
        // One period of the server (PulseAudio: the 16 ms we ask for), and
        // the worker's wake-up. PipeWire mixes what a
        // stream gives in one cycle into the sink's next, a period more: a
        // client that starts its tone at the very next cycle is heard 1.5 to 2
        // periods after the press, on the graph's clock.
        const double allowedMs =
            (pulse ? 16.0 : 2.0 * HeldQuantum * 1000 / rate) + ZEMBRA_TEST_WAKE_MS;
        SoundEngineOptions options;
        options.idleAfter = afterSleep ? 200ms : 30s;
        // A stall of the whole machine costs every program's samples alike; on
        // PipeWire a watch of the graph's clock sees it, and the presses are
        // made again.
        for (StallTries tries(!pulse);;) {
            Recorder recorder(rate, "zembra", 5, true);
            QVERIFY(recorder.started());
            QVERIFY2(tries.begin(), "the watch of the graph saw it run no cycle");
            Recorder::Clock::time_point pressedAt[2];
            {
                SoundEngine engine(options);
                // Quiet played through: the stream is linked and running, however
                // long the session manager took to link it.
                engine.play(file("late-quiet.tzk"));
                engine.waitUntilDrained(5s);
                if (afterSleep)
                    QTRY_VERIFY_WITH_TIMEOUT(!engine.isAwake(), 5000);
                else
                    QVERIFY(engine.isAwake());
                pressedAt[0] = Recorder::Clock::now();
                engine.play(file("late-a.tzk"));
                std::this_thread::sleep_for(300ms);
                pressedAt[1] = Recorder::Clock::now();
                engine.play(file("late-b.tzk"));
                engine.waitUntilHandled();
                std::this_thread::sleep_for(300ms);
            }
            const auto recording = recorder.stop();
            if (tries.madeAgain())
                continue;
            QVERIFY2(recording, Recorder::Unheard);
            const auto heard = heardSounds(*recording, {&longA, &b});
            QVERIFY2(heard.size() == 2 && heard[0].sound == 0 && heard[1].sound == 1 &&
                         heard[1].reached == b.size(),
                     qPrintable(describe(heard) + QLatin1Char(' ') + engineSaid()));
            const auto aAt = std::size_t(
                std::find_if(recording->begin(), recording->end(), [](auto v) { return v != 0; }) -
                recording->begin());
            const std::size_t heardAt[2] = {aAt, aAt + heard[0].reached};
            for (int press = 0; press < 2; ++press) {
                const double lateMs = (double(heardAt[press]) -
                                       double(recorder.frameAt(pressedAt[press], blockFrames))) *
                                      1000 / rate;
                qInfo("press %d heard %.1f ms after it was made, at most", press + 1, lateMs);
                QVERIFY2(lateMs <= allowedMs,
                         qPrintable(QStringLiteral("press %1 heard %2 ms late; %3")
                                        .arg(press + 1)
                                        .arg(lateMs, 0, 'f', 1)
                                        .arg(engineSaid())));
            }
            return;
        }
    }

    void serverGoesAwayAndComesBack_data()
    {
        QTest::addColumn<bool>("killed");
        QTest::newRow("stopped") << false;
        // Dead between two calls of the client library, which must not abort us.
        QTest::newRow("killed while presses come") << true;
    }

    void serverGoesAwayAndComesBack()
    {
        QFETCH(bool, killed);
        const int rate = outputRate();
        const Samples a = Wav::ramp(std::size_t(rate) / 10, 1, 29);
        put("c.tzk", a, rate);
        SoundEngine engine;
        playFor(engine, file("c.tzk"), 200ms);
        QCOMPARE(QString::fromStdString(engine.outputName()), kind);
        if (killed) {
            std::atomic<bool> pressing{true};
            std::thread presser([&] {
                for (int i = 0; pressing; ++i) {
                    engine.play(file(i % 2 ? "c.tzk" : "none.tzk"));
                    std::this_thread::sleep_for(1ms);
                }
            });
            std::this_thread::sleep_for(300ms);
            server->signal(SIGKILL);
            std::this_thread::sleep_for(700ms);
            pressing = false;
            presser.join();
        }
        server.reset();
        playFor(engine, file("c.tzk"), 200ms); // nowhere to play: silence
        pressOnANewServer(engine, "c.tzk", a, rate);
    }

    void startedBeforeAnyServerSoundsOnceOneRuns()
    {
        const int rate = outputRate();
        const Samples a = Wav::ramp(std::size_t(rate) / 10, 1, 43);
        put("d.tzk", a, rate);
        server.reset();
        qputenv("PULSE_SERVER", "unix:/nonexistent/zembra-no-server");
        qputenv("PIPEWIRE_RUNTIME_DIR", "/nonexistent");
        SoundEngine engine;
        playFor(engine, file("d.tzk"), 50ms);
        pressOnANewServer(engine, "d.tzk", a, rate);
    }

    // Zembra has an entry of its own in the desktop's volume mixer: the server
    // keys a stream's kept volume by its role where it has one (so every stream
    // of that role shares it; "event" is the desktop's "System Sounds"), else by
    // the application.
    void ownEntryInTheVolumeMixer()
    {
        // A server of its own: the volumes it keeps are no other test's.
        ZEMBRA_USE_SERVER(own, kind, HeldQuantum);
        const auto useShared = qScopeGuard([this] { server->use(); });
        const int rate = outputRate();
        put("quiet.tzk", Samples(std::size_t(rate) / 5), rate);
        const bool pulse = kind == QLatin1String("pulse");
        // PulseAudio as a desktop runs it, keeping each entry's volume.
        if (pulse)
            QCOMPARE(pactl({"load-module", "module-stream-restore"}), 0);
        auto engine = std::make_unique<SoundEngine>();
        playFor(*engine, file("quiet.tzk"), 100ms);
        const QJsonObject zembra = sinkInput("application.id", "zembra");
        const QJsonObject props = zembra[QLatin1String("properties")].toObject();
        QVERIFY2(!zembra.isEmpty() && !props.contains(QLatin1String("media.role")),
                 QJsonDocument(sinkInputs()).toJson(QJsonDocument::Compact).constData());
        // The key under which the server keeps the stream's volume.
        QCOMPARE(props[QLatin1String("module-stream-restore.id")].toString(),
                 QStringLiteral("sink-input-by-application-id:zembra"));
        if (!pulse)
            return;
        // The user turns Zembra down; other programs' alert sounds keep their
        // volume, and Zembra's next start keeps its own.
        QCOMPARE(pactl({"set-sink-input-volume",
                        QString::number(zembra[QLatin1String("index")].toInt()), "30%"}),
                 0);
        engine.reset();
        QProcess alert;
        alert.setStandardInputFile(QStringLiteral("/dev/zero"));
        alert.start(QStringLiteral("pacat"),
                    {QStringLiteral("--playback"), QStringLiteral("--property=media.role=event")});
        QVERIFY(alert.waitForStarted());
        QJsonObject other;
        QTRY_VERIFY_WITH_TIMEOUT(!(other = sinkInput("media.role", "event")).isEmpty(), 10000);
        alert.kill();
        alert.waitForFinished();
        engine = std::make_unique<SoundEngine>();
        playFor(*engine, file("quiet.tzk"), 100ms);
        QCOMPARE(volumeOf(other), QStringLiteral("100%"));
        QCOMPARE(volumeOf(sinkInput("application.id", "zembra")), QStringLiteral("30%"));
    }

    // A server that hangs, or only answers late, must not keep the program
    // from ending: the engine's destructor returns whatever the server does.
    void slowServerDoesNotHoldTheEngine_data()
    {
        QTest::addColumn<bool>("frozen");
        QTest::newRow("frozen") << true;
        QTest::newRow("answering late, now and then") << false;
    }

    void slowServerDoesNotHoldTheEngine()
    {
        QFETCH(bool, frozen);
        put("e.tzk", Wav::ramp(4410), 44100);
        SoundEngineOptions options;
        options.connectTimeout = 60s; // the worker waits on the server this long
        // Late: stopped for seconds at a time, running a moment between, so that
        // each answer comes long after it was asked for.
        std::atomic<bool> slowing{!frozen};
        server->signal(SIGSTOP);
        std::thread slow([&] {
            while (slowing) {
                for (int i = 0; i < 300 && slowing; ++i)
                    std::this_thread::sleep_for(10ms);
                server->signal(SIGCONT);
                std::this_thread::sleep_for(5ms);
                server->signal(SIGSTOP);
            }
        });
        auto engine = std::make_unique<SoundEngine>(options);
        engine->play(file("e.tzk")); // the worker connects to the server
        std::this_thread::sleep_for(200ms);
        auto done = std::async(std::launch::async, [&] { engine.reset(); });
        // The bound the program promises for its end, the goodbye included.
        const bool returned = done.wait_for(3s) == std::future_status::ready;
        slowing = false;
        slow.join();
        server->signal(SIGCONT);
        QVERIFY2(returned, "the engine waited for the server");
    }

    // Another program's tone plays whole while Zembra plays, on a server that
    // lets Zembra choose its period. Zembra plays silence, so every quiet run
    // in the recording is the tone's.
    void anotherProgramLosesNothing()
    {
        server = std::make_unique<Server>(kind);
        QVERIFY2(server->ready(), "the sound server did not start");
        server->use();
        const int rate = outputRate();
        const Samples tone = steadyTone(rate, 3);
        put("tone.wav", tone, rate);
        put("quiet.tzk", Samples(std::size_t(rate) / 5), rate);
        // On PipeWire, as the watch of the graph heard it: it sees each cycle
        // it missed itself, and a stall of the whole machine is made again.
        for (StallTries tries(kind == QLatin1String("pipewire"), rate);;) {
            Recorder recorder(rate);
            QVERIFY2(tries.begin(), "the watch of the graph saw it run no cycle");
            Bystander tonePlayer(kind, path("tone.wav"));
            forgetEngineLog();
            SoundEngine engine;
            for (int press = 0; press < 10; ++press) {
                engine.play(file("quiet.tzk"));
                std::this_thread::sleep_for(300ms);
            }
            QVERIFY2(tonePlayer.finished(), "the tone was not played");
            std::this_thread::sleep_for(200ms); // its last periods reach the recording
            const auto out = tries.recorded(recorder.stop());
            if (tries.madeAgain())
                continue;
            QVERIFY2(out, Recorder::Unheard);
            const QString faults = toneFaults(*out, tone, rate);
            QVERIFY2(faults.isEmpty(),
                     qPrintable(QStringLiteral("the tone: %1; %2").arg(faults, engineSaid())));
            return;
        }
    }
};

// What only PipeWire does: Zembra's period starts at one the machine holds and
// steps up when the server misses periods; sinks come and go as nodes.
class TestPipeWire : public ServerKindTest {
    Q_OBJECT

    // The quiet stretch after which a sound tries a shorter period, shortened.
    static constexpr std::chrono::milliseconds StepDownAfter{6000};

private slots:
    // The stream is served by a real-time thread: an ordinary one misses short
    // periods under load. Which client set-up gives one differs by PipeWire
    // release.
    void streamRunsOnARealTimeThread()
    {
        ZEMBRA_USE_SERVER(server, "pipewire");
        put("rt.tzk", Wav::ramp(4800), 48000);
        SoundEngine engine;
        engine.play(file("rt.tzk"));
        engine.waitUntilHandled();
        QCOMPARE(QString::fromStdString(engine.outputName()), QStringLiteral("pipewire"));
        QTRY_VERIFY_WITH_TIMEOUT(!realTimeThreadNames().isEmpty(), 2000);
    }

    // A program's stream keeps the period it asked for, whether it was open
    // before the press or opens while Zembra plays: a change of period while it
    // plays, as when Zembra's stream ends, would cost it a whole period.
    void otherProgramsKeepTheirPeriod_data()
    {
        QTest::addColumn<bool>("openBefore");
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("latency");
        QTest::addColumn<int>("period");
        // pw-play's 100 ms the server takes as its longest period.
        QTest::newRow("open before the press") << true << 48000 << 0 << 2048;
        QTest::newRow("opening while Zembra plays") << false << 48000 << 0 << 2048;
        QTest::newRow("1024 frames on a 44.1 kHz graph") << true << 44100 << 1024 << 1024;
    }
    void otherProgramsKeepTheirPeriod()
    {
        QFETCH(bool, openBefore);
        QFETCH(int, rate);
        QFETCH(int, latency);
        QFETCH(int, period);
        ZEMBRA_USE_SERVER(server, "pipewire", 0, rate);
        const Samples tone = steadyTone(rate, 3);
        put("tone.wav", tone, rate);
        const std::string quiet = put("quiet.tzk", Samples(24000), rate);
        // Recorded in periods longer than the player's, so that only the
        // player and Zembra choose the graph's.
        for (StallTries tries(true, rate);;) {
            Recorder recorder(rate, "zembra", 50);
            QVERIFY2(tries.begin(), "the watch of the graph saw it run no cycle");
            SoundEngine engine;
            std::optional<Bystander> tonePlayer;
            if (openBefore) {
                tonePlayer.emplace("pipewire", path("tone.wav"), latency);
                std::this_thread::sleep_for(200ms);
            }
            engine.play(quiet);
            engine.waitUntilHandled();
            QCOMPARE(QString::fromStdString(engine.outputName()), QStringLiteral("pipewire"));
            if (!openBefore) {
                QCOMPARE(engine.outputQuantum(), 256);
                tonePlayer.emplace("pipewire", path("tone.wav"));
            }
            QTRY_COMPARE_WITH_TIMEOUT(engine.outputQuantum(), period, 2000);
            // Zembra's stream ends while the tone plays.
            QTRY_VERIFY_WITH_TIMEOUT(!engine.isAwake(), 5000);
            QVERIFY2(tonePlayer->finished(), "the tone was not played");
            std::this_thread::sleep_for(200ms); // its last periods reach the recording
            const auto out = tries.recorded(recorder.stop());
            if (tries.madeAgain())
                continue;
            QVERIFY2(out, Recorder::Unheard);
            const QString faults = toneFaults(*out, tone, rate);
            QVERIFY2(faults.isEmpty(),
                     qPrintable(QStringLiteral("the tone: %1; %2").arg(faults, engineSaid())));
            return;
        }
    }

    // Another program's stream counts while it is open: at the graph's default
    // when it asks for no period in particular, and once it has gone Zembra's
    // own period is asked again, also where the output stays awake between
    // sounds (as while a call records it). Periods missed while one holds the
    // graph shorter than Zembra asks for are not Zembra's to step up for.
    void anotherProgramsStreamCountsWhileOpen_data()
    {
        QTest::addColumn<bool>("keptAwake");
        QTest::newRow("the output sleeps between sounds") << false;
        QTest::newRow("the output kept awake") << true;
    }
    void anotherProgramsStreamCountsWhileOpen()
    {
        QFETCH(bool, keptAwake);
        ZEMBRA_USE_SERVER(server, "pipewire");
        put("tone.wav", steadyTone(48000, 5), 48000);
        put("one.tzk", Wav::ramp(48000), 48000);
        SoundEngineOptions options;
        options.idleAfter = keptAwake ? std::chrono::milliseconds(1h) : 200ms;
        SoundEngine engine(options);
        // -1: the output never went to sleep, or went while kept awake.
        const auto pressFromSilence = [&] {
            if (keptAwake) {
                engine.waitUntilDrained(5s);
                if (engine.outputQuantum() > 0 && !engine.isAwake())
                    return -1;
            } else {
                for (int i = 0; i < 500 && engine.isAwake(); ++i)
                    std::this_thread::sleep_for(10ms);
                if (engine.isAwake())
                    return -1;
            }
            engine.play(file("one.tzk"));
            engine.waitUntilHandled();
            return engine.outputQuantum();
        };
        const QString node = QStringLiteral("{ factory.name=support.null-audio-sink "
                                            "node.name=bystander object.linger=true "
                                            "media.class=Stream/Output/Audio }");
        QCOMPARE(runQuietly("pw-cli", {"create-node", "adapter", node}), 0);
        QTRY_VERIFY_WITH_TIMEOUT(nodeId("bystander") >= 0, 5000);
        QCOMPARE(pressFromSilence(), 1024); // the server's default.clock.quantum
        const QString id = QString::number(nodeId("bystander"));
        QCOMPARE(runQuietly("pw-cli", {"destroy", id}), 0);
        QTRY_VERIFY_WITH_TIMEOUT(nodeId("bystander") < 0, 5000);
        // Kept awake, it comes back as the other program goes, before a press.
        if (keptAwake)
            QTRY_VERIFY2(engine.outputQuantum() == 256, qPrintable(engineSaid()));
        QVERIFY2(pressFromSilence() == 256, qPrintable(engineSaid()));

        Bystander tonePlayer("pipewire", path("tone.wav"), 128);
        QTRY_VERIFY_WITH_TIMEOUT(nodeId("pw-play") >= 0, 5000);
        // Its own period, not the other's 128; longer where a miss of this
        // machine's own has taught it so since.
        const int own = pressFromSilence();
        QVERIFY2(own >= 256, qPrintable(engineSaid()));
        std::this_thread::sleep_for(400ms); // past the settling of the stream's start
        ::kill(server.daemon(), SIGSTOP);
        std::this_thread::sleep_for(60ms);
        ::kill(server.daemon(), SIGCONT);
        // Asleep before the next press: the misses have been looked at.
        QVERIFY2(pressFromSilence() == own, qPrintable(engineSaid()));
        QVERIFY2(tonePlayer.finished(), "the tone was not played");
    }

    // Periods missed double Zembra's period until the machine holds it; after
    // a quiet stretch a sound from silence tries one step shorter, and plays
    // whole there.
    void stepsUpWhenTheServerMissesPeriods_data()
    {
        QTest::addColumn<int>("rate");
        QTest::newRow("48 kHz") << 48000;
        QTest::newRow("44.1 kHz") << 44100;
    }
    void stepsUpWhenTheServerMissesPeriods()
    {
        QFETCH(int, rate);
        forgetEngineLog(); // what the engine said in this row alone
        ZEMBRA_USE_SERVER(server, "pipewire", 0, rate);
        const std::string longSound = put("long.tzk", Wav::ramp(std::size_t(rate) * 3), rate);
        const Samples sound = Wav::ramp(std::size_t(rate) / 2, 1, 31);
        put("short.tzk", sound, rate);
        const auto latency = [rate](int frames) {
            return QStringLiteral("%1/%2").arg(frames).arg(rate);
        };

        SoundEngineOptions options;
        options.idleAfter = 200ms;
        options.stepDownAfter = StepDownAfter;
        SoundEngine engine(options);
        engine.play(longSound);
        engine.waitUntilHandled();
        QCOMPARE(QString::fromStdString(engine.outputName()), QStringLiteral("pipewire"));
        QCOMPARE(engine.outputRate(), rate);
        // 256 frames last at least as long as 256 at 48 kHz at both rates.
        QCOMPARE(engine.outputQuantum(), 256);
        // A miss under load may have doubled it by the time the server is asked.
        QTRY_COMPARE_WITH_TIMEOUT(askedLatency(), latency(engine.outputQuantum()), 5000);
        // The graph's thread held up for three of those periods: a stall as a
        // loaded machine gives, each one costing periods.
        QElapsedTimer sinceStepUp;
        while (engine.outputQuantum() < 1024) {
            // A sound playing past the settling of its start or of the last
            // change: the output may have slept and woken again since.
            engine.play(longSound);
            engine.waitUntilHandled();
            // A miss of the machine's own may step it up meanwhile: the stall
            // comes only past the settling of the last change, whose misses
            // are not counted.
            int before = 0;
            while (before != engine.outputQuantum()) {
                before = engine.outputQuantum();
                std::this_thread::sleep_for(400ms);
            }
            ::kill(server.daemon(), SIGSTOP);
            std::this_thread::sleep_for(60ms);
            ::kill(server.daemon(), SIGCONT);
            QTRY_VERIFY2_WITH_TIMEOUT(engine.outputQuantum() > before, qPrintable(engineSaid()),
                                      2000);
            sinceStepUp.start();
            // Doubled, not the longest at once.
            QCOMPARE(engine.outputQuantum(), before * 2);
        }
        const int learnt = engine.outputQuantum();
        QTRY_COMPARE_WITH_TIMEOUT(askedLatency(), latency(learnt), 5000);

        // What it learnt holds for the sounds that follow, which play whole.
        // Recorded in periods longer than any the program asks for: 20 ms would
        // hold the graph at 512 frames, below what it learnt.
        // A stall of the machine or the server during the sound costs the
        // graph cycles, and every program's samples in them alike; a watch in
        // the graph sees its clock jump over them. The engine steps up for a
        // stall, unless it came while the period was still settling. A try the
        // graph did not run whole is made again: where the engine stepped up,
        // once it tries the period again, after a quiet stretch that a failed
        // try of a shorter period doubles. A loss with the graph whole fails.
        QElapsedTimer sinceChange = sinceStepUp;
        std::chrono::milliseconds wait = StepDownAfter;
        const auto playsWhole = [&](int period, bool lowered) {
            for (int attempt = 1;; ++attempt) {
                if (lowered)
                    std::this_thread::sleep_for(
                        std::max(0ms, wait - std::chrono::milliseconds(sinceChange.elapsed())));
                QTRY_VERIFY_WITH_TIMEOUT(!engine.isAwake(), 5000);
                Recorder recorder(rate, "zembra", 50);
                GraphWatch watch("zembra", true, rate);
                QVERIFY(watch.waitUntilRunning(5s));
                engine.play(file("short.tzk"));
                engine.waitUntilHandled();
                // A miss while the last sound still played may have doubled
                // the period before this press: a try that stepped up.
                const int at = engine.outputQuantum();
                if (lowered || at != period * 2)
                    QCOMPARE(at, period);
                if (lowered)
                    sinceChange.start();
                QTRY_COMPARE_WITH_TIMEOUT(askedLatency(), latency(at), 5000);
                std::this_thread::sleep_for(800ms);
                (void)recorder.stop();
                // The watch's own recording: it sees each cycle it missed.
                const auto recording = watch.recording();
                const std::uint64_t skipped = watch.skippedFrames();
                const QString said =
                    QStringLiteral("graph cycles %1, frames skipped %2, late cycles %3; ")
                        .arg(watch.cycles())
                        .arg(skipped)
                        .arg(watch.lateCycles()) +
                    engineSaid();
                const bool steppedUp = engine.outputQuantum() != period;
                if (!steppedUp && skipped == 0 && watch.lateCycles() == 0) {
                    const QString fault = notHeardOnce(recording, sound, said);
                    QVERIFY2(fault.isEmpty(), qPrintable(fault));
                    return;
                }
                if (steppedUp)
                    QVERIFY2(engine.outputQuantum() == period * 2, qPrintable(said));
                QVERIFY2(attempt < 3,
                         qPrintable(QStringLiteral("the graph ran whole in none of three tries: ") +
                                    said));
                qInfo("try %d at %d frames: %s; trying again", attempt, period, qPrintable(said));
                if (steppedUp && lowered)
                    wait *= 2;
                if (steppedUp)
                    sinceChange.start();
                lowered = steppedUp;
            }
        };
        playsWhole(learnt, false);
        if (QTest::currentTestFailed())
            return;
        // Once the load has gone: one step down at the next sound from silence.
        playsWhole(learnt / 2, true);
    }

    // A headset plugged in mid-sound: the default sink changes and the sound
    // goes on there from where it was, at the period it had.
    void soundFollowsTheDefaultSink()
    {
        const Samples sound = positionalSound(48000 * 3);
        put("long.tzk", sound, 48000);
        // A stall of the machine makes the engine step up, rightly, and
        // costs the sinks' samples alike: such a try is made again, on a
        // server of its own whose default nobody has chosen yet. Watched on
        // the headset, where the sound ends.
        for (StallTries tries(true, 0, "headset");;) {
            ZEMBRA_USE_SERVER(server, "pipewire", HeldQuantum);
            QCOMPARE(loadNullSink("headset", {"rate=48000"}), 0);
            QTRY_VERIFY_WITH_TIMEOUT(nodeId("headset") >= 0, 10000);
            Recorder room(48000, "zembra", 50);
            Recorder headset(48000, "headset", 50);
            QVERIFY2(tries.begin(), "the watch of the graph saw it run no cycle");
            SoundEngine engine;
            engine.play(file("long.tzk"));
            engine.waitUntilHandled();
            QCOMPARE(QString::fromStdString(engine.outputName()), QStringLiteral("pipewire"));
            const int period = engine.outputQuantum();
            std::this_thread::sleep_for(1s); // past the settling of the stream's start
            // A period the machine did not hold, before the move: not the move's doing.
            const bool steppedBefore = engine.outputQuantum() != period;
            QCOMPARE(pactl({"set-default-sink", "headset"}), 0);
            QTRY_VERIFY_WITH_TIMEOUT(!engine.isAwake(), 10000);
            const auto roomRecording = room.stop(), headsetRecording = headset.stop();
            if (tries.madeAgain() ||
                (steppedBefore && tries.voided("the period stepped up before the move")))
                continue;
            QVERIFY2(roomRecording && headsetRecording, Recorder::Unheard);
            const Samples &before = *roomRecording, &after = *headsetRecording;

            // The start in the room, and the rest, to the end, on the headset.
            const auto firstLoud = [](const Samples &s) {
                return std::size_t(std::find_if(s.begin(), s.end(), [](auto v) { return v != 0; }) -
                                   s.begin());
            };
            const std::size_t inRoom =
                firstLoud(before) < before.size() ? matching(before, firstLoud(before), sound) : 0;
            QVERIFY2(inRoom > 48000 / 2 && inRoom < sound.size(),
                     qPrintable(QStringLiteral("%1 frames in the room").arg(inRoom)));
            const std::size_t at = firstLoud(after);
            QVERIFY2(at < after.size(), "nothing on the headset");
            const std::size_t from = whereIn(sound, after, at);
            QVERIFY2(from < sound.size(), "something else on the headset");
            QVERIFY2(from >= inRoom / 2,
                     qPrintable(
                         QStringLiteral("the sound started again at %1 on the headset").arg(from)));
            // On to the end, never back: frames PipeWire drops as it relinks the
            // stream, within half a second of the move, are counted, not taken for
            // a restart.
            std::size_t pos = from, i = at, dropped = 0;
            for (;;) {
                const std::size_t run = matching(after, i, sound, pos);
                i += run;
                pos += run;
                while (i < after.size() && after[i] == 0)
                    ++i;
                if (pos == sound.size() || i == after.size())
                    break;
                const std::size_t next = whereIn(sound, after, i);
                // Only while the move settles: a frame lost later is ours.
                QVERIFY2(
                    i - at < 48000 / 2,
                    qPrintable(QStringLiteral("%1 frames lost on the headset %2 s after the move")
                                   .arg(next - pos)
                                   .arg(double(i - at) / 48000)));
                QVERIFY2(next > pos && next < sound.size(),
                         qPrintable(QStringLiteral("on the headset, frame %1 of the sound after %2")
                                        .arg(next)
                                        .arg(pos)));
                dropped += next - pos;
                pos = next;
            }
            QVERIFY2(pos == sound.size(),
                     qPrintable(
                         QStringLiteral("the sound stopped at frame %1 on the headset").arg(pos)));
            qInfo(
                "the move cost %lld frames (heard up to %zu in the room, from %zu on the headset), "
                "and %zu more on the headset",
                static_cast<long long>(from) - static_cast<long long>(inRoom), inRoom, from,
                dropped);
            QVERIFY2(engine.outputQuantum() == period,
                     qPrintable(QStringLiteral("the period went from %1 to %2: %3")
                                    .arg(period)
                                    .arg(engine.outputQuantum())
                                    .arg(engineSaid())));
            return;
        }
    }

    // With its only sink gone the server plays nowhere: the engine lets the
    // output go, the next press chooses again without hanging, and once a sink
    // is back a press is heard there.
    void theOnlySinkGoesAndComesBack()
    {
        ZEMBRA_USE_SERVER(server, "pipewire", HeldQuantum);
        const Samples sound = Wav::ramp(4800, 1, 67);
        const std::string sinkSound = put("sink.tzk", sound, 48000);
        SoundEngine engine;
        engine.play(sinkSound);
        engine.waitUntilHandled();
        QCOMPARE(QString::fromStdString(engine.outputName()), QStringLiteral("pipewire"));

        const int sink = nodeId("zembra");
        QVERIFY(sink >= 0);
        QCOMPARE(runQuietly("pw-cli", {"destroy", QString::number(sink)}), 0);
        QTRY_VERIFY2_WITH_TIMEOUT(engine.outputName().empty(), qPrintable(engineSaid()), 10000);
        engine.play(sinkSound);
        engine.waitUntilHandled();
        QVERIFY2(engine.outputName() != "pipewire", qPrintable(engineSaid()));

        QCOMPARE(loadNullSink("zembra", {"rate=48000"}), 0);
        QTRY_VERIFY_WITH_TIMEOUT(nodeId("zembra") >= 0, 10000);
        for (StallTries tries(true, 48000);;) {
            Recorder recorder(48000);
            QVERIFY2(tries.begin(), "the watch of the graph saw it run no cycle");
            engine.play(sinkSound);
            engine.waitUntilHandled();
            std::this_thread::sleep_for(800ms);
            const auto recording = tries.recorded(recorder.stop());
            if (tries.madeAgain())
                continue;
            const QString fault = notHeardOnce(recording, sound);
            QVERIFY2(fault.isEmpty(), qPrintable(fault));
            return;
        }
    }

    // A session manager may link a new stream's channels one at a time, as
    // PipeWire 1.4's does: the first sound waits for both, and is heard on
    // both sides from its first sample. Here the test links them itself, the
    // right two periods after the left.
    void firstSoundWaitsForEveryChannelsLink()
    {
        ZEMBRA_USE_SERVER(server, "pipewire", HeldQuantum);
        const Samples sound = Wav::ramp(9600, 1, 67);
        put("links.tzk", sound, 48000);
        const auto link = [](const char *channel) {
            return runQuietly(QStringLiteral("pw-link"),
                              {QStringLiteral("Zembra:output_%1").arg(QLatin1String(channel)),
                               QStringLiteral("zembra:playback_%1").arg(QLatin1String(channel))});
        };
        for (StallTries tries(true, 48000);;) {
            Recorder recorder(48000);
            QVERIFY2(tries.begin(), "the watch of the graph saw it run no cycle");
            EnvGuard unlinked({"PIPEWIRE_AUTOCONNECT"}); // read as the stream connects
            qputenv("PIPEWIRE_AUTOCONNECT", "false");
            SoundEngine engine;
            engine.play(file("links.tzk"));
            // Once the stream has its ports.
            int linked = link("FL");
            for (int i = 0; i < 500 && linked != 0; ++i, linked = link("FL"))
                std::this_thread::sleep_for(10ms);
            QCOMPARE(linked, 0);
            std::this_thread::sleep_for(50ms);
            QCOMPARE(link("FR"), 0);
            engine.waitUntilHandled();
            std::this_thread::sleep_for(800ms);
            const auto recording = tries.recorded(recorder.stop());
            if (tries.madeAgain())
                continue;
            const QString fault = notHeardOnce(recording, sound);
            QVERIFY2(fault.isEmpty(), qPrintable(fault));
            return;
        }
    }
};

// What only the PulseAudio output does: it plays at the default sink's rate,
// which may change while it runs.
class TestPulse : public ServerKindTest {
    Q_OBJECT

private slots:
    // The server gone between two calls of the client library: a press that
    // meets it is silence and does not end the program; the next one plays.
    void serverGoneBetweenTwoCalls_data()
    {
        QTest::addColumn<bool>("asleep"); // when it goes: opening, or waking the stream
        QTest::newRow("as the output opens") << false;
        QTest::newRow("as the output wakes") << true;
    }

    void serverGoneBetweenTwoCalls()
    {
        QFETCH(bool, asleep);
        ZEMBRA_USE_SERVER(server, "pulse");
        const Samples sound = Wav::ramp(4410, 1, 83);
        const std::string name = put("gone.tzk", sound, 44100);
        SoundEngineOptions options;
        options.idleAfter = 100ms;
        SoundEngine engine(options);
        if (asleep) {
            engine.play(name);
            engine.waitUntilHandled();
            QTRY_VERIFY_WITH_TIMEOUT(!engine.isAwake(), 5000);
        }
        serverGoneAtTheCall = true;
        engine.play(name);
        engine.waitUntilHandled();
        serverGoneAtTheCall = false;
        Recorder recorder(44100);
        engine.play(name);
        engine.waitUntilHandled();
        std::this_thread::sleep_for(300ms);
        const auto recording = recorder.stop();
        const QString fault = notHeardOnce(recording, sound);
        QVERIFY2(fault.isEmpty(), qPrintable(fault));
    }

    // The client library's loop thread feeds the stream every millisecond while
    // a sound plays: it runs real-time (as root, as the tests run, the limits
    // allow it), and the engine's worker, which only connects and hands
    // voices over, does not.
    void loopThreadRunsRealTime()
    {
        ZEMBRA_USE_SERVER(server, "pulse");
        put("rt.tzk", Wav::ramp(4410), 44100);
        SoundEngine engine;
        engine.play(file("rt.tzk"));
        engine.waitUntilHandled();
        QCOMPARE(QString::fromStdString(engine.outputName()), QStringLiteral("pulse"));
        QTRY_VERIFY2_WITH_TIMEOUT(realTimeThreadNames().contains("threaded-ml"),
                                  qPrintable(realTimeThreadNames().join(QLatin1Char(' ')) +
                                             QStringLiteral("; ") + engineSaid()),
                                  2000);
        const QStringList realTime = realTimeThreadNames();
        QVERIFY2(realTime == QStringList{QStringLiteral("threaded-ml")},
                 qPrintable(realTime.join(QLatin1Char(' '))));
    }

    // The default sink changes between sounds: to one that plays floats, to a
    // headset taken for a call at 16 kHz, and back. The first press after the
    // output slept is decoded at the default sink's rate and heard whole there,
    // from a stream in another format than the sink's, so that the server
    // mixes its own copy (by reference, our shared memory would be handed on
    // to the monitor's recorder, which aborts PulseAudio 16 when we disconnect).
    void followsTheDefaultSink()
    {
        ZEMBRA_USE_SERVER(server, "pulse");
        qunsetenv("PULSE_SINK"); // the default sink, as a desktop's programs play
        QCOMPARE(loadNullSink("wide", {"format=float32le", "rate=44100", "norewinds=1"}), 0);
        QCOMPARE(loadNullSink("headset", {"rate=16000", "norewinds=1"}), 0);
        SoundEngineOptions options;
        options.idleAfter = 100ms;
        SoundEngine engine(options);
        for (const auto &[sink, format, rate] :
             {std::tuple("zembra", "s16le", 44100), std::tuple("wide", "float32le", 44100),
              std::tuple("headset", "s16le", 16000), std::tuple("zembra", "s16le", 44100)}) {
            QCOMPARE(pactl({"set-default-sink", sink}), 0);
            const QJsonObject played = sinkNamed(sink);
            QCOMPARE(sampleFormatOf(played), QString::fromLatin1(format));
            const Samples sound = Wav::ramp(std::size_t(rate) / 10, 1, 71);
            const std::string name = put(QStringLiteral("%1.tzk").arg(rate), sound, rate);
            Recorder recorder(rate, sink);
            QTRY_VERIFY_WITH_TIMEOUT(!engine.isAwake(), 5000);
            forgetEngineLog();
            engine.play(name);
            engine.waitUntilHandled();
            QCOMPARE(engine.outputRate(), rate);
            const QJsonObject stream = sinkInput("application.id", "zembra");
            std::this_thread::sleep_for(400ms);
            const QString fault = notHeardOnce(recorder.stop(), sound);
            QVERIFY2(fault.isEmpty(), qPrintable(fault));
            QCOMPARE(stream[QLatin1String("sink")].toInt(), played[QLatin1String("index")].toInt());
            QVERIFY2(sampleFormatOf(stream) != QString::fromLatin1(format),
                     qPrintable(sampleFormatOf(stream) + QStringLiteral(" on ") + sink +
                                QStringLiteral("; ") + engineSaid()));
        }
    }

    // Another program's stream keeps the sink's latency it had while Zembra
    // plays: requested early, Zembra's millisecond would become the whole
    // sink's, waking the server and that program every millisecond. That
    // program plays silence, so the recording is Zembra's sound alone, which
    // must still be heard whole.
    void anotherProgramKeepsTheSinksLatency_data()
    {
        QTest::addColumn<QStringList>("player");
        QTest::newRow("a player's default buffer") << QStringList{};
        QTest::newRow("a player asking for 40 ms")
            << QStringList{QStringLiteral("--latency-msec=40")};
    }
    void anotherProgramKeepsTheSinksLatency()
    {
        QFETCH(QStringList, player);
        ZEMBRA_USE_SERVER(server, "pulse");
        const Samples sound = Wav::ramp(44100 / 2, 1, 97);
        const std::string name = put("polite.tzk", sound, 44100);
        Recorder recorder(44100);
        QProcess other;
        other.setStandardInputFile(QStringLiteral("/dev/zero"));
        other.start(QStringLiteral("pacat"), QStringList{QStringLiteral("--playback")} + player);
        QVERIFY(other.waitForStarted());
        const auto stopOther = qScopeGuard([&] {
            other.kill();
            other.waitForFinished();
        });
        QTRY_VERIFY_WITH_TIMEOUT(!sinkInput("application.process.binary", "pacat").isEmpty(),
                                 10000);
        const auto configured = [] {
            return sinkNamed(QStringLiteral(
                "zembra"))[QLatin1String("latency")][QLatin1String("configured")]
                .toDouble();
        };
        const double before = configured();
        QVERIFY(before > 0);
        forgetEngineLog();
        SoundEngine engine;
        engine.play(name);
        engine.waitUntilHandled();
        QCOMPARE(QString::fromStdString(engine.outputName()), QStringLiteral("pulse"));
        QTRY_VERIFY_WITH_TIMEOUT(
            !sinkInput("application.id", "zembra")[QLatin1String("corked")].toBool(true), 2000);
        QCOMPARE(configured(), before);
        engine.play(name); // a press while it plays
        engine.waitUntilHandled();
        QCOMPARE(configured(), before);
        std::this_thread::sleep_for(800ms);
        const auto recording = recorder.stop();
        QVERIFY2(recording, Recorder::Unheard);
        const auto heard = heardSounds(*recording, {&sound});
        const std::vector<Heard> cutThenWhole{{0, heard.empty() ? 0 : heard[0].reached, {}},
                                              {0, sound.size(), {}}};
        QVERIFY2(heard.size() == 2 && heard == cutThenWhole && heard[0].reached > 0,
                 qPrintable(describe(heard) + QLatin1Char(' ') + engineSaid()));
    }
};

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    AudioLog::setSink(&keepEngineLog);
    TestSoundServer sounds;
    int failed = QTest::qExec(&sounds, argc, argv);
    if (qEnvironmentVariable("ZEMBRA_TEST_SERVER") == QLatin1String("pulse")) {
        TestPulse pulse;
        failed += QTest::qExec(&pulse, argc, argv);
    }
    if (qEnvironmentVariable("ZEMBRA_TEST_SERVER") == QLatin1String("pipewire")) {
        TestPipeWire pipeWire;
#ifdef ZEMBRA_TEST_SANITIZED
        // Instrumented, the real-time path runs two to three times slower, and
        // the period tests would measure the instrumentation: the release
        // build runs them. Here, the cases that are not about timing.
        failed += QTest::qExec(&pipeWire, {QString::fromLocal8Bit(argv[0]),
                                           QStringLiteral("streamRunsOnARealTimeThread"),
                                           QStringLiteral("theOnlySinkGoesAndComesBack")});
#else
        failed += QTest::qExec(&pipeWire, argc, argv);
#endif
    }
    return failed ? 1 : 0;
}
#include "tst_sound_server.moc"

#include "audio/log.h"
#include "audio/sound_engine.h"
#include "env_guard.h"
#include "private_sound_server.h"
#include "wav.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <sched.h>
#include <signal.h>

#include <cmath>
#include <optional>

#include <algorithm>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;
using Samples = std::vector<std::int16_t>;

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

std::size_t matching(const Samples &out, std::size_t at, const Samples &expected,
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
std::vector<Heard> heardSounds(const Samples &out, const std::vector<const Samples *> &sounds)
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

// Runs of 12 or more near-silent samples between the first and the last loud
// one: what a listener hears as a crackle in a steady tone.
std::size_t gapsIn(const Samples &tone)
{
    const auto loud = [](std::int16_t v) { return std::abs(v) > 200; };
    const auto first = std::find_if(tone.begin(), tone.end(), loud);
    const auto last = std::find_if(tone.rbegin(), tone.rend(), loud).base();
    std::size_t gaps = 0, run = 0;
    for (auto it = first; it < last; ++it) {
        if (std::abs(*it) <= 30) {
            ++run;
            continue;
        }
        gaps += run >= 12;
        run = 0;
    }
    return gaps;
}

// What PipeWire itself says Zembra's stream asks for, as "frames/rate".
QString askedLatency()
{
    QProcess dump;
    dump.start(QStringLiteral("pw-dump"), {});
    if (!dump.waitForFinished(10000))
        return {};
    for (const QJsonValue &object : QJsonDocument::fromJson(dump.readAllStandardOutput()).array()) {
        const QJsonObject props = object[QLatin1String("info")][QLatin1String("props")].toObject();
        if (props[QLatin1String("node.name")] == QLatin1String("Zembra") &&
            props.contains(QLatin1String("node.latency")))
            return props[QLatin1String("node.latency")].toString();
    }
    return {};
}

// Another program's steady tone, played by the server's own player.
class Bystander {
public:
    Bystander(const QString &kind, const QString &file)
    {
        if (kind == QLatin1String("pipewire"))
            process_.start(QStringLiteral("pw-play"), {file});
        else
            process_.start(QStringLiteral("paplay"), {file});
        started_ = process_.waitForStarted();
    }
    bool finished() { return process_.waitForFinished(10000) && process_.exitCode() == 0; }
    bool started() const { return started_; }

private:
    QProcess process_;
    bool started_ = false;
};

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

QString describe(const std::vector<Heard> &heard)
{
    QStringList parts;
    for (const Heard &h : heard) {
        parts << QStringLiteral("%1:%2").arg(h.sound).arg(h.reached);
        for (const std::int16_t v : h.unknownStart)
            parts.last() += QLatin1Char(',') + QString::number(v);
    }
    return parts.join(QLatin1Char(' '));
}

} // namespace

// The engine on a real sound server, the kind named by ZEMBRA_TEST_SERVER
// (pulse or pipewire), which the test starts itself with a null sink.
class TestSoundServer : public QObject {
    Q_OBJECT

    QString kind = qEnvironmentVariable("ZEMBRA_TEST_SERVER");
    QTemporaryDir dir{QDir::tempPath() + QStringLiteral("/Ses Efektleri ışğ-XXXXXX")};
    std::unique_ptr<Server> server;
    std::unique_ptr<EnvGuard> env;

    QString path(const QString &name) const { return dir.filePath(name); }
    std::string file(const QString &name) const { return path(name).toStdString(); }

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
        server = std::make_unique<Server>(kind, HeldQuantum);
        QVERIFY(server->ready());
        server->use();
        Recorder recorder(rate);
        playFor(engine, file(QString::fromLatin1(name)), 300ms);
        const auto heard = heardSounds(recorder.stop(), {&sound});
        const std::vector<Heard> once{{0, sound.size(), {}}};
        QVERIFY2(heard == once, qPrintable(describe(heard)));
        QCOMPARE(QString::fromStdString(engine.outputName()), kind);
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(kind == "pulse" || kind == "pipewire",
                 "ZEMBRA_TEST_SERVER must name the server to test: pulse or pipewire");
        QVERIFY(dir.isValid());
        env = std::make_unique<EnvGuard>(std::initializer_list<const char *>{
            "PULSE_SERVER", "PULSE_SINK", "PIPEWIRE_RUNTIME_DIR", "PIPEWIRE_REMOTE",
            "SDL_AUDIODRIVER"});
        qunsetenv("SDL_AUDIODRIVER");
        server = std::make_unique<Server>(kind, HeldQuantum);
        QVERIFY2(server->ready(), "the sound server did not start");
        server->use();
    }

    void cleanupTestCase()
    {
        server.reset();
        env.reset();
    }

    // Steps: a, A or b press that sound ("a" short, "A" long), "-" a missing file,
    // "x" a file declaring 1 Hz, "z" waits until the output has gone to sleep.
    // Expected: what is heard, in order; "A~" is A cut off after about 300 ms.
    void playsSampleForSample_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("expected");
        QTest::newRow("one press") << "a"
                                   << "a";
        QTest::newRow("a second press cuts the first") << "A b"
                                                       << "A~ b";
        QTest::newRow("the same press restarts") << "A A"
                                                 << "A~ A~";
        QTest::newRow("a missing file is silence, the next press plays") << "- a"
                                                                         << "a";
        QTest::newRow("a bad file is silence, the next press plays") << "x a"
                                                                     << "a";
        QTest::newRow("the first press after the output slept") << "a z a"
                                                                << "a a";
    }

    void playsSampleForSample()
    {
        QFETCH(QString, script);
        QFETCH(QString, expected);
        const int rate = outputRate();
        QVERIFY(rate >= 8000);
        // Three sounds that cannot be taken for one another.
        const Samples a = Wav::ramp(std::size_t(rate) / 10, 1, 37);
        const Samples longA = Wav::ramp(std::size_t(rate), 1, 41);
        const Samples b = Wav::ramp(std::size_t(rate) / 10, -1, 53);
        writeFile(path("a.tzk"), Wav::build(a, 1, rate));
        writeFile(path("A.tzk"), Wav::build(longA, 1, rate));
        writeFile(path("b.tzk"), Wav::build(b, 1, rate));
        writeFile(path("x.tzk"), Wav::build(a, 1, 1));
        SoundEngineOptions options;
        options.idleAfter = 200ms;
        Recorder recorder(rate);
        QVERIFY(recorder.started());
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
        const Samples out = recorder.stop();
        QVERIFY2(!out.empty(), "nothing recorded, or the sides differ");
        const std::vector<Heard> heard = heardSounds(out, {&a, &longA, &b});
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
    }

    void serverGoesAwayAndComesBack()
    {
        const int rate = outputRate();
        const Samples a = Wav::ramp(std::size_t(rate) / 10, 1, 29);
        writeFile(path("c.tzk"), Wav::build(a, 1, rate));
        SoundEngine engine;
        playFor(engine, file("c.tzk"), 200ms);
        QCOMPARE(QString::fromStdString(engine.outputName()), kind);
        server.reset();
        playFor(engine, file("c.tzk"), 200ms); // nowhere to play: silence
        pressOnANewServer(engine, "c.tzk", a, rate);
    }

    void startedBeforeAnyServerSoundsOnceOneRuns()
    {
        const int rate = outputRate();
        const Samples a = Wav::ramp(std::size_t(rate) / 10, 1, 43);
        writeFile(path("d.tzk"), Wav::build(a, 1, rate));
        server.reset();
        qputenv("PULSE_SERVER", "unix:/nonexistent/zembra-no-server");
        qputenv("PIPEWIRE_RUNTIME_DIR", "/nonexistent");
        SoundEngine engine;
        playFor(engine, file("d.tzk"), 50ms);
        pressOnANewServer(engine, "d.tzk", a, rate);
    }

    // A frozen server must not keep the program from ending: the engine's
    // destructor returns whatever the server does.
    void frozenServerDoesNotHoldTheEngine()
    {
        writeFile(path("e.tzk"), Wav::build(Wav::ramp(4410), 1, 44100));
        auto engine = std::make_unique<SoundEngine>();
        playFor(*engine, file("e.tzk"), 50ms);
        QCOMPARE(QString::fromStdString(engine->outputName()), kind);
        server->signal(SIGSTOP);
        for (int i = 0; i < 5; ++i)
            playFor(*engine, file("e.tzk"), 20ms);
        auto done = std::async(std::launch::async, [&] { engine.reset(); });
        const bool returned = done.wait_for(10s) == std::future_status::ready;
        server->signal(SIGCONT);
        QVERIFY2(returned, "the engine waited for a frozen server");
    }

    // Another program's tone loses no more while Zembra plays than alone, on a
    // server that lets Zembra choose its period. Zembra plays silence, so every
    // quiet run in the recording is the tone's.
    void anotherProgramLosesNothingMore()
    {
        server = std::make_unique<Server>(kind);
        QVERIFY2(server->ready(), "the sound server did not start");
        server->use();
        const int rate = outputRate();
        Samples tone(std::size_t(rate) * 3);
        for (std::size_t i = 0; i < tone.size(); ++i)
            tone[i] = std::int16_t(8000 * std::sin(2 * M_PI * 500 * double(i) / rate));
        writeFile(path("tone.wav"), Wav::build(tone, 1, rate));
        writeFile(path("quiet.tzk"), Wav::build(Samples(std::size_t(rate) / 5), 1, rate));
        const auto gapsWhile = [&](bool zembraPlays) {
            Recorder recorder(rate);
            Bystander tonePlayer(kind, path("tone.wav"));
            std::optional<SoundEngine> engine;
            if (zembraPlays)
                engine.emplace();
            for (int press = 0; press < 10; ++press) {
                if (engine)
                    engine->play(file("quiet.tzk"));
                std::this_thread::sleep_for(300ms);
            }
            const bool played = tonePlayer.finished();
            const Samples out = recorder.stop();
            return played && !out.empty() ? std::optional<std::size_t>(gapsIn(out)) : std::nullopt;
        };
        // A virtual machine's host may stall all of it now and then, with or
        // without Zembra; a player that harms others does so every time.
        QString rounds;
        for (int round = 0; round < 3; ++round) {
            const auto alone = gapsWhile(false);
            const auto withZembra = gapsWhile(true);
            QVERIFY2(alone && withZembra, "the tone was not played or recorded whole");
            rounds += QStringLiteral(" %1/%2").arg(*alone).arg(*withZembra);
            if (*withZembra <= *alone)
                return;
        }
        QFAIL(qPrintable(QStringLiteral("gaps in the tone, alone/with Zembra:") + rounds));
    }
};

// Zembra's period on PipeWire: it starts at one the machine holds and steps up
// when the server misses periods.
class TestPipeWirePeriod : public QObject {
    Q_OBJECT

    QTemporaryDir dir{QDir::tempPath() + QStringLiteral("/Ses Efektleri ışğ-XXXXXX")};
    std::unique_ptr<EnvGuard> env;

private slots:
    void initTestCase()
    {
        env = std::make_unique<EnvGuard>(std::initializer_list<const char *>{
            "PULSE_SERVER", "PULSE_SINK", "PIPEWIRE_RUNTIME_DIR", "PIPEWIRE_REMOTE",
            "SDL_AUDIODRIVER"});
        qunsetenv("SDL_AUDIODRIVER");
    }
    void cleanupTestCase() { env.reset(); }

    // The stream is served by a real-time thread: an ordinary one misses short
    // periods under load. Which client set-up gives one differs by PipeWire
    // release.
    void streamRunsOnARealTimeThread()
    {
        Server server(QStringLiteral("pipewire"));
        QVERIFY2(server.ready(), "the sound server did not start");
        server.use();
        writeFile(dir.filePath(QStringLiteral("rt.tzk")), Wav::build(Wav::ramp(4800), 1, 48000));
        SoundEngine engine;
        engine.play(dir.filePath(QStringLiteral("rt.tzk")).toStdString());
        engine.waitUntilHandled();
        QCOMPARE(QString::fromStdString(engine.outputName()), QStringLiteral("pipewire"));
        const auto realTimeThreads = [] {
            int n = 0;
            for (const QString &task : QDir(QStringLiteral("/proc/self/task"))
                                           .entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
                QFile stat(QStringLiteral("/proc/self/task/%1/stat").arg(task));
                if (!stat.open(QIODevice::ReadOnly))
                    continue;
                // The policy is the 41st field, counted after the command's ")".
                const QByteArray line = stat.readAll();
                const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
                const int policy = fields.size() > 38 ? fields[38].toInt() : 0;
                n += policy == SCHED_FIFO || policy == SCHED_RR;
            }
            return n;
        };
        QTRY_VERIFY_WITH_TIMEOUT(realTimeThreads() > 0, 2000);
    }

    void stepsUpWhenTheServerMissesPeriods()
    {
        Server server(QStringLiteral("pipewire"));
        QVERIFY2(server.ready() && server.daemon() > 0, "the sound server did not start");
        server.use();
        const std::string longSound = dir.filePath(QStringLiteral("long.tzk")).toStdString();
        const Samples sound = Wav::ramp(48000 / 2, 1, 31);
        writeFile(dir.filePath(QStringLiteral("long.tzk")),
                  Wav::build(Wav::ramp(48000 * 3), 1, 48000));
        writeFile(dir.filePath(QStringLiteral("short.tzk")), Wav::build(sound, 1, 48000));

        SoundEngine engine;
        engine.play(longSound);
        engine.waitUntilHandled();
        QCOMPARE(QString::fromStdString(engine.outputName()), QStringLiteral("pipewire"));
        QCOMPARE(engine.outputQuantum(), 256);
        QTRY_COMPARE_WITH_TIMEOUT(askedLatency(), QStringLiteral("256/48000"), 5000);
        // The graph's thread held up for three of those periods: a stall as a
        // loaded machine gives, each one costing periods.
        std::this_thread::sleep_for(400ms); // past the settling of the stream's start
        while (engine.outputQuantum() < 1024) {
            const int before = engine.outputQuantum();
            ::kill(server.daemon(), SIGSTOP);
            std::this_thread::sleep_for(60ms);
            ::kill(server.daemon(), SIGCONT);
            QTRY_VERIFY2_WITH_TIMEOUT(engine.outputQuantum() > before, qPrintable(engineSaid()),
                                      2000);
            std::this_thread::sleep_for(400ms); // past the settling of the change
            engine.play(longSound);
        }
        const int learnt = engine.outputQuantum();
        engine.play(dir.filePath(QStringLiteral("none.tzk")).toStdString()); // silence
        QTRY_COMPARE_WITH_TIMEOUT(askedLatency(), QStringLiteral("%1/48000").arg(learnt), 5000);

        // What it learnt holds for the sounds that follow, which play whole.
        Recorder recorder(48000);
        engine.play(dir.filePath(QStringLiteral("short.tzk")).toStdString());
        engine.waitUntilHandled();
        std::this_thread::sleep_for(800ms);
        const auto heard = heardSounds(recorder.stop(), {&sound});
        const std::vector<Heard> once{{0, sound.size(), {}}};
        QVERIFY2(heard == once, qPrintable(describe(heard)));
        QCOMPARE(engine.outputQuantum(), learnt);
    }
};

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    AudioLog::setSink(&keepEngineLog);
    TestSoundServer sounds;
    int failed = QTest::qExec(&sounds, argc, argv);
    if (qEnvironmentVariable("ZEMBRA_TEST_SERVER") == QLatin1String("pipewire")) {
        TestPipeWirePeriod period;
        failed += QTest::qExec(&period, argc, argv);
    }
    return failed ? 1 : 0;
}
#include "tst_sound_server.moc"

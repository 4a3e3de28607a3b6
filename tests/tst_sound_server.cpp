#include "effects/sound_engine.h"
#include "env_guard.h"
#include "wav.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <signal.h>

#include <fstream>
#include <future>
#include <memory>
#include <thread>

using namespace std::chrono_literals;
using Samples = std::vector<std::int16_t>;

namespace {

const char *const ClientVariables[] = {"PULSE_SERVER", "PULSE_SINK", "PIPEWIRE_RUNTIME_DIR",
                                       "PIPEWIRE_REMOTE"};

void writeFile(const QString &path, const std::vector<std::uint8_t> &bytes)
{
    std::ofstream out(path.toStdString(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

// A private server of the kind under test, from the test's own script; the
// server ends when this object does, or when the test process dies.
class Server {
public:
    explicit Server(const QString &kind)
    {
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
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
            else
                env_.append({name, value});
        }
        ready_ = out.contains("READY\n");
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
    bool ready_ = false;
};

// What the null sink plays, heard on its monitor.
class Recorder {
public:
    explicit Recorder(int rate)
    {
        // Straight to a file: a pipe nobody reads while the test sleeps would
        // stall the recorder.
        file_.open();
        process_.setStandardOutputFile(file_.fileName());
        process_.start(QStringLiteral("parecord"),
                       {QStringLiteral("--device=zembra.monitor"), QStringLiteral("--raw"),
                        QStringLiteral("--format=s16le"), QStringLiteral("--channels=2"),
                        QStringLiteral("--rate=%1").arg(rate),
                        QStringLiteral("--latency-msec=20")});
        started_ = process_.waitForStarted();
        std::this_thread::sleep_for(400ms); // until the recording stream runs
    }
    bool started() const { return started_; }
    Samples stop()
    {
        process_.terminate();
        process_.waitForFinished(5000);
        QFile f(file_.fileName());
        const QByteArray raw = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        const auto *frames = reinterpret_cast<const std::int16_t *>(raw.constData());
        Samples left;
        for (std::size_t i = 0; i < std::size_t(raw.size()) / 4; ++i) {
            if (frames[2 * i] != frames[2 * i + 1])
                return {}; // both sides carry the same mono sound
            left.push_back(frames[2 * i]);
        }
        return left;
    }

private:
    QTemporaryFile file_{QDir::tempPath() + QStringLiteral("/zembra-recording-XXXXXX.raw")};
    QProcess process_;
    bool started_ = false;
};

std::size_t matching(const Samples &out, std::size_t at, const Samples &expected)
{
    std::size_t n = 0;
    while (at + n < out.size() && n < expected.size() && std::abs(out[at + n] - expected[n]) <= 1)
        ++n;
    return n;
}

// How many times `expected` starts in `out`, and how much of it followed each start.
std::vector<std::size_t> occurrences(const Samples &out, const Samples &expected)
{
    std::vector<std::size_t> lengths;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const std::size_t n = matching(out, i, expected);
        if (n >= 32) {
            lengths.push_back(n);
            i += n - 1;
        }
    }
    return lengths;
}

std::size_t loudSamples(const Samples &out)
{
    return std::size_t(
        std::count_if(out.begin(), out.end(), [](std::int16_t s) { return std::abs(s) > 64; }));
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
        server = std::make_unique<Server>(kind);
        QVERIFY2(server->ready(), "the sound server did not start");
        server->use();
    }

    void cleanupTestCase()
    {
        server.reset();
        env.reset();
    }

    void playsSampleForSample_data()
    {
        QTest::addColumn<QString>("script");
        QTest::newRow("one press") << "a";
        QTest::newRow("a second press cuts the first") << "A b";
        QTest::newRow("the same press restarts") << "A a";
        QTest::newRow("a missing file is silence, the next press plays") << "- a";
        QTest::newRow("a bad file is silence, the next press plays") << "x a";
        QTest::newRow("the first press after the output slept") << "a z a";
    }

    void playsSampleForSample()
    {
        QFETCH(QString, script);
        const int rate = outputRate();
        QVERIFY(rate >= 8000);
        // A short and a long sound; b is a's mirror image, so they cannot be confused.
        const Samples a = Wav::ramp(std::size_t(rate) / 10, 1, 37);
        const Samples longA = Wav::ramp(std::size_t(rate), 1, 37);
        const Samples b = Wav::ramp(std::size_t(rate) / 10, -1, 53);
        writeFile(path("a.tzk"), Wav::build(a, 1, rate));
        writeFile(path("A.tzk"), Wav::build(longA, 1, rate));
        writeFile(path("b.tzk"), Wav::build(b, 1, rate));
        writeFile(path("x.tzk"), Wav::build(a, 1, 1)); // declares 1 Hz
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
        }
        const Samples out = recorder.stop();
        QVERIFY2(!out.empty(), "nothing recorded, or the sides differ");
        const auto heardA = occurrences(out, a);
        const auto heardB = occurrences(out, b);
        const auto heardLong = occurrences(out, longA);
        if (script == "a" || script == "- a" || script == "x a") {
            QCOMPARE(heardA, std::vector<std::size_t>{a.size()});
            QCOMPARE(loudSamples(out), loudSamples(a));
        } else if (script == "a z a") {
            QCOMPARE(heardA, (std::vector<std::size_t>{a.size(), a.size()}));
        } else if (script == "A b") {
            QCOMPARE(heardLong.size(), std::size_t(1));
            QVERIFY2(heardLong[0] < longA.size(), "the first sound was not cut off");
            QCOMPARE(heardB, std::vector<std::size_t>{b.size()});
            QCOMPARE(loudSamples(out), heardLong[0] + b.size());
        } else if (script == "A a") {
            QCOMPARE(heardLong.size(), std::size_t(2));
            QVERIFY2(heardLong[0] < longA.size(), "the first sound was not cut off");
            QVERIFY(heardLong[1] >= a.size());
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
        server = std::make_unique<Server>(kind);
        QVERIFY(server->ready());
        server->use();
        Recorder recorder(rate);
        playFor(engine, file("c.tzk"), 300ms);
        QCOMPARE(occurrences(recorder.stop(), a), std::vector<std::size_t>{a.size()});
        QCOMPARE(QString::fromStdString(engine.outputName()), kind);
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
        server = std::make_unique<Server>(kind);
        QVERIFY(server->ready());
        server->use();
        Recorder recorder(rate);
        playFor(engine, file("d.tzk"), 300ms);
        QCOMPARE(occurrences(recorder.stop(), a), std::vector<std::size_t>{a.size()});
        QCOMPARE(QString::fromStdString(engine.outputName()), kind);
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
};

QTEST_GUILESS_MAIN(TestSoundServer)
#include "tst_sound_server.moc"

#include "audio/log.h"
#include "audio/sound_engine.h"
#include "audio/virtual_microphone.h"
#include "sound_server.h"
#include "wav.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <fstream>
#include <iostream>

using namespace SoundServerTest;
using namespace std::chrono_literals;

namespace {

// Recordings are compared sample for sample: a period this machine holds, and
// PipeWire's graph at the sounds' own rate.
constexpr int HeldQuantum = 1024;
constexpr int Rate = 44100;
// The test microphone's tone, left side only: 441 Hz, a cycle every 100 frames.
constexpr int ToneCycle = 100;
constexpr int ToneLevel = 6000;

QByteArray pactl(const QStringList &args)
{
    QProcess p;
    p.start(QStringLiteral("pactl"), args);
    p.waitForFinished(10000);
    return p.readAllStandardOutput();
}

QJsonArray listed(const char *what)
{
    return QJsonDocument::fromJson(pactl({QStringLiteral("--format=json"), QStringLiteral("list"),
                                          QLatin1String(what)}))
        .array();
}

// The index of the sink or source of that name, -1 when there is none.
int indexOf(const char *what, const QString &name)
{
    for (const QJsonValue &v : listed(what))
        if (v[QLatin1String("name")].toString() == name)
            return v[QLatin1String("index")].toInt();
    return -1;
}

int count(const char *what, const QString &name)
{
    int n = 0;
    for (const QJsonValue &v : listed(what))
        n += v[QLatin1String("name")].toString() == name;
    return n;
}

// Recording streams on the source of that name, but for the test's own
// recorders, which the server moves there when the source they record goes.
int recordersOn(const QString &source)
{
    const int index = indexOf("sources", source);
    int n = 0;
    for (const QJsonValue &v : listed("source-outputs"))
        n += index >= 0 && v[QLatin1String("source")].toInt() == index &&
             v[QLatin1String("properties")][QLatin1String("application.name")] !=
                 QLatin1String("parecord");
    return n;
}

// What pactl says the sink of that name does: RUNNING, IDLE or SUSPENDED.
QString sinkState(const QString &name)
{
    for (const QJsonValue &v : listed("sinks"))
        if (v[QLatin1String("name")].toString() == name)
            return v[QLatin1String("state")].toString();
    return {};
}

// Modules marked with that process id.
QStringList modulesOf(qint64 pid)
{
    QStringList found;
    const QString mark = QStringLiteral("application.process.id=%1").arg(pid);
    for (const QJsonValue &v : listed("modules"))
        if (v[QLatin1String("argument")].toString().contains(mark))
            found << v[QLatin1String("name")].toString();
    return found;
}

// Where this process's own playback stream plays, -1 before it has one.
int ourStreamSink()
{
    const auto ours = [](const QJsonValue &v) {
        return v[QLatin1String("properties")][QLatin1String("application.process.id")]
                   .toString()
                   .toLongLong() == QCoreApplication::applicationPid();
    };
    QList<int> clients;
    for (const QJsonValue &c : listed("clients"))
        if (ours(c))
            clients << c[QLatin1String("index")].toInt();
    for (const QJsonValue &v : listed("sink-inputs"))
        if ((ours(v) || clients.contains(v[QLatin1String("client")].toVariant().toInt())) &&
            !v[QLatin1String("properties")].toObject().contains(QLatin1String("zembra.part")))
            return v[QLatin1String("sink")].toInt();
    return -1;
}

// Objects of the graph that carry one of our marks (PipeWire).
int markedGraphObjects()
{
    QProcess dump;
    dump.start(QStringLiteral("pw-dump"), {});
    dump.waitForFinished(10000);
    int n = 0;
    for (const QJsonValue &o : QJsonDocument::fromJson(dump.readAllStandardOutput()).array())
        n += o[QLatin1String("info")][QLatin1String("props")].toObject().contains(
            QLatin1String("zembra.part"));
    return n;
}

void writeFile(const QString &path, const std::vector<std::uint8_t> &bytes)
{
    std::ofstream out(path.toStdString(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

// A stereo recording of any source, both sides kept.
class SourceRecorder {
public:
    explicit SourceRecorder(const QString &source)
    {
        file_.open();
        process_.setStandardOutputFile(file_.fileName());
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start(QStringLiteral("parecord"),
                       {QStringLiteral("--device=") + source, QStringLiteral("--raw"),
                        QStringLiteral("--format=s16le"), QStringLiteral("--channels=2"),
                        QStringLiteral("--rate=%1").arg(Rate),
                        QStringLiteral("--latency-msec=20")});
    }
    std::pair<Samples, Samples> stop()
    {
        process_.terminate();
        process_.waitForFinished(5000);
        QFile f(file_.fileName());
        const QByteArray raw = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        const auto *frames = reinterpret_cast<const std::int16_t *>(raw.constData());
        Samples left, right;
        for (qsizetype i = 0; i < raw.size() / 4; ++i) {
            left.push_back(frames[2 * i]);
            right.push_back(frames[2 * i + 1]);
        }
        return {left, right};
    }

private:
    QTemporaryFile file_{QDir::tempPath() + QStringLiteral("/zembra-mic-XXXXXX.raw")};
    QProcess process_;
};

// What is wrong with the tone from `settle` frames after its first loud one
// on: a cycle that is not 100 frames long (a gap, a lost or repeated stretch,
// another pitch) or not at its level. Empty when nothing is.
QString toneFaults(const Samples &tone, std::size_t settle)
{
    const auto first = std::find_if(tone.begin(), tone.end(),
                                    [](std::int16_t v) { return std::abs(v) > ToneLevel / 2; });
    if (first == tone.end())
        return QStringLiteral("no tone");
    std::size_t cycles = 0, last = 0;
    std::int16_t peak = 0;
    QStringList faults;
    for (std::size_t i = std::size_t(first - tone.begin()) + settle + 1; i < tone.size(); ++i) {
        peak = std::max<std::int16_t>(peak, std::int16_t(std::abs(tone[i])));
        if (!(tone[i - 1] < 0 && tone[i] >= 0))
            continue;
        if (last && (std::abs(int(i - last) - ToneCycle) > 1 || std::abs(peak - ToneLevel) > 300))
            faults << QStringLiteral("%1+%2/%3").arg(last).arg(i - last).arg(peak);
        last = i;
        peak = 0;
        ++cycles;
    }
    if (cycles < std::size_t(Rate) / ToneCycle)
        faults << QStringLiteral("only %1 cycles").arg(cycles);
    return faults.mid(0, 8).join(QLatin1Char(' '));
}

Samples minus(const Samples &a, const Samples &b)
{
    Samples d(std::min(a.size(), b.size()));
    for (std::size_t i = 0; i < d.size(); ++i)
        d[i] = std::int16_t(a[i] - b[i]);
    return d;
}

// A copy of the program with the microphone on, in a process of its own.
class OtherCopy {
public:
    OtherCopy()
    {
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--other-copy")});
        QByteArray out;
        while (!out.contains("ON\n") && process_.waitForReadyRead(20000))
            out += process_.readAllStandardOutput();
        on_ = out.contains("ON\n");
    }
    ~OtherCopy() { process_.kill(), process_.waitForFinished(); }
    bool on() const { return on_; }
    qint64 pid() const { return process_.processId(); }
    void kill() { process_.kill(), process_.waitForFinished(); }
    // Ends as the program does, through its destructors.
    bool end()
    {
        process_.closeWriteChannel();
        return process_.waitForFinished(20000) && process_.exitCode() == 0;
    }

private:
    QProcess process_;
    bool on_ = false;
};

} // namespace

class TestMicrophone : public QObject {
    Q_OBJECT

    QString kind = qEnvironmentVariable("ZEMBRA_TEST_SERVER");
    std::unique_ptr<EnvGuard> env;
    std::unique_ptr<Server> server;
    QTemporaryDir dir;
    std::unique_ptr<QProcess> voice;

    std::string file(const char *name) const
    {
        return dir.filePath(QLatin1String(name)).toStdString();
    }

    // A microphone of the test's own: a source (not a monitor) fed by a null
    // sink that the test plays its tone into.
    void addTestMicrophone(const QString &name)
    {
        QVERIFY(
            !pactl({QStringLiteral("load-module"), QStringLiteral("module-null-sink"),
                    QStringLiteral("sink_name=%1_feed").arg(name), QStringLiteral("norewinds=1")})
                 .isEmpty());
        QVERIFY(!pactl({QStringLiteral("load-module"), QStringLiteral("module-remap-source"),
                        QStringLiteral("source_name=") + name,
                        QStringLiteral("master=%1_feed.monitor").arg(name)})
                     .isEmpty());
        QTRY_VERIFY(indexOf("sources", name) >= 0);
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(kind == "pulse" || kind == "pipewire",
                 "ZEMBRA_TEST_SERVER must name the server to test: pulse or pipewire");
        QVERIFY(dir.isValid());
        env = clientEnvironment();
    }

    void init()
    {
        server = std::make_unique<Server>(kind, HeldQuantum, Rate);
        QVERIFY2(server->ready(), "the sound server did not start");
        server->use();
        addTestMicrophone(QStringLiteral("testmic"));
        pactl({QStringLiteral("set-default-source"), QStringLiteral("testmic")});
        pactl({QStringLiteral("set-default-sink"), QStringLiteral("zembra")});
        Samples tone(std::size_t(Rate) * 2 * 60);
        for (std::size_t i = 0; i < tone.size() / 2; ++i)
            tone[2 * i] = std::int16_t(
                std::lround(ToneLevel * std::sin(2 * M_PI * double(i % ToneCycle) / ToneCycle)));
        writeFile(dir.filePath(QStringLiteral("tone.wav")), Wav::build(tone, 2, Rate));
        voice = std::make_unique<QProcess>();
        voice->start(QStringLiteral("paplay"), {QStringLiteral("--device=testmic_feed"),
                                                dir.filePath(QStringLiteral("tone.wav"))});
        QVERIFY(voice->waitForStarted());
    }

    void cleanup()
    {
        voice.reset();
        server.reset();
    }

    // The voice on one side, the pad on both: the pad is the other side alone,
    // sample for sample, and the voice is what one side has more, gap-free.
    // The room hears the pad and not the voice.
    void carriesVoiceAndPad()
    {
        const Samples pad = Wav::ramp(std::size_t(Rate) / 5, 1, 37);
        writeFile(dir.filePath(QStringLiteral("pad.tzk")), Wav::build(pad, 1, Rate));
        writeFile(dir.filePath(QStringLiteral("quiet.tzk")), Wav::build(Samples(441), 1, Rate));
        VirtualMicrophone mic;
        QVERIFY(mic.setOn(true));
        SoundEngine engine;
        engine.play(file("quiet.tzk"));
        engine.waitUntilHandled();
        Recorder room(Rate);
        SourceRecorder call(QLatin1String(VirtualMicrophone::SourceName));
        QTRY_VERIFY(indexOf("sinks", QStringLiteral("zembra_mic_out")) >= 0 &&
                    ourStreamSink() == indexOf("sinks", QStringLiteral("zembra_mic_out")));
        std::this_thread::sleep_for(500ms); // the voice alone first
        for (int press = 0; press < 2; ++press) {
            engine.play(file("pad.tzk"));
            engine.waitUntilHandled();
            std::this_thread::sleep_for(400ms);
        }
        const auto [left, right] = call.stop();
        const std::vector<Heard> twice{{0, pad.size(), {}}, {0, pad.size(), {}}};
        const auto heard = heardSounds(right, {&pad});
        QVERIFY2(heard == twice, qPrintable(describe(heard)));
        // PulseAudio's loopback may dip once in its first few milliseconds, as
        // the call opens the microphone; from then on nothing may be lost.
        const std::size_t settle = kind == QLatin1String("pulse") ? Rate / 20 : 0;
        const QString faults = toneFaults(minus(left, right), settle);
        QVERIFY2(faults.isEmpty(), qPrintable(faults));
        const auto inRoom = heardSounds(room.stop(), {&pad});
        QVERIFY2(inRoom == twice, qPrintable(describe(inRoom)));
    }

    void offRemovesEverything_data()
    {
        QTest::addColumn<bool>("recorded");
        QTest::newRow("nothing recording") << false;
        QTest::newRow("while recorded") << true;
    }

    void offRemovesEverything()
    {
        QFETCH(bool, recorded);
        const QByteArray modulesBefore =
            pactl({QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("modules")});
        VirtualMicrophone mic;
        QVERIFY(mic.setOn(true));
        QCOMPARE(count("sources", QLatin1String(VirtualMicrophone::SourceName)), 1);
        std::optional<SourceRecorder> call;
        if (recorded) {
            call.emplace(QLatin1String(VirtualMicrophone::SourceName));
            QTRY_VERIFY(recordersOn(QStringLiteral("testmic")) == 1);
        }
        QVERIFY(!modulesOf(QCoreApplication::applicationPid()).isEmpty());
        if (kind == QLatin1String("pipewire"))
            QVERIFY(markedGraphObjects() > 0);
        QVERIFY(mic.setOn(false));
        QCOMPARE(
            pactl({QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("modules")}),
            modulesBefore);
        QCOMPARE(count("sources", QLatin1String(VirtualMicrophone::SourceName)), 0);
        QCOMPARE(recordersOn(QStringLiteral("testmic")), 0);
        if (kind == QLatin1String("pipewire"))
            QCOMPARE(markedGraphObjects(), 0);
    }

    // Another copy that owns the microphone: this one makes no second, and
    // leaves that copy's alone; once the copy is killed, the next start here
    // removes what it left.
    void oneMicrophoneForAllCopies_data()
    {
        QTest::addColumn<bool>("killed");
        QTest::newRow("the other copy runs") << false;
        QTest::newRow("the other copy was killed") << true;
    }

    void oneMicrophoneForAllCopies()
    {
        QFETCH(bool, killed);
        OtherCopy other;
        QVERIFY(other.on());
        const qint64 otherPid = other.pid();
        QVERIFY(modulesOf(otherPid).size() >= 2);
        if (killed) {
            other.kill();
            if (kind == QLatin1String("pulse"))
                QVERIFY(modulesOf(otherPid).size() >= 2);
        }
        VirtualMicrophone mic;
        QVERIFY(mic.setOn(true));
        QCOMPARE(count("sources", QLatin1String(VirtualMicrophone::SourceName)), 1);
        QCOMPARE(count("sinks", QLatin1String(VirtualMicrophone::MixSinkName)), 1);
        if (killed) {
            QCOMPARE(modulesOf(otherPid), QStringList());
        } else {
            QCOMPARE(modulesOf(QCoreApplication::applicationPid()), QStringList());
            QVERIFY(mic.setOn(false));
            QVERIFY(modulesOf(otherPid).size() >= 2);
            QVERIFY(other.end());
            QCOMPARE(modulesOf(otherPid), QStringList());
            QCOMPARE(count("sources", QLatin1String(VirtualMicrophone::SourceName)), 0);
        }
    }

    // The real microphone is open only while something records ours, and it
    // is the default one of the moment; until then the mix sleeps too.
    void microphoneOpenOnlyWhileRecorded()
    {
        addTestMicrophone(QStringLiteral("othermic"));
        VirtualMicrophone mic;
        QVERIFY(mic.setOn(true));
        const QString mix = QLatin1String(VirtualMicrophone::MixSinkName);
        QCOMPARE(sinkState(mix), QStringLiteral("SUSPENDED"));
        QCOMPARE(recordersOn(QStringLiteral("testmic")), 0);
        {
            SourceRecorder call(QLatin1String(VirtualMicrophone::SourceName));
            QTRY_COMPARE(recordersOn(QStringLiteral("testmic")), 1);
            pactl({QStringLiteral("set-default-source"), QStringLiteral("othermic")});
            QTRY_COMPARE(recordersOn(QStringLiteral("othermic")), 1);
            QCOMPARE(recordersOn(QStringLiteral("testmic")), 0);
            call.stop();
        }
        QTRY_COMPARE(recordersOn(QStringLiteral("othermic")), 0);
        QTRY_COMPARE(sinkState(mix), QStringLiteral("SUSPENDED"));
        QCOMPARE(count("sources", QLatin1String(VirtualMicrophone::SourceName)), 1);
    }
};

int main(int argc, char *argv[])
{
    // What the microphone did, for a report: ZEMBRA_TEST_LOG=1.
    if (qEnvironmentVariableIsSet("ZEMBRA_TEST_LOG"))
        AudioLog::setSink([](const char *message) { std::cerr << message << std::endl; });
    if (argc == 2 && std::string(argv[1]) == "--other-copy") {
        VirtualMicrophone mic;
        if (!mic.setOn(true))
            return 1;
        std::cout << "ON" << std::endl;
        std::string line;
        while (std::getline(std::cin, line)) {
        }
        return 0;
    }
    QCoreApplication app(argc, argv);
    TestMicrophone test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_microphone.moc"

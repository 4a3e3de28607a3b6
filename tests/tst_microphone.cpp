#include "audio/log.h"
#include "audio/sound_engine.h"
#include "audio/virtual_microphone.h"
#include "graph_watch.h"
#include "sound_server.h"
#include "wav.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QSet>
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
    return serverTool(QStringLiteral("pactl"), args);
}

QJsonArray listed(const char *what)
{
    return pactlList(QLatin1String(what));
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

QJsonObject propsOf(const QJsonValue &o)
{
    return o[QLatin1String("info")][QLatin1String("props")].toObject();
}

// Nodes and links of the graph marked as made by that process (PipeWire), by
// name ("link" for a link).
QStringList graphObjectsOf(qint64 pid)
{
    QStringList found;
    for (const QJsonValue &o : pipewireGraph()) {
        const QJsonObject p = propsOf(o);
        if (p.contains(QLatin1String("zembra.part")) &&
            p[QLatin1String("application.process.id")].toVariant().toLongLong() == pid)
            found << p[QLatin1String("node.name")].toString(QStringLiteral("link"));
    }
    return found;
}

// What a copy made: its modules on PulseAudio, its nodes and links on PipeWire.
QStringList madeBy(const QString &kind, qint64 pid)
{
    return kind == QLatin1String("pulse") ? modulesOf(pid) : graphObjectsOf(pid);
}

// How many recording streams take the source of that name, but the test's own
// recorders: PulseAudio's recording streams, or the nodes PipeWire links it to.
int capturing(const QString &kind, const QString &source)
{
    if (kind == QLatin1String("pulse"))
        return recordersOn(source);
    const QJsonArray all = pipewireGraph();
    QSet<int> from, recorders, into;
    for (const QJsonValue &o : all) {
        if (propsOf(o)[QLatin1String("node.name")].toString() == source)
            from << o[QLatin1String("id")].toInt();
        if (propsOf(o)[QLatin1String("application.name")].toString() == QLatin1String("parecord"))
            recorders << o[QLatin1String("id")].toInt();
    }
    for (const QJsonValue &o : all) {
        const QJsonObject info = o[QLatin1String("info")].toObject();
        if (o[QLatin1String("type")].toString().endsWith(QLatin1String(":Link")) &&
            from.contains(info[QLatin1String("output-node-id")].toInt()) &&
            !recorders.contains(info[QLatin1String("input-node-id")].toInt()))
            into << info[QLatin1String("input-node-id")].toInt();
    }
    return int(into.size());
}

// Links into the microphone's capture side: the voice's and the pad's, two each.
int feedsIntoMicrophone()
{
    int n = 0;
    for (const QJsonValue &o : pipewireGraph())
        n += propsOf(o)[QLatin1String("zembra.part")].toString() == QLatin1String("link") &&
             propsOf(o)[QLatin1String("application.process.id")].toVariant().toLongLong() ==
                 QCoreApplication::applicationPid();
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

// What is wrong with the tone from its first sound on: a cycle that is not
// 100 frames long (a gap, a lost or repeated stretch, another pitch) or not at
// its level. Empty when nothing is. A loopback starts when the call opens it,
// so the tone may start anywhere in a cycle, but never stop. A cycle starts
// where the tone rises through zero after a trough: PulseAudio's loopback
// resamples (it follows the two devices' clocks), and its filter rings a few
// frames around the step where the tone starts mid-cycle.
QString toneFaults(const Samples &tone)
{
    const auto first =
        std::find_if(tone.begin(), tone.end(), [](std::int16_t v) { return v != 0; });
    if (first == tone.end())
        return QStringLiteral("no tone");
    std::size_t cycles = 0, last = 0;
    std::int16_t peak = 0;
    bool trough = false;
    QStringList faults;
    for (std::size_t i = std::size_t(first - tone.begin()) + 1; i < tone.size(); ++i) {
        peak = std::max<std::int16_t>(peak, std::int16_t(std::abs(tone[i])));
        trough |= tone[i] < -ToneLevel / 2;
        if (!(trough && tone[i - 1] < 0 && tone[i] >= 0))
            continue;
        trough = false;
        if (last && (std::abs(int(i - last) - ToneCycle) > 1 || std::abs(peak - ToneLevel) > 300))
            faults << QStringLiteral("%1+%2/%3").arg(last).arg(i - last).arg(peak);
        last = i;
        peak = 0;
        ++cycles;
    }
    // The last cycle, cut short by the recording's end, needs no check; the
    // one before it must reach close to the end: a tone that stops is a gap.
    if (tone.size() - last > std::size_t(ToneCycle) + 1)
        faults << QStringLiteral("silent from %1 of %2").arg(last).arg(tone.size());
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
    std::unique_ptr<QProcess> voice, pace;
    QMap<QString, QList<QByteArray>> microphones; // the test's, by name: their modules

    std::string file(const char *name) const
    {
        return dir.filePath(QLatin1String(name)).toStdString();
    }

    // A microphone of the test's own: a source (not a monitor) fed by a null
    // sink that the test plays its tone into.
    void addTestMicrophone(const QString &name)
    {
        const QByteArray feed =
            pactl({"load-module", "module-null-sink", QStringLiteral("sink_name=%1_feed").arg(name),
                   "norewinds=1"});
        const QByteArray remap =
            pactl({"load-module", "module-remap-source", "source_name=" + name,
                   QStringLiteral("master=%1_feed.monitor").arg(name),
                   // ranked as a sound card's microphone is, above a virtual one
                   "source_properties=priority.session=2000"});
        QVERIFY(!feed.trimmed().isEmpty() && !remap.trimmed().isEmpty());
        microphones[name] = {remap.trimmed(), feed.trimmed()};
        QTRY_VERIFY(indexOf("sources", name) >= 0);
    }

    // The test microphone unplugged, its tone stopped first so that the
    // server moves it nowhere.
    void unplugTestMicrophone()
    {
        voice.reset();
        pace.reset();
        for (const QByteArray &module : microphones.take("testmic"))
            pactl({"unload-module", QString::fromLatin1(module)});
        QTRY_COMPARE(indexOf("sources", "testmic"), -1);
    }

    void plugTestMicrophone()
    {
        addTestMicrophone("testmic");
        // The microphone delivers in 10 ms blocks, as a real one does: a
        // silent stream asking 10 ms sets its null sink's block, while the
        // tone keeps 200 ms queued, so that a busy machine never makes the
        // test's own microphone late (its lateness is silence, here harmless).
        pace = std::make_unique<QProcess>();
        pace->start("pacat", {"--playback", "--raw", "--device=testmic_feed", "--latency-msec=10",
                              "/dev/zero"});
        voice = std::make_unique<QProcess>();
        voice->start("paplay",
                     {"--device=testmic_feed", "--latency-msec=200", dir.filePath("tone.wav")});
        QVERIFY(pace->waitForStarted() && voice->waitForStarted());
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
        Samples tone(std::size_t(Rate) * 2 * 60);
        for (std::size_t i = 0; i < tone.size() / 2; ++i)
            tone[2 * i] = std::int16_t(
                std::lround(ToneLevel * std::sin(2 * M_PI * double(i % ToneCycle) / ToneCycle)));
        writeFile(dir.filePath(QStringLiteral("tone.wav")), Wav::build(tone, 2, Rate));
        plugTestMicrophone();
        pactl({"set-default-source", "testmic"});
        pactl({"set-default-sink", "zembra"});
    }

    void cleanup()
    {
        voice.reset();
        pace.reset();
        microphones.clear();
        server.reset();
    }

    // The voice on one side, the pad on both: the pad is the other side alone,
    // sample for sample, and the voice is what one side has more, gap-free.
    // The room hears the pad and not the voice.
    void carriesVoiceAndPad()
    {
        const Samples pad = Wav::ramp(std::size_t(Rate) / 5, 1, 37);
        writeFile(dir.filePath("pad.tzk"), Wav::build(pad, 1, Rate));
        writeFile(dir.filePath("quiet.tzk"), Wav::build(Samples(441), 1, Rate));
        // A stall of the whole machine costs every program's samples alike; on
        // PipeWire a watch of the graph's clock sees it, and the call is made
        // again.
        for (StallTries tries(kind == QLatin1String("pipewire"), Rate,
                              VirtualMicrophone::SourceName, false);
             ;) {
            VirtualMicrophone mic;
            QVERIFY(mic.setOn(true));
            // Asleep soon after each sound, as it would be between presses in a call.
            SoundEngineOptions quickSleep;
            quickSleep.idleAfter = 100ms;
            SoundEngine engine(quickSleep);
            engine.play(file("quiet.tzk"));
            engine.waitUntilHandled();
            Recorder room(Rate);
            SourceRecorder call(VirtualMicrophone::SourceName);
            // Positive signals that the voice and the pad are routed before a press.
            QTRY_COMPARE(capturing(kind, "testmic"), 1);
            if (kind == QLatin1String("pulse"))
                QTRY_VERIFY(ourStreamSink() == indexOf("sinks", QStringLiteral("zembra_mic_out")));
            else
                QTRY_COMPARE(feedsIntoMicrophone(), 4);
            QVERIFY2(tries.begin(), "the watch of the graph saw it run no cycle");
            std::this_thread::sleep_for(500ms); // the voice alone first
            for (int press = 0; press < 2; ++press) {
                engine.play(file("pad.tzk"));
                engine.waitUntilHandled();
                std::this_thread::sleep_for(400ms);
            }
            const auto [left, right] = tries.recordedSides(call.stop());
            if (tries.madeAgain())
                continue;
            const std::vector<Heard> twice{{0, pad.size(), {}}, {0, pad.size(), {}}};
            const auto heard = heardSounds(right, {&pad});
            QVERIFY2(heard == twice, qPrintable(describe(heard)));
            const QString faults = toneFaults(minus(left, right));
            QVERIFY2(faults.isEmpty(), qPrintable(faults));
            const std::optional<Samples> roomHeard = room.stop();
            QVERIFY2(roomHeard, Recorder::Unheard);
            const auto inRoom = heardSounds(*roomHeard, {&pad});
            QVERIFY2(inRoom == twice, qPrintable(describe(inRoom)));
            return;
        }
    }

    // The voice comes from whatever real microphone there is: none (the pad
    // alone, never the room's monitor that the server then calls its default,
    // which would echo the pad), one unplugged and plugged in again mid-call,
    // or another while the desktop records "Zembra mikrofonu" by default.
    void voiceFromTheMicrophoneThereIs_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::newRow("no microphone") << "none";
        QTest::newRow("plugged in again mid-call") << "replugged";
        QTest::newRow("ours is the default") << "ours";
    }

    void voiceFromTheMicrophoneThereIs()
    {
        QFETCH(QString, setup);
        const Samples pad = Wav::ramp(std::size_t(Rate) / 5, 1, 41);
        writeFile(dir.filePath("pad.tzk"), Wav::build(pad, 1, Rate));
        // A stall of the machine costs the voice and the pad alike: on
        // PipeWire such a call is made again, on a server set up anew.
        // The watch beside the call: the room's sink runs only while the pad plays.
        for (StallTries tries(kind == QLatin1String("pipewire"), Rate,
                              VirtualMicrophone::SourceName, false);
             ;) {
            if (tries.attempt() > 0) {
                cleanup();
                init();
            }
            if (setup == QLatin1String("none"))
                unplugTestMicrophone();
            // A laptop's own microphone beside the headset that comes and goes:
            // were ours the only one left, the server would make it the default
            // and move the call, which it counts as following the default, onto
            // the headset when that comes back.
            if (setup == QLatin1String("replugged"))
                addTestMicrophone("othermic");
            VirtualMicrophone mic;
            QVERIFY(mic.setOn(true));
            if (setup == QLatin1String("ours"))
                pactl({"set-default-source", VirtualMicrophone::SourceName});
            SoundEngine engine;
            SourceRecorder call(VirtualMicrophone::SourceName);
            if (setup != QLatin1String("none"))
                QTRY_COMPARE(capturing(kind, "testmic"), 1);
            QVERIFY2(tries.begin(), "the watch of the graph saw it run no cycle");
            if (setup == QLatin1String("replugged"))
                unplugTestMicrophone();
            // Long enough for a second of voice where there is one.
            std::this_thread::sleep_for(800ms);
            engine.play(file("pad.tzk"));
            engine.waitUntilHandled();
            std::this_thread::sleep_for(800ms);
            if (setup == QLatin1String("replugged")) {
                plugTestMicrophone();
                QTRY_COMPARE(capturing(kind, "testmic"), 1);
                std::this_thread::sleep_for(700ms);
                engine.play(file("pad.tzk"));
                engine.waitUntilHandled();
                std::this_thread::sleep_for(600ms);
            }
            const auto [left, right] = tries.recordedSides(call.stop());
            if (tries.madeAgain())
                continue;
            const auto heard = heardSounds(right, {&pad});
            const std::vector<Heard> presses(setup == QLatin1String("replugged") ? 2 : 1,
                                             Heard{0, pad.size(), {}});
            QVERIFY2(heard == presses, qPrintable(describe(heard)));
            // Unplugged, the voice stops; plugged in again, it must come back whole.
            Samples voice = minus(left, right);
            if (setup == QLatin1String("replugged")) {
                std::size_t back = voice.size(), zeros = 0;
                while (back > 0 && zeros < std::size_t(ToneCycle))
                    zeros = voice[--back] == 0 ? zeros + 1 : 0;
                voice.erase(voice.begin(), voice.begin() + std::ptrdiff_t(back + zeros));
            }
            QCOMPARE(toneFaults(voice),
                     setup == QLatin1String("none") ? QStringLiteral("no tone") : QString());
            return;
        }
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
        const QByteArray modulesBefore = pactl({"list", "short", "modules"});
        VirtualMicrophone mic;
        QVERIFY(mic.setOn(true));
        QCOMPARE(count("sources", VirtualMicrophone::SourceName), 1);
        const qint64 pid = QCoreApplication::applicationPid();
        std::optional<SourceRecorder> call;
        if (recorded) {
            call.emplace(VirtualMicrophone::SourceName);
            QTRY_COMPARE(capturing(kind, "testmic"), 1);
        }
        QVERIFY(!madeBy(kind, pid).isEmpty());
        // PipeWire's own blocks, in this process: not its PulseAudio side's modules.
        if (kind == QLatin1String("pipewire"))
            QCOMPARE(pactl({"list", "short", "modules"}), modulesBefore);
        QVERIFY(mic.setOn(false));
        // Not one module of PulseAudio's, be it through PipeWire's side of it.
        QCOMPARE(pactl({"list", "short", "modules"}), modulesBefore);
        QCOMPARE(count("sources", VirtualMicrophone::SourceName), 0);
        QCOMPARE(capturing(kind, "testmic"), 0);
        QCOMPARE(madeBy(kind, pid), QStringList());
        if (kind == QLatin1String("pipewire"))
            QCOMPARE(graphObjectsOf(pid), QStringList());
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
        QVERIFY(madeBy(kind, otherPid).size() >= 2);
        if (killed) {
            other.kill();
            // A PulseAudio server keeps a killed client's modules; what a
            // PipeWire client made goes with it.
            if (kind == QLatin1String("pulse"))
                QVERIFY(modulesOf(otherPid).size() >= 2);
            else
                QTRY_COMPARE(graphObjectsOf(otherPid), QStringList());
        }
        VirtualMicrophone mic;
        QVERIFY(mic.setOn(true));
        QCOMPARE(count("sources", VirtualMicrophone::SourceName), 1);
        QCOMPARE(count("sinks", VirtualMicrophone::MixSinkName),
                 kind == QLatin1String("pulse") ? 1 : 0);
        if (killed) {
            QCOMPARE(madeBy(kind, otherPid), QStringList());
        } else {
            QCOMPARE(madeBy(kind, QCoreApplication::applicationPid()), QStringList());
            QVERIFY(mic.setOn(false));
            QVERIFY(madeBy(kind, otherPid).size() >= 2);
            QVERIFY(other.end());
            QCOMPARE(madeBy(kind, otherPid), QStringList());
            QCOMPARE(count("sources", VirtualMicrophone::SourceName), 0);
        }
    }

    // The real microphone is open only while something records ours, and it
    // is the default one of the moment; until then the mix sleeps too.
    void microphoneOpenOnlyWhileRecorded()
    {
        addTestMicrophone("othermic");
        VirtualMicrophone mic;
        QVERIFY(mic.setOn(true));
        QVERIFY(asleep());
        QCOMPARE(capturing(kind, "testmic"), 0);
        {
            SourceRecorder call(VirtualMicrophone::SourceName);
            QTRY_COMPARE(capturing(kind, "testmic"), 1);
            pactl({"set-default-source", "othermic"});
            QTRY_COMPARE(capturing(kind, "othermic"), 1);
            QCOMPARE(capturing(kind, "testmic"), 0);
            call.stop();
        }
        QTRY_COMPARE(capturing(kind, "othermic"), 0);
        QTRY_VERIFY(asleep());
        QCOMPARE(count("sources", VirtualMicrophone::SourceName), 1);
    }

private:
    // Nothing of the microphone runs: PulseAudio's mix is suspended, and
    // PipeWire runs neither side of the loopback.
    bool asleep() const
    {
        if (kind == QLatin1String("pulse"))
            return sinkState(VirtualMicrophone::MixSinkName) == QLatin1String("SUSPENDED");
        int found = 0;
        for (const QJsonValue &o : pipewireGraph()) {
            const QString name = propsOf(o)[QLatin1String("node.name")].toString();
            if (name != QLatin1String("zembra_mic") && name != QLatin1String("zembra_mic_in"))
                continue;
            ++found;
            if (o[QLatin1String("info")][QLatin1String("state")].toString() ==
                QLatin1String("running"))
                return false;
        }
        return found == 2;
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

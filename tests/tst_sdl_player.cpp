#include "effects/sdl_player.h"
#include "wav.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <random>
#include <thread>

using namespace std::chrono_literals;
using Samples = std::vector<std::int16_t>;

namespace {

void writeFile(const QString &path, const std::vector<std::uint8_t> &bytes)
{
    std::ofstream out(path.toStdString(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

// Index of the first sample at or after `from` that differs from silence.
std::size_t firstSound(const Samples &s, std::size_t from)
{
    while (from < s.size() && s[from] == 0)
        ++from;
    return from;
}

// How many samples of `expected` appear in `out` from `at` on, before the first
// mismatch. SDL converts through float, so one step of rounding is allowed.
std::size_t matching(const Samples &out, std::size_t at, const Samples &expected)
{
    std::size_t n = 0;
    while (at + n < out.size() && n < expected.size() && std::abs(out[at + n] - expected[n]) <= 1)
        ++n;
    return n;
}

} // namespace

class TestSdlPlayer : public QObject {
    Q_OBJECT

    // Spaces and letters outside any 8-bit code page, as in a Turkish user folder.
    QTemporaryDir dir{QDir::tempPath() + QStringLiteral("/Ses Efektleri ışğ-XXXXXX")};
    QString outFile;
    int runs = 0;

    QString path(const QString &name) const { return dir.filePath(name); }

    // Runs a script against a player on SDL's disk driver and returns what
    // reached the device, left channel only (checking the right one matches).
    Samples capture(const std::function<void(SdlEffectPlayer &)> &script)
    {
        outFile = dir.filePath(QStringLiteral("out%1.raw").arg(++runs));
        qputenv("SDL_AUDIODRIVER", "disk");
        qputenv("SDL_DISKAUDIOFILE", outFile.toUtf8());
        {
            SdlEffectPlayer player;
            script(player);
            player.waitUntilHandled();
        }
        QFile f(outFile);
        if (!f.open(QIODevice::ReadOnly))
            return {};
        const QByteArray raw = f.readAll();
        Samples left;
        const auto *frames = reinterpret_cast<const std::int16_t *>(raw.constData());
        const std::size_t count = std::size_t(raw.size()) / 4;
        for (std::size_t i = 0; i < count; ++i) {
            if (frames[2 * i] != frames[2 * i + 1]) {
                qWarning("channels differ at frame %zu", i);
                return {};
            }
            left.push_back(frames[2 * i]);
        }
        return left;
    }

    static void playFor(SdlEffectPlayer &player, const QString &file, std::chrono::milliseconds ms)
    {
        player.play(file.toStdString());
        player.waitUntilHandled();
        std::this_thread::sleep_for(ms);
    }

private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }

    void playsTheFileSampleForSample()
    {
        const Samples a = Wav::ramp(4000);
        writeFile(path("1.tzk"), Wav::build(a, 1, 44100));
        const Samples out = capture([&](SdlEffectPlayer &p) { playFor(p, path("1.tzk"), 250ms); });
        const std::size_t start = firstSound(out, 0);
        QVERIFY(start < out.size());
        QCOMPARE(matching(out, start, a), a.size());
        QCOMPARE(firstSound(out, start + a.size()), out.size()); // played once, no loop
    }

    void newRequestCutsThePrevious()
    {
        const Samples a = Wav::ramp(44100);
        const Samples b = Wav::ramp(3000, -1, 91);
        writeFile(path("2.tzk"), Wav::build(a, 1, 44100));
        writeFile(path("3.tzk"), Wav::build(b, 1, 44100));
        const Samples out = capture([&](SdlEffectPlayer &p) {
            playFor(p, path("2.tzk"), 120ms);
            playFor(p, path("3.tzk"), 300ms);
        });
        const std::size_t aStart = firstSound(out, 0);
        const std::size_t aPlayed = matching(out, aStart, a);
        QVERIFY(aPlayed > 0);
        QVERIFY2(aPlayed < a.size(), "the first sound was not cut off");
        const std::size_t bStart = firstSound(out, aStart + aPlayed);
        QCOMPARE(matching(out, bStart, b), b.size());
        QCOMPARE(firstSound(out, bStart + b.size()), out.size());
    }

    void sameFileAgainRestartsFromTheBeginning()
    {
        const Samples a = Wav::ramp(44100);
        writeFile(path("4.tzk"), Wav::build(a, 1, 44100));
        const Samples out = capture([&](SdlEffectPlayer &p) {
            playFor(p, path("4.tzk"), 120ms);
            playFor(p, path("4.tzk"), 900ms);
        });
        const std::size_t first = firstSound(out, 0);
        const std::size_t cut = matching(out, first, a);
        QVERIFY(cut > 0 && cut < a.size());
        // The cached sound replaces the voice with no gap: the ramp starts over.
        const std::size_t again = firstSound(out, first + cut);
        QCOMPARE(matching(out, again, a), a.size());
    }

    void missingFileIsSilenceAndNextFilePlays()
    {
        const Samples a = Wav::ramp(2000, 1, 53);
        writeFile(path("6.tzk"), Wav::build(a, 1, 44100));
        const Samples out = capture([&](SdlEffectPlayer &p) {
            playFor(p, path("yok.tzk"), 50ms);
            playFor(p, path("6.tzk"), 200ms);
        });
        const std::size_t start = firstSound(out, 0);
        QCOMPARE(matching(out, start, a), a.size());
        QCOMPARE(firstSound(out, start + a.size()), out.size());
    }

    void fileReplacedWhileRunningIsUsedAtNextRequest()
    {
        const Samples a = Wav::ramp(2000, 1, 11);
        const Samples b = Wav::ramp(2500, -1, 13);
        const QString file = path("7.tzk");
        writeFile(file, Wav::build(a, 1, 44100));
        const Samples out = capture([&](SdlEffectPlayer &p) {
            playFor(p, file, 150ms);
            writeFile(file, Wav::build(b, 1, 44100));
            playFor(p, file, 200ms);
        });
        const std::size_t aStart = firstSound(out, 0);
        QCOMPARE(matching(out, aStart, a), a.size());
        const std::size_t bStart = firstSound(out, aStart + a.size());
        QCOMPARE(matching(out, bStart, b), b.size());
    }

    void badFilesNeverBreakThePlayer_data()
    {
        QTest::addColumn<QString>("kind");
        for (const char *kind :
             {"zero bytes", "truncated header", "random bytes", "text file",
              "declared length beyond file", "directory", "unreadable", "fifo", "100 MB"})
            QTest::newRow(kind) << QString::fromLatin1(kind);
    }

    void badFilesNeverBreakThePlayer()
    {
        QFETCH(QString, kind);
        const QString bad = path(QStringLiteral("bad-%1/5.tzk").arg(kind));
        QVERIFY(QDir().mkpath(QFileInfo(bad).path()));
        const std::vector<std::uint8_t> good = Wav::build(Wav::ramp(1000), 1, 44100);
        std::mt19937 rng(7);
        if (kind == "zero bytes") {
            writeFile(bad, {});
        } else if (kind == "truncated header") {
            writeFile(bad, std::vector<std::uint8_t>(good.begin(), good.begin() + 20));
        } else if (kind == "random bytes") {
            std::vector<std::uint8_t> noise(65536);
            for (auto &b : noise)
                b = std::uint8_t(rng());
            writeFile(bad, noise);
        } else if (kind == "text file") {
            const QByteArray text = QByteArray("Merhaba dünya, bu bir ses değil.\n").repeated(200);
            writeFile(bad, std::vector<std::uint8_t>(text.begin(), text.end()));
        } else if (kind == "declared length beyond file") {
            writeFile(bad, Wav::build(Wav::ramp(1000), 1, 44100, Wav::Format::S16, 0x7ffff000));
        } else if (kind == "directory") {
            QVERIFY(QDir().mkpath(bad));
        } else if (kind == "unreadable") {
            writeFile(bad, good);
            QVERIFY(::chmod(bad.toUtf8().constData(), 0) == 0);
        } else if (kind == "fifo") {
            QVERIFY(::mkfifo(bad.toUtf8().constData(), 0600) == 0);
        } else if (kind == "100 MB") {
            QFile f(bad);
            QVERIFY(f.open(QIODevice::WriteOnly));
            const std::vector<std::uint8_t> head =
                Wav::build({}, 1, 44100, Wav::Format::S16, 100u << 20);
            f.write(reinterpret_cast<const char *>(head.data()), qint64(head.size()));
            QVERIFY(f.resize(qint64(head.size()) + (100 << 20)));
        }

        const Samples marker = Wav::ramp(3000, -1, 17);
        writeFile(path("8.tzk"), Wav::build(marker, 1, 44100));
        const Samples out = capture([&](SdlEffectPlayer &p) {
            playFor(p, bad, 30ms);
            playFor(p, path("8.tzk"), 250ms);
        });
        // Whatever the bad file did, the next press is heard whole and alone.
        std::size_t m = 0;
        while (m < out.size() && matching(out, m, marker) < 8)
            ++m;
        QVERIFY2(m < out.size(), "the sound after the bad file was not heard");
        QCOMPARE(matching(out, m, marker), marker.size());
        QCOMPARE(firstSound(out, m + marker.size()), out.size());
    }

    void noDeviceIsSilentThenADeviceIsUsedWhenItAppears()
    {
        const Samples a = Wav::ramp(1500, 1, 29);
        writeFile(path("9.tzk"), Wav::build(a, 1, 44100));
        outFile = dir.filePath(QStringLiteral("late.raw"));
        qputenv("SDL_AUDIODRIVER", "pulseaudio");
        qputenv("PULSE_SERVER", "unix:/nonexistent/zembra-no-server");
        {
            SdlEffectPlayer player;
            player.play(path("9.tzk").toStdString());
            player.waitUntilHandled();
            QVERIFY(!player.isDeviceOpen());
            // A sound server turns up: the next request opens a device and plays.
            qputenv("SDL_AUDIODRIVER", "disk");
            qputenv("SDL_DISKAUDIOFILE", outFile.toUtf8());
            playFor(player, path("9.tzk"), 150ms);
            QVERIFY(player.isDeviceOpen());
        }
        qunsetenv("PULSE_SERVER");
        QFile f(outFile);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QVERIFY(f.size() > 0);
    }

    void idleDeviceIsClosedAndReopened()
    {
        qputenv("SDL_AUDIODRIVER", "disk");
        qputenv("SDL_DISKAUDIOFILE", dir.filePath(QStringLiteral("idle.raw")).toUtf8());
        writeFile(path("10.tzk"), Wav::build(Wav::ramp(441), 1, 44100));
        SdlPlayerOptions options;
        options.idleClose = 50ms;
        SdlEffectPlayer player(options);
        player.play(path("10.tzk").toStdString());
        player.waitUntilHandled();
        QVERIFY(player.isDeviceOpen());
        QTRY_VERIFY_WITH_TIMEOUT(!player.isDeviceOpen(), 5000);
        player.play(path("10.tzk").toStdString());
        player.waitUntilHandled();
        QVERIFY(player.isDeviceOpen());
    }

    void playsOnARealSoundServer()
    {
        // ./test runs a PulseAudio server with a null sink; its monitor hears what we play.
        const QByteArray sink = qgetenv("PULSE_SINK");
        if (qEnvironmentVariableIsEmpty("PULSE_SERVER") || sink.isEmpty())
            QSKIP("no PulseAudio server for this run");
        const Samples a = Wav::ramp(13230); // 0.3 s
        writeFile(path("11.tzk"), Wav::build(a, 1, 44100));
        QProcess recorder;
        recorder.start(QStringLiteral("parecord"),
                       {QStringLiteral("--device=%1.monitor").arg(QString::fromUtf8(sink)),
                        QStringLiteral("--raw"), QStringLiteral("--format=s16le"),
                        QStringLiteral("--channels=2"), QStringLiteral("--rate=44100"),
                        QStringLiteral("--latency-msec=20")});
        QVERIFY(recorder.waitForStarted());
        QTest::qWait(300);
        qputenv("SDL_AUDIODRIVER", "pulseaudio");
        {
            SdlEffectPlayer player;
            playFor(player, path("11.tzk"), 700ms);
        }
        recorder.terminate();
        QVERIFY(recorder.waitForFinished(5000));
        const QByteArray raw = recorder.readAllStandardOutput();
        const auto *frames = reinterpret_cast<const std::int16_t *>(raw.constData());
        const std::size_t count = std::size_t(raw.size()) / 4;
        std::size_t first = count, last = 0;
        int peak = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const int v = std::abs(int(frames[2 * i]));
            if (v > 100) {
                first = std::min(first, i);
                last = i;
                peak = std::max(peak, v);
            }
        }
        QVERIFY2(first < count, "nothing was heard");
        // The whole sound, once, at its own level.
        QVERIFY2(std::abs(double(last - first + 1) - double(a.size())) < a.size() * 0.05,
                 qPrintable(QString::number(last - first + 1)));
        QVERIFY2(std::abs(peak - *std::max_element(a.begin(), a.end())) < 500,
                 qPrintable(QString::number(peak)));
    }

    void decodesEveryCommonWaveFormat_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("tolerance");
        using F = Wav::Format;
        QTest::newRow("u8 mono") << int(F::U8) << 1 << 44100 << 256;
        QTest::newRow("s16 mono") << int(F::S16) << 1 << 44100 << 1;
        QTest::newRow("s16 stereo") << int(F::S16) << 2 << 44100 << 1;
        QTest::newRow("s24 mono") << int(F::S24) << 1 << 44100 << 1;
        QTest::newRow("s32 stereo") << int(F::S32) << 2 << 44100 << 1;
        QTest::newRow("f32 mono") << int(F::F32) << 1 << 44100 << 2;
        QTest::newRow("s16 mono 4 kHz") << int(F::S16) << 1 << 4000 << -1;
        QTest::newRow("s16 mono 8 kHz") << int(F::S16) << 1 << 8000 << -1;
        QTest::newRow("s24 stereo 11.025 kHz") << int(F::S24) << 2 << 11025 << -1;
        QTest::newRow("s16 stereo 22.05 kHz") << int(F::S16) << 2 << 22050 << -1;
        QTest::newRow("f32 stereo 48 kHz") << int(F::F32) << 2 << 48000 << -1;
        QTest::newRow("u8 stereo 96 kHz") << int(F::U8) << 2 << 96000 << -1;
    }

    void decodesEveryCommonWaveFormat()
    {
        QFETCH(int, format);
        QFETCH(int, channels);
        QFETCH(int, rate);
        QFETCH(int, tolerance);
        const std::size_t frames = std::size_t(rate) / 10;
        // Left carries a ramp, right its negative, so swapped channels show.
        Samples in;
        for (std::int16_t s : Wav::ramp(frames)) {
            in.push_back(s);
            if (channels == 2)
                in.push_back(std::int16_t(-s));
        }
        const auto sound =
            SdlEffectPlayer::decode(Wav::build(in, channels, rate, Wav::Format(format)), 44100, 2);
        QVERIFY(sound);
        const Samples &out = sound->samples;
        const double expectedFrames = double(frames) * 44100 / rate;
        QVERIFY2(std::abs(double(out.size() / 2) - expectedFrames) <= expectedFrames * 0.02,
                 qPrintable(QString::number(out.size() / 2)));
        if (tolerance < 0) {
            // Resampled: check the level survived rather than exact values.
            const auto peak = std::max_element(out.begin(), out.end());
            QVERIFY(*peak > 15000);
            return;
        }
        QCOMPARE(out.size(), frames * 2);
        for (std::size_t i = 0; i < frames; ++i) {
            const int left = in[i * std::size_t(channels)];
            const int right = channels == 2 ? -left : left;
            if (std::abs(out[2 * i] - left) > tolerance ||
                std::abs(out[2 * i + 1] - right) > tolerance)
                QFAIL(qPrintable(QStringLiteral("frame %1: %2/%3, expected %4/%5")
                                     .arg(i)
                                     .arg(out[2 * i])
                                     .arg(out[2 * i + 1])
                                     .arg(left)
                                     .arg(right)));
        }
    }
};

QTEST_GUILESS_MAIN(TestSdlPlayer)
#include "tst_sdl_player.moc"

#include "audio/sound_decoder.h"
#include "audio/sound_engine.h"
#include "audio/start_cache.h"
#include "audio/voice.h"
#include "audio/voice_slot.h"
#include "env_guard.h"
#include "wav.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
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

// A file whose header declares dataBytes of PCM that mostly is not there yet:
// the size is made by extending the file, so no test writes 100 MB.
void writeHuge(const QString &path, int channels, int rate, std::uint32_t dataBytes)
{
    const std::vector<std::uint8_t> head =
        Wav::build({}, channels, rate, Wav::Format::S16, dataBytes);
    writeFile(path, head);
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadWrite));
    QVERIFY(f.resize(qint64(head.size()) + dataBytes));
}

std::size_t firstSound(const Samples &s, std::size_t from)
{
    while (from < s.size() && s[from] == 0)
        ++from;
    return from;
}

// How many samples of `expected` appear in `out` from `at` on, before the first
// mismatch. Conversions through float may round by one step.
std::size_t matching(const Samples &out, std::size_t at, const Samples &expected)
{
    std::size_t n = 0;
    while (at + n < out.size() && n < expected.size() && std::abs(out[at + n] - expected[n]) <= 1)
        ++n;
    return n;
}

// Where `expected` starts in `out` (found by its first samples), or out.size().
std::size_t find(const Samples &out, const Samples &expected, std::size_t from = 0)
{
    for (std::size_t i = from; i < out.size(); ++i)
        if (matching(out, i, expected) >= std::min<std::size_t>(16, expected.size()))
            return i;
    return out.size();
}

Samples leftChannel(const QByteArray &raw)
{
    const auto *frames = reinterpret_cast<const std::int16_t *>(raw.constData());
    Samples left;
    for (std::size_t i = 0; i < std::size_t(raw.size()) / 4; ++i) {
        if (frames[2 * i] != frames[2 * i + 1]) {
            qWarning("channels differ at frame %zu", i);
            return {};
        }
        left.push_back(frames[2 * i]);
    }
    return left;
}

// The file as a user's own program would write it: libsndfile, whatever the
// container and codec.
bool writeWithSndfile(const QString &path, int format, int rate, const Samples &mono)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 1;
    info.format = format;
    if (!sf_format_check(&info))
        return false;
    SNDFILE *file = sf_open(path.toUtf8().constData(), SFM_WRITE, &info);
    if (!file)
        return false;
    // In pieces: the Vorbis writer takes a whole write on its stack.
    sf_count_t written = 0;
    for (std::size_t at = 0; at < mono.size(); at += 4096)
        written += sf_writef_short(file, mono.data() + at,
                                   sf_count_t(std::min<std::size_t>(4096, mono.size() - at)));
    return sf_close(file) == 0 && written == sf_count_t(mono.size());
}

Samples sine(int rate, double hz, double seconds)
{
    Samples s(std::size_t(rate * seconds));
    for (std::size_t i = 0; i < s.size(); ++i)
        s[i] = std::int16_t(16000 * std::sin(2 * M_PI * hz * double(i) / rate));
    return s;
}

// What libsndfile itself decodes of a file, mono.
Samples readWithSndfile(const QString &path)
{
    SF_INFO info{};
    SNDFILE *file = sf_open(path.toUtf8().constData(), SFM_READ, &info);
    if (!file || info.channels != 1)
        return {};
    Samples s(std::size_t(info.frames));
    s.resize(std::size_t(sf_readf_short(file, s.data(), info.frames)));
    sf_close(file);
    return s;
}

// Loudness in 10 ms steps, from the first loud sample on.
std::vector<double> envelope(const Samples &s, int rate)
{
    const std::size_t window = std::size_t(rate) / 100;
    std::vector<double> loudness;
    for (std::size_t at = std::size_t(
             std::find_if(s.begin(), s.end(), [](std::int16_t v) { return std::abs(v) > 4000; }) -
             s.begin());
         at < s.size(); at += window) {
        double sum = 0;
        for (std::size_t i = at; i < std::min(s.size(), at + window); ++i)
            sum += double(s[i]) * s[i];
        loudness.push_back(std::sqrt(sum / double(window)));
    }
    return loudness;
}

// Upward zero crossings per second, over the given samples.
double pitch(const Samples &s, std::size_t from, std::size_t to, int rate)
{
    std::size_t first = 0, last = 0, crossings = 0;
    for (std::size_t i = from + 1; i < to; ++i)
        if (s[i - 1] < 0 && s[i] >= 0) {
            if (!crossings++)
                first = i;
            last = i;
        }
    return crossings > 1 ? double(crossings - 1) * rate / double(last - first) : 0;
}

} // namespace

// What every output must do, checked sample for sample on SDL's disk driver,
// which writes exactly what it was given to a file.
class TestSoundEngine : public QObject {
    Q_OBJECT

    // Spaces and letters outside any 8-bit code page, as in a Turkish user folder.
    QTemporaryDir dir{QDir::tempPath() + QStringLiteral("/Ses Efektleri ışğ-XXXXXX")};
    int runs = 0;

    QString path(const QString &name) const { return dir.filePath(name); }

    // A sound of the kit, at the disk driver's rate.
    QString sound(const QString &name, const Samples &s) const
    {
        writeFile(path(name), Wav::build(s, 1, 44100));
        return path(name);
    }

    Samples capture(const std::function<void(SoundEngine &)> &script,
                    SoundEngineOptions options = {})
    {
        const QString outFile = dir.filePath(QStringLiteral("out%1.raw").arg(++runs));
        EnvGuard env({"SDL_AUDIODRIVER", "SDL_DISKAUDIOFILE"});
        qputenv("SDL_AUDIODRIVER", "disk");
        qputenv("SDL_DISKAUDIOFILE", outFile.toUtf8());
        {
            SoundEngine engine(options);
            script(engine);
            engine.waitUntilHandled();
        }
        QFile f(outFile);
        return f.open(QIODevice::ReadOnly) ? leftChannel(f.readAll()) : Samples{};
    }

    static void playFor(SoundEngine &engine, const QString &file, std::chrono::milliseconds ms)
    {
        engine.play(file.toStdString());
        engine.waitUntilHandled();
        std::this_thread::sleep_for(ms);
    }

    // Whatever `file` did, pressed for `ms`, the next press is heard whole and
    // alone; with nothing before it where `silent`.
    void nextPressHeardAlone(const QString &file, std::chrono::milliseconds ms, bool silent,
                             SoundEngineOptions options = {}, std::size_t *peak = nullptr)
    {
        const Samples marker = Wav::ramp(3000, -1, 17);
        const QString next = sound(QStringLiteral("8.tzk"), marker);
        const Samples out = capture(
            [&](SoundEngine &e) {
                playFor(e, file, ms);
                playFor(e, next, 250ms);
                if (peak)
                    *peak = e.peakHeldBytes();
            },
            options);
        const std::size_t m = find(out, marker);
        QVERIFY2(m < out.size(), "the press after the file was not heard");
        if (silent)
            QCOMPARE(firstSound(out, 0), m);
        QCOMPARE(matching(out, m, marker), marker.size());
        QCOMPARE(firstSound(out, m + marker.size()), out.size());
    }

private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }

    // A press cuts the sound playing, whichever file it is for: the same one
    // starts again from its beginning.
    void newRequestCutsThePrevious_data()
    {
        QTest::addColumn<bool>("same");
        QTest::newRow("another file") << false;
        QTest::newRow("the same file") << true;
    }

    void newRequestCutsThePrevious()
    {
        QFETCH(bool, same);
        const Samples a = Wav::ramp(44100);
        const Samples b = same ? a : Wav::ramp(2000, -1, 91); // within one decoding step
        const QString first = sound(QStringLiteral("2.tzk"), a);
        const QString second = same ? first : sound(QStringLiteral("3.tzk"), b);
        const Samples out = capture([&](SoundEngine &e) {
            playFor(e, first, 120ms);
            playFor(e, second, 1100ms);
        });
        const std::size_t aStart = firstSound(out, 0);
        const std::size_t aRun = matching(out, aStart, a);
        QVERIFY(aRun > 0);
        // The second sound found by its own samples: a machine that stalls the
        // decoder (as under a thread sanitizer) may leave a gap in the first,
        // whose rest must not be taken for the second.
        const std::size_t bStart = find(out, b, aStart + aRun);
        QVERIFY2(bStart < out.size(), "the second sound was not heard");
        const auto aHeard = std::size_t(std::count_if(out.begin() + std::ptrdiff_t(aStart),
                                                      out.begin() + std::ptrdiff_t(bStart),
                                                      [](std::int16_t v) { return v; }));
        QVERIFY2(aHeard < a.size(), "the first sound was not cut off");
        QCOMPARE(matching(out, bStart, b), b.size());
        QCOMPARE(firstSound(out, bStart + b.size()), out.size());
    }

    // A start kept for one file never plays for another: one of the same name
    // elsewhere, or the file replaced or rewritten in any way that leaves the
    // rest of what identifies it as it was. A sound kept whole plays from memory
    // while all of that is as it was: its file, rewritten meanwhile (as 8-bit,
    // twice the frames in the same bytes), is not read again. Pressed through a
    // symbolic link, as a user's own sound may be.
    void keptStartBelongsToItsFile_data()
    {
        QTest::addColumn<QString>("change");
        for (const char *change :
             {"same name in another folder", "replaced by a file of the same size and time",
              "rewritten in place, same size", "grown in place, same time",
              "replaced between preload and press", "rewritten in place as 8-bit, nothing else"})
            QTest::newRow(change) << QString::fromLatin1(change);
    }

    void keptStartBelongsToItsFile()
    {
        QFETCH(QString, change);
        const bool asBefore = change.endsWith(QLatin1String("nothing else"));
        const bool preloaded = change.startsWith(QLatin1String("replaced between"));
        const Samples a = Wav::ramp(2000, 1, 11);
        const Samples b = change.startsWith(QLatin1String("grown")) ? Wav::ramp(2500, -1, 19)
                          : asBefore                                ? Wav::ramp(4000, -1, 43)
                                                                    : Wav::ramp(2000, -1, 13);
        const QString folder = path(QStringLiteral("key-%1").arg(QTest::currentDataTag()));
        QVERIFY(QDir().mkpath(folder + QStringLiteral("/other")));
        QVERIFY(QDir().mkpath(folder + QStringLiteral("/files")));
        const QString file = folder + QStringLiteral("/files/7.tzk");
        const QString link = folder + QStringLiteral("/7.tzk");
        writeFile(file, Wav::build(a, 1, 44100));
        QVERIFY(QFile::link(file, link));
        struct stat before {};
        QVERIFY(::stat(file.toUtf8().constData(), &before) == 0);
        const auto keepTime = [&](const QString &f, std::int64_t addNs) {
            timespec times[2] = {before.st_atim, before.st_mtim};
            times[1].tv_sec += addNs / 1000000000;
            QVERIFY(::utimensat(AT_FDCWD, f.toUtf8().constData(), times, 0) == 0);
        };
        QString second = link;
        const Samples out = capture([&](SoundEngine &e) {
            if (preloaded) {
                playFor(e, path("yok.tzk"), 10ms); // opens the output
                e.preload({link.toStdString()});
                std::this_thread::sleep_for(200ms);
            } else {
                playFor(e, link, 150ms);
            }
            if (change.startsWith(QLatin1String("same name"))) {
                second = folder + QStringLiteral("/other/7.tzk");
                writeFile(second, Wav::build(b, 1, 44100));
            } else if (change.startsWith(QLatin1String("replaced"))) {
                const QString fresh = folder + QStringLiteral("/7.new");
                writeFile(fresh, Wav::build(b, 1, 44100));
                keepTime(fresh, 0);
                QVERIFY(::rename(fresh.toUtf8().constData(), file.toUtf8().constData()) == 0);
            } else {
                const std::vector<std::uint8_t> bytes =
                    Wav::build(b, 1, 44100, asBefore ? Wav::Format::U8 : Wav::Format::S16);
                QFile f(file);
                QVERIFY(f.open(QIODevice::ReadWrite)); // no truncation: the same inode
                QCOMPARE(
                    f.write(reinterpret_cast<const char *>(bytes.data()), qint64(bytes.size())),
                    qint64(bytes.size()));
                f.close();
                keepTime(file, change.endsWith(QLatin1String("same size")) ? 1000000000 : 0);
            }
            playFor(e, second, 200ms);
        });
        const Samples &then = asBefore ? a : b;
        std::size_t at = firstSound(out, 0);
        if (!preloaded) {
            QCOMPARE(matching(out, at, a), a.size());
            at = firstSound(out, at + a.size());
        }
        QCOMPARE(matching(out, at, then), then.size());
        QCOMPARE(firstSound(out, at + then.size()), out.size());
    }

    // Kept starts beyond their budget: the one used longest ago goes first, a
    // press that finds one counting as a use.
    void keptStartsOverTheBudgetLeastRecentlyUsedGoFirst_data()
    {
        QTest::addColumn<QString>("steps"); // "+a": a's start kept; "a": it found at a press
        QTest::addColumn<QString>("left");
        QTest::newRow("kept first, goes first") << "+a +b +c +d"
                                                << "b c d";
        QTest::newRow("used since, stays") << "+a +b +c a +d"
                                           << "a c d";
        QTest::newRow("kept again, counts as new") << "+a +b +c +a +d"
                                                   << "a c d";
        QTest::newRow("two go for a longer one") << "+a +b +c c b a +dd"
                                                 << "a dd";
    }

    void keptStartsOverTheBudgetLeastRecentlyUsedGoFirst()
    {
        QFETCH(QString, steps);
        QFETCH(QString, left);
        const FileKey key{1, 2, 3, 4};
        StartCache cache(3 * 1000 * sizeof(std::int16_t)); // three starts of 1000 samples
        QStringList names;
        for (const QString &step : steps.split(QLatin1Char(' '))) {
            const QString name = step.mid(step.startsWith(QLatin1Char('+')) ? 1 : 0);
            if (!step.startsWith(QLatin1Char('+'))) {
                QVERIFY(cache.find(name.toStdString(), key));
                continue;
            }
            SoundStart start;
            start.key = key;
            start.pcm = std::make_shared<Pcm>();
            start.pcm->channels = 1;
            start.pcm->samples.assign(std::size_t(name.size()) * 1000, 1);
            cache.remember(name.toStdString(), std::move(start));
            if (!names.contains(name))
                names << name;
        }
        QStringList kept;
        for (const QString &name : names)
            if (cache.find(name.toStdString(), key))
                kept << name;
        QCOMPARE(kept.join(QLatin1Char(' ')), left);
    }

    void badFilesNeverBreakThePlayer_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("silent"); // holds nothing that plays
        for (const char *kind : {"missing", "zero bytes", "truncated header", "random bytes",
                                 "text file", "declared length beyond file", "directory",
                                 "unreadable", "fifo", "1 Hz, 20 KB", "1 Hz, 4 KB"})
            QTest::newRow(kind) << QString::fromLatin1(kind)
                                << (qstrcmp(kind, "declared length beyond file") != 0 &&
                                    (qstrcmp(kind, "unreadable") != 0 || ::geteuid() != 0));
    }

    void badFilesNeverBreakThePlayer()
    {
        QFETCH(QString, kind);
        QFETCH(bool, silent);
        const QString bad = path(QStringLiteral("bad-%1/5.tzk").arg(kind));
        QVERIFY(QDir().mkpath(QFileInfo(bad).path()));
        const std::vector<std::uint8_t> good = Wav::build(Wav::ramp(1000), 1, 44100);
        std::mt19937 rng(7);
        if (kind == "missing") {
        } else if (kind == "zero bytes") {
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
        } else if (kind == "1 Hz, 20 KB") {
            writeFile(bad, Wav::build(Wav::ramp(10000), 1, 1));
        } else if (kind == "1 Hz, 4 KB") {
            writeFile(bad, Wav::build(Wav::ramp(2000), 1, 1));
        }
        nextPressHeardAlone(bad, 30ms, silent);
    }

    // A user's own sound plays whatever its format, told by content: the name is
    // always a kit name. Lossless ones sample for sample; lossy ones at their
    // pitch, for their length. WAVE is every other case's.
    void playsEveryCommonFormat_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("rate");
        QTest::addColumn<bool>("lossless");
        QTest::newRow("AIFF") << (SF_FORMAT_AIFF | SF_FORMAT_PCM_16) << 44100 << true;
        QTest::newRow("FLAC") << (SF_FORMAT_FLAC | SF_FORMAT_PCM_16) << 44100 << true;
        QTest::newRow("Ogg Vorbis") << (SF_FORMAT_OGG | SF_FORMAT_VORBIS) << 44100 << false;
        QTest::newRow("Opus") << (SF_FORMAT_OGG | SF_FORMAT_OPUS) << 48000 << false;
        QTest::newRow("MP3") << (SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III) << 44100 << false;
    }

    void playsEveryCommonFormat()
    {
        QFETCH(int, format);
        QFETCH(int, rate);
        QFETCH(bool, lossless);
        const QString file = path(QStringLiteral("format-%1/9.tzk").arg(QTest::currentDataTag()));
        QVERIFY(QDir().mkpath(QFileInfo(file).path()));
        constexpr double Seconds = 0.5, Hz = 1000;
        const Samples in =
            lossless ? Wav::ramp(std::size_t(rate * Seconds)) : sine(rate, Hz, Seconds);
        QVERIFY2(writeWithSndfile(file, format, rate, in), "libsndfile cannot write this format");
        const Samples out = capture([&](SoundEngine &e) { playFor(e, file, 800ms); });
        if (lossless) {
            const std::size_t start = firstSound(out, 0);
            QVERIFY(start < out.size());
            QCOMPARE(matching(out, start, in), in.size());
            QCOMPARE(firstSound(out, start + in.size()), out.size());
            return;
        }
        // As loud as libsndfile's own decode of the file, 10 ms by 10 ms to the
        // end and silent after, at the output's 44.1 kHz; and at its pitch.
        const std::vector<double> heard = envelope(out, 44100),
                                  decoded = envelope(readWithSndfile(file), rate);
        QVERIFY2(decoded.size() > 40, "libsndfile cannot read this format");
        for (std::size_t k = 0; k < std::max(heard.size(), decoded.size()); ++k) {
            const double a = k < heard.size() ? heard[k] : 0,
                         b = k < decoded.size() ? decoded[k] : 0;
            if (std::abs(a - b) > 100)
                QFAIL(qPrintable(
                    QStringLiteral("at %1 ms: %2 heard, %3 decoded").arg(k * 10).arg(a).arg(b)));
        }
        const std::size_t from =
            std::size_t(std::find_if(out.begin(), out.end(),
                                     [](std::int16_t v) { return std::abs(v) > 4000; }) -
                        out.begin());
        const double hz = pitch(out, from + 4410, from + 4410 * 4, 44100);
        QVERIFY2(std::abs(hz - Hz) < Hz * 0.005, qPrintable(QString::number(hz)));
    }

    // The start of a file that says which format it is, then a WAVE: silence,
    // never the WAVE nor noise, and the next press plays.
    void fileClaimingOneFormatHoldingAnotherIsSilence_data()
    {
        QTest::addColumn<int>("format"); // whose first bytes claim the file; 0: the marker alone
        QTest::addColumn<QByteArray>("claim");
        QTest::newRow("AIFF") << 0 << QByteArray("FORM\0\0\x10\0AIFF", 12);
        QTest::newRow("FLAC") << 0 << QByteArray("fLaC");
        QTest::newRow("FLAC stream info") << (SF_FORMAT_FLAC | SF_FORMAT_PCM_16) << QByteArray();
        QTest::newRow("Ogg Vorbis headers") << (SF_FORMAT_OGG | SF_FORMAT_VORBIS) << QByteArray();
        QTest::newRow("Opus headers") << (SF_FORMAT_OGG | SF_FORMAT_OPUS) << QByteArray();
        QTest::newRow("MP3 frame header") << 0 << QByteArray("\xff\xfb\x90\x64", 4);
    }

    void fileClaimingOneFormatHoldingAnotherIsSilence()
    {
        QFETCH(int, format);
        QFETCH(QByteArray, claim);
        const QString dir = path(QStringLiteral("claims-%1").arg(QTest::currentDataTag()));
        QVERIFY(QDir().mkpath(dir));
        if (format) {
            // The headers of a real file of that format, without its audio.
            const QString real = dir + QStringLiteral("/real");
            QVERIFY(writeWithSndfile(real, format, 48000, sine(48000, 1000, 0.5)));
            QFile f(real);
            QVERIFY(f.open(QIODevice::ReadOnly));
            claim = f.read(format == (SF_FORMAT_FLAC | SF_FORMAT_PCM_16) ? 42 : 400);
            if ((format & SF_FORMAT_TYPEMASK) == SF_FORMAT_OGG) {
                // Up to the page after the identification header.
                const int second = claim.indexOf("OggS", 4);
                QVERIFY(second > 0);
                claim.truncate(second);
            }
        }
        const std::vector<std::uint8_t> wave = Wav::build(Wav::ramp(20000, 1, 29), 1, 44100);
        const QString file = dir + QStringLiteral("/5.tzk");
        std::vector<std::uint8_t> bytes(claim.begin(), claim.end());
        bytes.insert(bytes.end(), wave.begin(), wave.end());
        writeFile(file, bytes);
        nextPressHeardAlone(file, 600ms, true);
    }

    // A long file plays while it is read; a press in the middle of it is heard,
    // and what the player holds stays within its budget whatever the file declares.
    void longFilesStreamWithinTheBudget_data()
    {
        QTest::addColumn<int>("format"); // 0: a WAVE of the size declared
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("megabytes");
        QTest::newRow("100 MB, 44.1 kHz stereo") << 0 << 2 << 44100 << 100;
        QTest::newRow("40 MB, 8 kHz mono") << 0 << 1 << 8000 << 40;
        QTest::newRow("20 KB, 200 Hz mono") << 0 << 1 << 200 << 0;
        // Compressed, a minute of sound decodes to 5 MB, far beyond the budget.
        QTest::newRow("FLAC") << (SF_FORMAT_FLAC | SF_FORMAT_PCM_16) << 1 << 48000 << 0;
        QTest::newRow("Ogg Vorbis") << (SF_FORMAT_OGG | SF_FORMAT_VORBIS) << 1 << 48000 << 0;
        QTest::newRow("Opus") << (SF_FORMAT_OGG | SF_FORMAT_OPUS) << 1 << 48000 << 0;
        QTest::newRow("MP3") << (SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III) << 1 << 48000 << 0;
    }

    void longFilesStreamWithinTheBudget()
    {
        QFETCH(int, format);
        QFETCH(int, channels);
        QFETCH(int, rate);
        QFETCH(int, megabytes);
        const QString big = path(QStringLiteral("long-%1.tzk").arg(QTest::currentDataTag()));
        if (format)
            QVERIFY(writeWithSndfile(big, format, rate, sine(rate, 440, 60)));
        else
            writeHuge(big, channels, rate, megabytes ? std::uint32_t(megabytes) << 20 : 20000);
        SoundEngineOptions options;
        options.cacheBudgetBytes = std::size_t(64) << 10;
        std::size_t peak = 0;
        nextPressHeardAlone(big, 400ms, false, options, &peak);
        // The budget, plus half a second of stream buffer.
        QVERIFY2(peak <= options.cacheBudgetBytes + 44100 / 2 * 4,
                 qPrintable(QString::number(peak)));
    }

    // Preloading keeps the start of each sound; a press plays that and then the
    // rest, decoded behind it, with no seam: the same samples as a cold press.
    void preloadedStartJoinsTheRestWithoutASeam_data()
    {
        QTest::addColumn<int>("rate");
        QTest::newRow("at the output's rate") << 44100;
        QTest::newRow("resampled") << 22050;
    }

    void preloadedStartJoinsTheRestWithoutASeam()
    {
        QFETCH(int, rate);
        const Samples a = Wav::ramp(std::size_t(rate) / 2, 1, 31); // 0.5 s: more than the start
        const QString file = path(QStringLiteral("13-%1.tzk").arg(rate));
        writeFile(file, Wav::build(a, 1, rate));
        std::size_t held = 0;
        std::size_t coldHeld = 0;
        const auto press = [&](bool preload) -> Samples {
            const Samples out = capture([&](SoundEngine &e) {
                playFor(e, path("yok.tzk"), 10ms); // opens the output, plays nothing
                if (preload) {
                    e.preload({file.toStdString(), path("yok.tzk").toStdString()});
                    for (int i = 0; i < 500 && e.heldBytes() < 4410 * sizeof(std::int16_t); ++i)
                        std::this_thread::sleep_for(10ms);
                    held = e.heldBytes();
                }
                playFor(e, file, 700ms);
                if (!preload)
                    coldHeld = e.heldBytes();
            });
            // From the first sample heard to the last.
            std::size_t end = out.size();
            while (end > 0 && out[end - 1] == 0)
                --end;
            const std::size_t start = std::min(firstSound(out, 0), end);
            return Samples(out.begin() + std::ptrdiff_t(start), out.begin() + std::ptrdiff_t(end));
        };
        const Samples cold = press(false);
        const Samples warm = press(true);
        // A press keeps the start it decoded too, for the next press.
        QVERIFY2(coldHeld >= 4410 * sizeof(std::int16_t), qPrintable(QString::number(coldHeld)));
        // 100 ms of mono kept before the press.
        QVERIFY2(held >= 4410 * sizeof(std::int16_t) && held < 4410 * sizeof(std::int16_t) * 2,
                 qPrintable(QString::number(held)));
        QVERIFY(cold.size() > 22050 * 95 / 100);
        QCOMPARE(warm.size(), cold.size());
        QCOMPARE(matching(warm, 0, cold), cold.size());
        if (rate == 44100)
            QCOMPARE(matching(cold, 0, a), a.size());
    }

    // A start shorter than one decoding step, as at a headset's 8 or 16 kHz: a
    // sound a little longer than the start is heard whole at every press.
    void soundsJustLongerThanTheStartPlayWholeAgain()
    {
        const Samples a = Wav::ramp(1500, 1, 47); // ends within the first step
        const QString file = sound(QStringLiteral("16.tzk"), a);
        SoundEngineOptions options;
        options.headLength = 20ms; // 882 frames at the disk driver's 44.1 kHz
        const Samples out = capture(
            [&](SoundEngine &e) {
                playFor(e, file, 200ms);
                playFor(e, file, 200ms);
            },
            options);
        const std::size_t first = firstSound(out, 0);
        QCOMPARE(matching(out, first, a), a.size());
        const std::size_t second = firstSound(out, first + a.size());
        QCOMPARE(matching(out, second, a), a.size());
        QCOMPARE(firstSound(out, second + a.size()), out.size());
    }

    void idleOutputSleepsAndWakesAtTheNextPress()
    {
        const Samples a = Wav::ramp(441, 1, 19);
        const QString file = sound(QStringLiteral("10.tzk"), a);
        SoundEngineOptions options;
        options.idleAfter = 300ms; // far longer than a check right after a press takes
        const Samples out = capture(
            [&](SoundEngine &e) {
                e.play(file.toStdString());
                e.waitUntilHandled();
                QVERIFY(e.isAwake());
                QTRY_VERIFY_WITH_TIMEOUT(!e.isAwake(), 5000);
                e.play(file.toStdString());
                e.waitUntilHandled();
                QVERIFY(e.isAwake());
                std::this_thread::sleep_for(100ms); // played out before the engine goes
            },
            options);
        // The output was closed and opened again: the second press is in the file.
        const std::size_t start = firstSound(out, 0);
        QCOMPARE(matching(out, start, a), a.size());
    }

    void noOutputAnywhereIsSilenceWithoutHanging()
    {
        EnvGuard env({"SDL_AUDIODRIVER", "PULSE_SERVER", "PIPEWIRE_REMOTE", "PIPEWIRE_RUNTIME_DIR",
                      "XDG_RUNTIME_DIR"});
        qunsetenv("SDL_AUDIODRIVER");
        qputenv("PULSE_SERVER", "unix:/nonexistent/zembra-no-server");
        qputenv("PIPEWIRE_REMOTE", "/nonexistent/zembra-no-server");
        qputenv("PIPEWIRE_RUNTIME_DIR", "/nonexistent");
        qputenv("XDG_RUNTIME_DIR", "/nonexistent");
        const QString file = sound(QStringLiteral("15.tzk"), Wav::ramp(441));
        SoundEngine engine;
        for (int i = 0; i < 3; ++i) {
            engine.play(file.toStdString());
            engine.waitUntilHandled();
        }
        QCOMPARE(engine.outputName(), std::string());
    }

    // A goodbye is waited for by polling drained(): it must never say so before the
    // voice posted last has had every frame rendered, however the two threads meet.
    // Each voice is a constant of its own, so the rendering side can count its frames.
    void drainedOnlyOnceThePostedVoiceHasPlayed()
    {
        constexpr std::size_t Chunk = 512;
        constexpr std::size_t Frames = Chunk * 3;
        constexpr int Posts = 20000;
        VoiceSlot slot;
        std::atomic<bool> stop{false};
        std::atomic<std::uint64_t> renders{0};
        // The value the rendering side heard last, above the count of its frames.
        std::atomic<std::uint64_t> heard{0};
        std::thread renderer([&] {
            std::vector<std::int16_t> out(Chunk * 2);
            std::uint64_t value = 0;
            std::uint64_t frames = 0;
            while (!stop.load(std::memory_order_acquire)) {
                slot.render(out.data(), Chunk);
                for (std::size_t i = 0; i < Chunk; ++i) {
                    const auto v = std::uint64_t(std::uint16_t(out[2 * i]));
                    if (v == 0)
                        continue;
                    if (v != value) {
                        value = v;
                        frames = 0;
                    }
                    ++frames;
                }
                heard.store(value << 32 | frames, std::memory_order_release);
                renders.fetch_add(1, std::memory_order_release);
            }
        });
        int early = 0; // the post after which drained() spoke too soon
        std::uint64_t heardThen = 0;
        for (int i = 1; i <= Posts && !early; ++i) {
            const auto value = std::int16_t(i % 30000 + 1);
            auto pcm = std::make_shared<Pcm>();
            pcm->channels = 1;
            pcm->samples.assign(Frames, value);
            slot.post(std::make_unique<Voice>(pcm));
            while (!slot.drained())
                std::this_thread::yield();
            // The render that found the voice ended may still be returning: one
            // more render finished means its frames are counted.
            const std::uint64_t seen = renders.load(std::memory_order_acquire);
            while (renders.load(std::memory_order_acquire) <= seen)
                std::this_thread::yield();
            heardThen = heard.load(std::memory_order_acquire);
            if (heardThen != (std::uint64_t(std::uint16_t(value)) << 32 | Frames))
                early = i;
        }
        stop.store(true, std::memory_order_release);
        renderer.join();
        QVERIFY2(!early, qPrintable(QStringLiteral("post %1: drained after %2 of %3 frames")
                                        .arg(early)
                                        .arg(heardThen & 0xffffffffu)
                                        .arg(Frames)));
    }

    void decodesEveryCommonWaveFormat_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("outRate");
        // Each encoding is libsndfile's to read; what differs here is ours.
        using F = Wav::Format;
        QTest::newRow("s16 mono") << int(F::S16) << 1 << 44100 << 44100;
        QTest::newRow("s16 stereo") << int(F::S16) << 2 << 44100 << 44100;
        QTest::newRow("s16 mono 8 kHz to 44.1") << int(F::S16) << 1 << 8000 << 44100;
        QTest::newRow("s24 stereo 11.025 kHz to 48") << int(F::S24) << 2 << 11025 << 48000;
        QTest::newRow("s16 stereo 44.1 kHz to 48") << int(F::S16) << 2 << 44100 << 48000;
        QTest::newRow("f32 stereo 48 kHz to 44.1") << int(F::F32) << 2 << 48000 << 44100;
        QTest::newRow("u8 stereo 96 kHz to 44.1") << int(F::U8) << 2 << 96000 << 44100;
        // Of more channels, the first two play.
        QTest::newRow("s16 4 channels") << int(F::S16) << 4 << 44100 << 44100;
        QTest::newRow("s24 6 channels") << int(F::S24) << 6 << 48000 << 48000;
        QTest::newRow("s16 6 channels 48 kHz to 44.1") << int(F::S16) << 6 << 48000 << 44100;
    }

    void decodesEveryCommonWaveFormat()
    {
        QFETCH(int, format);
        QFETCH(int, channels);
        QFETCH(int, rate);
        QFETCH(int, outRate);
        const std::size_t frames = std::size_t(rate) / 10;
        // Left carries a ramp, right its negative, so swapped channels show; any
        // further channel a fraction of the ramp of its own, which is not heard.
        Samples written, in;
        for (std::int16_t s : Wav::ramp(frames))
            for (int c = 0; c < channels; ++c) {
                written.push_back(std::int16_t(c == 0 ? s : c == 1 ? -s : s / c));
                if (c < 2)
                    in.push_back(written.back());
            }
        const QString file = path(QStringLiteral("format-%1.wav").arg(QTest::currentDataTag()));
        writeFile(file, Wav::build(written, channels, rate, Wav::Format(format)));
        auto decoder = SoundDecoder::open(::open(file.toUtf8().constData(), O_RDONLY), outRate);
        QVERIFY(decoder);
        channels = std::min(channels, 2);
        QCOMPARE(decoder->channels(), channels);
        Samples out;
        Samples piece(1000 * 2);
        while (std::size_t got = decoder->read(piece.data(), 1000))
            out.insert(out.end(), piece.begin(),
                       piece.begin() + std::ptrdiff_t(got * std::size_t(channels)));
        const std::size_t outFrames = out.size() / std::size_t(channels);
        const double expectedFrames = double(frames) * outRate / rate;
        QVERIFY2(std::abs(double(outFrames) - expectedFrames) <= expectedFrames * 0.02,
                 qPrintable(QString::number(outFrames)));
        if (rate != outRate) {
            // Resampled: the level and the sides survive, not exact values.
            QVERIFY(*std::max_element(out.begin(), out.end()) > 15000);
            if (channels == 2) {
                std::size_t sidesRight = 0;
                for (std::size_t i = 0; i < out.size(); i += 2)
                    sidesRight += out[i] > 0 && out[i + 1] < 0;
                // The ramp's falling edge rings through zero for a few frames.
                QVERIFY2(sidesRight >= outFrames * 95 / 100,
                         qPrintable(QString::number(sidesRight)));
            }
            return;
        }
        QCOMPARE(out.size(), in.size());
        for (std::size_t i = 0; i < in.size(); ++i) {
            if (out[i] != in[i])
                QFAIL(qPrintable(
                    QStringLiteral("sample %1: %2, expected %3").arg(i).arg(out[i]).arg(in[i])));
        }
    }
};

QTEST_GUILESS_MAIN(TestSoundEngine)
#include "tst_sound_engine.moc"

#include "audio/sound_engine.h"

#include "audio/audio_output.h"
#include "audio/file_key.h"
#include "audio/log.h"
#include "audio/period_policy.h"
#include "audio/sound_decoder.h"
#include "audio/start_cache.h"
#include "audio/stay_awake.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <optional>

namespace {

using Clock = std::chrono::steady_clock;

// Frames decoded per step: a newer press waits at most one step of decoding.
constexpr std::size_t StepFrames = 2048;

// What a server still holds when the stream has taken the last frame of a sound:
// PulseAudio's 50 ms queue and the sink's latency (16 ms, or up to the 100 ms
// another program's stream keeps there), or PipeWire's periods.
constexpr auto ServerTail = std::chrono::milliseconds(200);

std::unique_ptr<AudioOutput> openOutput(std::chrono::milliseconds timeout, PeriodPolicy &periods)
{
    // SDL's own driver choice, when the user makes one, wins.
    if (const char *driver = std::getenv("SDL_AUDIODRIVER")) {
        AudioLog::write("SDL_AUDIODRIVER=%s names the output: SDL", driver);
        return AudioOutputs::openSdl();
    }
    if (auto out = AudioOutputs::openPipeWire(timeout, periods))
        return out;
    if (auto out = AudioOutputs::openPulse(timeout))
        return out;
    AudioLog::write("no sound server answered: SDL on ALSA");
    return AudioOutputs::openSdl();
}

} // namespace

struct SoundEngine::Core {
    explicit Core(const SoundEngineOptions &o)
        : options(o)
        , periods(o.stepDownAfter)
        , starts(o.cacheBudgetBytes)
    {
    }

    const SoundEngineOptions options;

    mutable std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable changed;
    std::string pendingPath;
    std::uint64_t handledSeq = 0;
    std::deque<std::string> preloads;
    std::atomic<bool> quit{false};
    // StayAwake changed.
    std::atomic<bool> nudged{false};
    std::shared_ptr<void> awakeWatch;
    bool finished = false;
    std::string outputName;
    int outputRate = 0;
    int outputQuantum = 0;
    bool awake = false;
    // The sound asked for last is still being decoded or played.
    bool sounding = false;

    std::atomic<std::uint64_t> requestSeq{0};
    std::atomic<std::size_t> held{0};
    std::atomic<std::size_t> peak{0};

    // Worker thread only from here on.

    // A sound being decoded into its stream as it plays.
    struct Job {
        std::unique_ptr<SoundDecoder> decoder;
        std::shared_ptr<FrameRing> ring;
        std::size_t skip = 0; // frames already played from the start kept
        std::string path;     // where the start goes while it is being made
        SoundStart start;     // pcm null once kept, or when it was kept before
    };

    std::unique_ptr<AudioOutput> output;
    bool asleep = false;
    std::optional<Clock::time_point> drainedSince;
    int cacheRate = 0;
    // The periods the server has held in this run.
    PeriodPolicy periods;
    StartCache starts;
    std::unique_ptr<Job> job;
    // The last step as decoded, and spread to stereo for the stream.
    std::vector<std::int16_t> step = std::vector<std::int16_t>(StepFrames * 2);
    std::vector<std::int16_t> stepStereo = std::vector<std::int16_t>(StepFrames * 2);

    void run();
    void start(const std::string &path);
    bool ensureOutput();
    void silence();
    void feed();
    void preloadOne();
    void checkIdle();
    bool superseded(std::uint64_t seq) const { return requestSeq.load() != seq || quit; }
    std::size_t framesFor(std::chrono::milliseconds t) const
    {
        return std::size_t(
            std::max<std::int64_t>(1, std::int64_t(output->rate()) * t.count() / 1000));
    }
    // A start kept covers what an output takes at once from a press.
    std::size_t startFrames() const
    {
        return framesFor(std::max(options.headLength, AudioOutputs::FirstWrite));
    }
    bool grow(SoundStart &start, std::size_t frames);
    void stream(FrameRing &ring, int channels, std::size_t frames);
    void account();
    void publish();
};

void SoundEngine::Core::account()
{
    std::size_t bytes = starts.bytes();
    if (job) {
        bytes += job->ring->bytes();
        if (job->start.pcm)
            bytes += job->start.pcm->bytes();
    }
    held = bytes;
    if (bytes > peak)
        peak = bytes;
}

void SoundEngine::Core::publish()
{
    std::lock_guard lock(mutex);
    outputName = output ? output->name() : "";
    outputRate = output ? output->rate() : 0;
    outputQuantum = output ? output->quantum() : 0;
    awake = output && !asleep;
}

void SoundEngine::Core::run()
{
    // Named, so that top -H and a profile tell the player from the rest.
    pthread_setname_np(pthread_self(), "zembra-player");
    std::unique_lock lock(mutex);
    for (;;) {
        const auto hasRequest = [this] {
            return quit || nudged || handledSeq != requestSeq.load();
        };
        const bool canPreload = output && !job && !preloads.empty();
        if (!hasRequest() && !canPreload) {
            if (job)
                wake.wait_for(lock, std::chrono::milliseconds(10), hasRequest);
            else if (output && !asleep)
                wake.wait_for(lock, std::chrono::milliseconds(50), hasRequest);
            else
                wake.wait(lock, [&] { return hasRequest() || (output && !preloads.empty()); });
        }
        if (quit)
            break;
        if (handledSeq != requestSeq.load()) {
            const std::string path = pendingPath;
            const std::uint64_t seq = requestSeq.load();
            lock.unlock();
            start(path);
            publish();
            lock.lock();
            if (requestSeq.load() == seq) {
                handledSeq = seq;
                sounding = job || (output && !output->drained());
                changed.notify_all();
            }
        }
        lock.unlock();
        // A call records our sound: the output opens and stays awake.
        if (nudged.exchange(false) && StayAwake::wanted() && !job && (!output || asleep) &&
            ensureOutput()) {
            silence();
            publish();
        }
        if (job)
            feed();
        else if (output)
            preloadOne();
        checkIdle();
        lock.lock();
    }
    lock.unlock();
    job.reset();
    output.reset();
    lock.lock();
    finished = true;
    sounding = false;
    changed.notify_all();
}

bool SoundEngine::Core::ensureOutput()
{
    if (output && output->lost()) {
        AudioLog::write("%s: the server went away", output->name());
        output.reset();
    }
    if (output && asleep && !output->fitsServer()) {
        AudioLog::write("%s: opened again at the server's rate", output->name());
        output.reset();
    }
    if (!output) {
        output = openOutput(options.connectTimeout, periods);
        if (!output)
            return false;
        AudioLog::write("output: %s at %d Hz", output->name(), output->rate());
        if (output->rate() != cacheRate) {
            starts.clear();
            cacheRate = output->rate();
        }
    }
    asleep = false;
    drainedSince.reset();
    return true;
}

void SoundEngine::Core::silence()
{
    output->play(std::make_unique<Voice>(std::make_shared<const Pcm>()));
}

void SoundEngine::Core::start(const std::string &path)
{
    job.reset(); // a decode still running is superseded
    account();
    if (!ensureOutput())
        return;
    FileKey key;
    const int fd = openRegularFile(path, key);
    if (fd < 0) {
        silence();
        return;
    }
    const SoundStart *kept = starts.find(path, key);
    if (kept && kept->whole) {
        ::close(fd); // nothing more to read
        output->play(std::make_unique<Voice>(kept->pcm));
        return;
    }
    auto j = std::make_unique<Job>();
    j->ring = std::make_shared<FrameRing>(std::size_t(output->rate()) / 2);
    if (kept) {
        // The start plays at once, before the decoder opens: opening some
        // formats reads well into the file. The rest is decoded from the
        // beginning of the file again, so that resampling runs on unbroken.
        output->play(std::make_unique<Voice>(kept->pcm, j->ring));
        j->skip = kept->pcm->frames();
        j->decoder = SoundDecoder::open(fd, output->rate());
        if (!j->decoder) { // the file read before no longer decodes: its start alone
            j->ring->finish();
            return;
        }
        job = std::move(j);
    } else {
        j->decoder = SoundDecoder::open(fd, output->rate());
        if (!j->decoder) {
            silence();
            return;
        }
        j->start.key = key;
        j->start.pcm = std::make_shared<Pcm>();
        j->start.pcm->channels = j->decoder->channels();
        j->path = path;
        // As long as a kept start: an output takes its first write at once
        // and asks again within tens of milliseconds, and the rest is decoded
        // by this thread, which a loaded machine may hold off that long.
        std::size_t decoded = 0;
        bool complete = false;
        while (decoded < startFrames()) {
            const std::size_t got = j->decoder->read(step.data(), StepFrames);
            if (got == 0)
                break;
            decoded += got;
            stream(*j->ring, j->decoder->channels(), got);
            complete = grow(j->start, got);
        }
        if (decoded == 0) {
            silence();
            return;
        }
        job = std::move(j);
        if (complete)
            starts.remember(job->path, std::move(job->start));
        output->play(std::make_unique<Voice>(job->ring));
    }
    feed();
}

// Adds the step just decoded to a start still being made; true once it is as
// long as a start is kept (a sound that ends before is only known whole when
// the decoder runs dry).
bool SoundEngine::Core::grow(SoundStart &start, std::size_t frames)
{
    const std::size_t take = std::min(frames, startFrames() - start.pcm->frames());
    const std::size_t ch = std::size_t(start.pcm->channels);
    start.pcm->samples.insert(start.pcm->samples.end(), step.begin(),
                              step.begin() + std::ptrdiff_t(take * ch));
    return start.pcm->frames() >= startFrames();
}

void SoundEngine::Core::stream(FrameRing &ring, int channels, std::size_t frames)
{
    if (channels == 2) {
        ring.write(step.data(), frames);
        return;
    }
    for (std::size_t i = 0; i < frames; ++i)
        stepStereo[2 * i] = stepStereo[2 * i + 1] = step[i];
    ring.write(stepStereo.data(), frames);
}

void SoundEngine::Core::feed()
{
    const std::uint64_t seq = requestSeq.load();
    while (job && !superseded(seq)) {
        const std::size_t want = job->skip ? std::min(job->skip, StepFrames) : StepFrames;
        if (!job->skip && job->ring->writable() < StepFrames)
            break;
        const std::size_t got = job->decoder->read(step.data(), want);
        if (got == 0) {
            job->ring->finish();
            if (job->start.pcm) {
                // Ran dry before the start was complete: this is the whole sound.
                job->start.whole = true;
                starts.remember(job->path, std::move(job->start));
            }
            job.reset();
            break;
        }
        if (job->skip) {
            job->skip -= got;
            continue;
        }
        stream(*job->ring, job->decoder->channels(), got);
        if (job->start.pcm && grow(job->start, got))
            starts.remember(job->path, std::move(job->start));
    }
    account();
}

void SoundEngine::Core::preloadOne()
{
    std::string path;
    {
        std::lock_guard lock(mutex);
        if (preloads.empty())
            return;
        path = preloads.front();
        preloads.pop_front();
    }
    FileKey key;
    const int fd = openRegularFile(path, key);
    if (fd < 0)
        return;
    if (starts.find(path, key)) {
        ::close(fd);
        return;
    }
    auto decoder = SoundDecoder::open(fd, output->rate());
    if (!decoder)
        return;
    SoundStart start;
    start.key = key;
    start.pcm = std::make_shared<Pcm>();
    start.pcm->channels = decoder->channels();
    for (;;) {
        const std::size_t got = decoder->read(step.data(), StepFrames);
        if (got == 0) {
            start.whole = true;
            break;
        }
        if (grow(start, got))
            break;
    }
    starts.remember(path, std::move(start));
    account();
}

void SoundEngine::Core::checkIdle()
{
    const bool nowSounding = output && !output->lost() && (job || !output->drained());
    {
        std::lock_guard lock(mutex);
        if (sounding && !nowSounding) {
            sounding = false;
            changed.notify_all();
        }
    }
    if (!output)
        return;
    if (output->lost()) {
        AudioLog::write("%s: the server went away", output->name());
        output.reset();
        job.reset();
        account();
        publish();
        return;
    }
    if (asleep)
        return;
    output->adapt();
    // The backend may also have stepped aside for another program on its own.
    // Only this thread writes what was published, so it reads it unlocked.
    if (outputQuantum != output->quantum())
        publish();
    if (job || !output->drained() || StayAwake::wanted()) {
        drainedSince.reset();
        return;
    }
    const auto now = Clock::now();
    if (!drainedSince)
        drainedSince = now;
    else if (now - *drainedSince >= options.idleAfter) {
        if (!output->sleep())
            output.reset();
        asleep = true;
        publish();
    }
}

SoundEngine::SoundEngine(const SoundEngineOptions &options)
    : core_(std::make_shared<Core>(options))
    , worker_([core = core_] { core->run(); })
{
    core_->awakeWatch = StayAwake::watch([weak = std::weak_ptr<Core>(core_)] {
        if (const auto core = weak.lock()) {
            {
                std::lock_guard lock(core->mutex);
                core->nudged = true;
            }
            core->wake.notify_all();
        }
    });
}

SoundEngine::~SoundEngine()
{
    {
        std::lock_guard lock(core_->mutex);
        core_->quit = true;
    }
    core_->wake.notify_all();
    std::unique_lock lock(core_->mutex);
    // A sound server that hangs must not keep the program alive: past the wait,
    // the worker is left to finish on its own.
    if (core_->changed.wait_for(lock, core_->options.shutdownWait,
                                [this] { return core_->finished; })) {
        lock.unlock();
        worker_.join();
    } else {
        lock.unlock();
        worker_.detach();
    }
}

void SoundEngine::play(const std::string &utf8Path)
{
    {
        std::lock_guard lock(core_->mutex);
        core_->pendingPath = utf8Path;
        ++core_->requestSeq;
    }
    core_->wake.notify_one();
}

void SoundEngine::preload(std::vector<std::string> utf8Paths)
{
    {
        std::lock_guard lock(core_->mutex);
        core_->preloads.assign(utf8Paths.begin(), utf8Paths.end());
    }
    core_->wake.notify_one();
}

void SoundEngine::waitUntilHandled()
{
    std::unique_lock lock(core_->mutex);
    core_->changed.wait(
        lock, [this] { return core_->handledSeq == core_->requestSeq.load() || core_->finished; });
}

void SoundEngine::waitUntilDrained(std::chrono::milliseconds most)
{
    const auto until = Clock::now() + most;
    std::unique_lock lock(core_->mutex);
    const bool played = core_->changed.wait_until(lock, until, [this] {
        return core_->finished ||
               (core_->handledSeq == core_->requestSeq.load() && !core_->sounding);
    });
    const bool heardSomewhere = core_->awake;
    lock.unlock();
    if (played && heardSomewhere)
        std::this_thread::sleep_until(std::min(until, Clock::now() + ServerTail));
}

std::string SoundEngine::outputName() const
{
    std::lock_guard lock(core_->mutex);
    return core_->outputName;
}

int SoundEngine::outputRate() const
{
    std::lock_guard lock(core_->mutex);
    return core_->outputRate;
}

bool SoundEngine::isAwake() const
{
    std::lock_guard lock(core_->mutex);
    return core_->awake;
}

std::size_t SoundEngine::heldBytes() const
{
    return core_->held.load();
}

std::size_t SoundEngine::peakHeldBytes() const
{
    return core_->peak.load();
}

int SoundEngine::outputQuantum() const
{
    std::lock_guard lock(core_->mutex);
    return core_->outputQuantum;
}

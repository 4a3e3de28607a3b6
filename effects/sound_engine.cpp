#include "sound_engine.h"

#include "audio_output.h"
#include "sound_decoder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace {

using Clock = std::chrono::steady_clock;

// Frames decoded per step: a newer press waits at most one step of decoding.
constexpr std::size_t StepFrames = 2048;

// What identifies a file's content without reading it: a file replaced or
// rewritten since it was decoded is decoded again.
struct FileKey {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    std::int64_t mtimeNs = 0;
    bool operator==(const FileKey &o) const
    {
        return device == o.device && inode == o.inode && size == o.size && mtimeNs == o.mtimeNs;
    }
};

// Opens only regular files; non-blocking, so a FIFO named like an effect cannot
// stall the worker. Returns -1 for anything else.
int openRegular(const std::string &path, FileKey &key)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) {
        ::close(fd);
        return -1;
    }
    key = {st.st_dev, st.st_ino, st.st_size,
           std::int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
    return fd;
}

std::unique_ptr<AudioOutput> openOutput(std::chrono::milliseconds timeout)
{
    // SDL's own driver choice, when the user makes one, wins.
    if (std::getenv("SDL_AUDIODRIVER"))
        return AudioOutputs::openSdl();
    if (auto out = AudioOutputs::openPipeWire(timeout))
        return out;
    if (auto out = AudioOutputs::openPulse(timeout))
        return out;
    return AudioOutputs::openSdl();
}

} // namespace

struct SoundEngine::Core {
    explicit Core(const SoundEngineOptions &o)
        : options(o)
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
    bool finished = false;
    std::string outputName;
    int outputRate = 0;
    bool awake = false;

    std::atomic<std::uint64_t> requestSeq{0};
    std::atomic<std::size_t> held{0};
    std::atomic<std::size_t> peak{0};

    // Worker thread only from here on.
    struct Entry {
        FileKey key;
        std::shared_ptr<const Pcm> pcm;
        std::uint64_t lastUse = 0;
    };
    struct Job {
        std::string path;
        FileKey key;
        std::unique_ptr<SoundDecoder> decoder;
        std::shared_ptr<FrameRing> ring;
        std::shared_ptr<Pcm> whole; // kept for the cache while it stays small enough
    };

    std::unique_ptr<AudioOutput> output;
    bool asleep = false;
    std::optional<Clock::time_point> drainedSince;
    int cacheRate = 0;
    std::unordered_map<std::string, Entry> cache;
    std::size_t cacheBytes = 0;
    std::uint64_t useCounter = 0;
    std::optional<Job> job;
    std::shared_ptr<Pcm> preloading;
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
    bool keep(std::shared_ptr<Pcm> &whole, std::size_t frames);
    void stream(FrameRing &ring, int channels, std::size_t frames);
    void remember(const std::string &path, const FileKey &key, std::shared_ptr<Pcm> pcm);
    void evictFor(std::size_t bytes);
    void account();
    void publish();
};

void SoundEngine::Core::account()
{
    std::size_t bytes = cacheBytes;
    if (job) {
        bytes += job->ring->bytes();
        if (job->whole)
            bytes += job->whole->bytes();
    }
    if (preloading)
        bytes += preloading->bytes();
    held = bytes;
    if (bytes > peak)
        peak = bytes;
}

void SoundEngine::Core::publish()
{
    std::lock_guard lock(mutex);
    outputName = output ? output->name() : "";
    outputRate = output ? output->rate() : 0;
    awake = output && !asleep;
}

void SoundEngine::Core::run()
{
    std::unique_lock lock(mutex);
    for (;;) {
        const auto hasRequest = [this] { return quit || handledSeq != requestSeq.load(); };
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
                changed.notify_all();
            }
            continue;
        }
        lock.unlock();
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
    changed.notify_all();
}

bool SoundEngine::Core::ensureOutput()
{
    if (output && output->lost())
        output.reset();
    if (!output) {
        output = openOutput(options.connectTimeout);
        if (!output)
            return false;
        if (output->rate() != cacheRate) {
            cache.clear();
            cacheBytes = 0;
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
    const int fd = openRegular(path, key);
    if (fd < 0) {
        silence();
        return;
    }
    if (auto it = cache.find(path); it != cache.end()) {
        if (it->second.key == key) {
            ::close(fd);
            it->second.lastUse = ++useCounter;
            output->play(std::make_unique<Voice>(it->second.pcm));
            return;
        }
        cacheBytes -= it->second.pcm->bytes();
        cache.erase(it);
    }
    auto decoder = SoundDecoder::open(fd, output->rate());
    if (!decoder) {
        silence();
        return;
    }
    Job j;
    j.path = path;
    j.key = key;
    j.ring = std::make_shared<FrameRing>(std::size_t(output->rate()) / 2);
    const std::size_t frameBytes = std::size_t(decoder->channels()) * sizeof(std::int16_t);
    if (std::size_t(decoder->declaredFrames()) * frameBytes <= options.cacheEntryMaxBytes) {
        j.whole = std::make_shared<Pcm>();
        j.whole->channels = decoder->channels();
    }
    j.decoder = std::move(decoder);
    // The first step goes out at once; the rest follows while it plays.
    const std::size_t got = j.decoder->read(step.data(), StepFrames);
    if (got == 0) {
        silence();
        return;
    }
    stream(*j.ring, j.decoder->channels(), got);
    job = std::move(j);
    keep(job->whole, got);
    output->play(std::make_unique<Voice>(job->ring));
    account();
}

// Adds the last decoded step to a sound being kept whole, as long as it stays
// within one entry's size and the cache's budget.
bool SoundEngine::Core::keep(std::shared_ptr<Pcm> &whole, std::size_t frames)
{
    if (!whole)
        return false;
    std::vector<std::int16_t> &samples = whole->samples;
    const std::size_t maxSamples = options.cacheEntryMaxBytes / sizeof(std::int16_t);
    const std::size_t perFrame = std::size_t(whole->channels);
    const std::size_t need = samples.size() + frames * perFrame;
    if (need > maxSamples) {
        whole.reset();
        return false;
    }
    if (need > samples.capacity()) {
        // Grow by hand so that what is counted is what is allocated.
        const std::size_t capacity = std::min(std::max(need, samples.capacity() * 2), maxSamples);
        const std::size_t bytes = capacity * sizeof(std::int16_t);
        evictFor(bytes);
        if (cacheBytes + bytes > options.cacheBudgetBytes) {
            whole.reset();
            return false;
        }
        samples.reserve(capacity);
    }
    samples.insert(samples.end(), step.begin(), step.begin() + std::ptrdiff_t(frames * perFrame));
    return true;
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

void SoundEngine::Core::evictFor(std::size_t bytes)
{
    while (!cache.empty() && cacheBytes + bytes > options.cacheBudgetBytes) {
        auto oldest = std::min_element(cache.begin(), cache.end(), [](auto &a, auto &b) {
            return a.second.lastUse < b.second.lastUse;
        });
        cacheBytes -= oldest->second.pcm->bytes();
        cache.erase(oldest);
    }
}

void SoundEngine::Core::remember(const std::string &path, const FileKey &key,
                                 std::shared_ptr<Pcm> pcm)
{
    if (pcm->samples.empty())
        return;
    pcm->samples.shrink_to_fit();
    if (auto old = cache.find(path); old != cache.end()) {
        cacheBytes -= old->second.pcm->bytes();
        cache.erase(old);
    }
    evictFor(pcm->bytes());
    if (cacheBytes + pcm->bytes() > options.cacheBudgetBytes)
        return;
    cacheBytes += pcm->bytes();
    cache.emplace(path, Entry{key, std::move(pcm), ++useCounter});
}

void SoundEngine::Core::feed()
{
    const std::uint64_t seq = requestSeq.load();
    while (job && job->ring->writable() >= StepFrames && !superseded(seq)) {
        const std::size_t got = job->decoder->read(step.data(), StepFrames);
        if (got == 0) {
            job->ring->finish();
            if (job->whole)
                remember(job->path, job->key, std::move(job->whole));
            job.reset();
            break;
        }
        stream(*job->ring, job->decoder->channels(), got);
        keep(job->whole, got);
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
    const int fd = openRegular(path, key);
    if (fd < 0)
        return;
    if (auto it = cache.find(path); it != cache.end() && it->second.key == key) {
        ::close(fd);
        return;
    }
    auto decoder = SoundDecoder::open(fd, output->rate());
    if (!decoder || std::size_t(decoder->declaredFrames()) * std::size_t(decoder->channels()) *
                            sizeof(std::int16_t) >
                        options.cacheEntryMaxBytes)
        return;
    const std::uint64_t seq = requestSeq.load();
    preloading = std::make_shared<Pcm>();
    preloading->channels = decoder->channels();
    for (;;) {
        if (superseded(seq)) {
            // A press comes first; this file is tried again afterwards.
            std::lock_guard lock(mutex);
            preloads.push_front(path);
            break;
        }
        const std::size_t got = decoder->read(step.data(), StepFrames);
        if (got == 0) {
            remember(path, key, std::move(preloading));
            break;
        }
        if (!keep(preloading, got))
            break;
        account();
    }
    preloading.reset();
    account();
}

void SoundEngine::Core::checkIdle()
{
    if (!output)
        return;
    if (output->lost()) {
        output.reset();
        job.reset();
        account();
        publish();
        return;
    }
    if (asleep)
        return;
    if (job || !output->drained()) {
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

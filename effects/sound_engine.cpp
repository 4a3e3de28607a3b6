#include "effects/sound_engine.h"

#include "effects/audio_output.h"
#include "effects/sound_decoder.h"

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

    // The start of a sound, decoded: a press plays it at once while the rest is
    // decoded behind it. A sound no longer than its head is kept whole.
    struct Head {
        FileKey key;
        std::shared_ptr<Pcm> pcm;
        bool whole = false;
        std::uint64_t lastUse = 0;
    };
    // A sound being decoded into its stream as it plays.
    struct Job {
        std::unique_ptr<SoundDecoder> decoder;
        std::shared_ptr<FrameRing> ring;
        std::size_t skip = 0; // frames already played from the head
        std::string path;     // where the head goes while it is being made
        Head head;
    };

    std::unique_ptr<AudioOutput> output;
    bool asleep = false;
    std::optional<Clock::time_point> drainedSince;
    int cacheRate = 0;
    std::unordered_map<std::string, Head> heads;
    std::size_t headBytes = 0;
    std::uint64_t useCounter = 0;
    std::optional<Job> job;
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
    std::size_t headFrames() const
    {
        return std::size_t(std::max<std::int64_t>(1, std::int64_t(output->rate()) *
                                                         options.headLength.count() / 1000));
    }
    Head *validHead(const std::string &path, const FileKey &key);
    void grow(Head &head, std::size_t frames);
    void stream(FrameRing &ring, int channels, std::size_t frames);
    void remember(const std::string &path, Head head);
    void account();
    void publish();
};

void SoundEngine::Core::account()
{
    std::size_t bytes = headBytes;
    if (job) {
        bytes += job->ring->bytes();
        if (job->head.pcm)
            bytes += job->head.pcm->bytes();
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
            heads.clear();
            headBytes = 0;
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

// The head kept for this file, if the file is still the one it was made from.
SoundEngine::Core::Head *SoundEngine::Core::validHead(const std::string &path, const FileKey &key)
{
    auto it = heads.find(path);
    if (it == heads.end())
        return nullptr;
    if (it->second.key == key)
        return &it->second;
    headBytes -= it->second.pcm->bytes();
    heads.erase(it);
    return nullptr;
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
    Head *head = validHead(path, key);
    if (head) {
        head->lastUse = ++useCounter;
        if (head->whole) {
            ::close(fd); // nothing more to read
            output->play(std::make_unique<Voice>(head->pcm));
            return;
        }
    }
    auto decoder = SoundDecoder::open(fd, output->rate());
    if (!decoder) {
        silence();
        return;
    }
    Job j;
    j.ring = std::make_shared<FrameRing>(std::size_t(output->rate()) / 2);
    if (head) {
        // The head plays while the rest is decoded from the start of the file
        // again, so that resampling runs on unbroken.
        j.skip = head->pcm->frames();
        j.decoder = std::move(decoder);
        job = std::move(j);
        output->play(std::make_unique<Voice>(head->pcm, job->ring));
    } else {
        const std::size_t got = decoder->read(step.data(), StepFrames);
        if (got == 0) {
            silence();
            return;
        }
        stream(*j.ring, decoder->channels(), got);
        j.head.key = key;
        j.head.pcm = std::make_shared<Pcm>();
        j.head.pcm->channels = decoder->channels();
        j.path = path;
        j.decoder = std::move(decoder);
        job = std::move(j);
        grow(job->head, got);
        output->play(std::make_unique<Voice>(job->ring));
    }
    feed();
}

// Adds the step just decoded to a head still being made.
void SoundEngine::Core::grow(Head &head, std::size_t frames)
{
    if (!head.pcm)
        return;
    const std::size_t take = std::min(frames, headFrames() - head.pcm->frames());
    const std::size_t ch = std::size_t(head.pcm->channels);
    head.pcm->samples.insert(head.pcm->samples.end(), step.begin(),
                             step.begin() + std::ptrdiff_t(take * ch));
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

void SoundEngine::Core::remember(const std::string &path, Head head)
{
    if (!head.pcm || head.pcm->samples.empty())
        return;
    head.pcm->samples.shrink_to_fit();
    const std::size_t bytes = head.pcm->bytes();
    if (auto old = heads.find(path); old != heads.end()) {
        headBytes -= old->second.pcm->bytes();
        heads.erase(old);
    }
    while (!heads.empty() && headBytes + bytes > options.cacheBudgetBytes) {
        auto oldest = std::min_element(heads.begin(), heads.end(), [](auto &a, auto &b) {
            return a.second.lastUse < b.second.lastUse;
        });
        headBytes -= oldest->second.pcm->bytes();
        heads.erase(oldest);
    }
    if (headBytes + bytes > options.cacheBudgetBytes)
        return;
    head.lastUse = ++useCounter;
    headBytes += bytes;
    heads.emplace(path, std::move(head));
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
            if (job->head.pcm) {
                job->head.whole = true;
                remember(job->path, std::move(job->head));
            }
            job.reset();
            break;
        }
        if (job->skip) {
            job->skip -= got;
            continue;
        }
        stream(*job->ring, job->decoder->channels(), got);
        if (job->head.pcm) {
            grow(job->head, got);
            if (job->head.pcm->frames() >= headFrames())
                remember(job->path, std::move(job->head));
        }
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
    if (validHead(path, key)) {
        ::close(fd);
        return;
    }
    auto decoder = SoundDecoder::open(fd, output->rate());
    if (!decoder)
        return;
    Head head;
    head.key = key;
    head.pcm = std::make_shared<Pcm>();
    head.pcm->channels = decoder->channels();
    while (head.pcm->frames() < headFrames()) {
        const std::size_t got = decoder->read(step.data(), StepFrames);
        if (got == 0) {
            head.whole = true;
            break;
        }
        grow(head, got);
    }
    remember(path, std::move(head));
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

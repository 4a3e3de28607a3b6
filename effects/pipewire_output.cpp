#include "effects/audio_output.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/props.h>
#include <spa/utils/result.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>

namespace {

constexpr int Channels = 2;
constexpr std::size_t FrameBytes = Channels * sizeof(std::int16_t);
// The graph's period while Zembra plays: a press waits at most one of these for
// the next cycle. 64 frames at 48 kHz is 1.3 ms.
constexpr int QuantumAt48k = 64;
constexpr int DefaultRate = 48000;

// Whether a PipeWire daemon's socket is where a client would look for it.
// Checked before PipeWire is set up in the process, which costs about a
// megabyte, on the many machines where only PulseAudio runs.
bool socketExists()
{
    const char *remote = std::getenv("PIPEWIRE_REMOTE");
    std::string path = remote && *remote ? remote : "pipewire-0";
    if (path.front() != '/') {
        const char *dir = std::getenv("PIPEWIRE_RUNTIME_DIR");
        if (!dir || !*dir)
            dir = std::getenv("XDG_RUNTIME_DIR");
        if (!dir || !*dir)
            return false; // PipeWire has nowhere to look either
        path = std::string(dir) + "/" + path;
    }
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

void initOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

class PipeWireOutput final : public AudioOutput {
public:
    ~PipeWireOutput() override;

    bool connect(std::chrono::milliseconds timeout);

    const char *name() const override { return "pipewire"; }
    int rate() const override { return rate_; }
    void play(std::unique_ptr<Voice> voice) override;
    bool drained() const override { return drained_.load(); }
    bool sleep() override;
    bool lost() const override { return lost_.load(); }

    // Called by PipeWire on its threads.
    static void onCoreDone(void *self, uint32_t id, int seq);
    static void onCoreError(void *self, uint32_t id, int seq, int res, const char *message);
    static void onCoreInfo(void *self, const struct pw_core_info *info);
    static void onGlobal(void *self, uint32_t id, uint32_t permissions, const char *type,
                         uint32_t version, const struct spa_dict *props);
    static void onStreamState(void *self, enum pw_stream_state old, enum pw_stream_state state,
                              const char *error);
    static void onProcess(void *self);

private:
    bool waitUntil(const struct timespec &until, const bool &flag);
    void freeRetired();

    pw_thread_loop *loop_ = nullptr;
    pw_context *context_ = nullptr;
    pw_core *core_ = nullptr;
    pw_registry *registry_ = nullptr;
    pw_stream *stream_ = nullptr;
    spa_hook coreListener_{};
    spa_hook registryListener_{};
    spa_hook streamListener_{};

    // Under the loop's lock.
    int syncSeq_ = -1;
    bool synced_ = false;
    bool hasSink_ = false;
    bool streamReady_ = false;
    bool active_ = true;
    int rate_ = DefaultRate;

    // The worker hands voices to the real-time thread without a lock: it leaves
    // the newest in pending_, the real-time thread takes it and lists the one it
    // replaced in retired_ for the worker to free.
    std::atomic<Voice *> pending_{nullptr};
    std::atomic<Voice *> retired_{nullptr};
    Voice *current_ = nullptr; // real-time thread only

    std::atomic<bool> drained_{true};
    std::atomic<bool> lost_{false};
};

const pw_core_events coreEvents = [] {
    pw_core_events e{};
    e.version = PW_VERSION_CORE_EVENTS;
    e.info = &PipeWireOutput::onCoreInfo;
    e.done = &PipeWireOutput::onCoreDone;
    e.error = &PipeWireOutput::onCoreError;
    return e;
}();

const pw_registry_events registryEvents = [] {
    pw_registry_events e{};
    e.version = PW_VERSION_REGISTRY_EVENTS;
    e.global = &PipeWireOutput::onGlobal;
    return e;
}();

const pw_stream_events streamEvents = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = &PipeWireOutput::onStreamState;
    e.process = &PipeWireOutput::onProcess;
    return e;
}();

PipeWireOutput::~PipeWireOutput()
{
    if (loop_) {
        pw_thread_loop_lock(loop_);
        if (stream_)
            pw_stream_destroy(stream_);
        if (registry_) {
            spa_hook_remove(&registryListener_);
            pw_proxy_destroy(reinterpret_cast<pw_proxy *>(registry_));
        }
        if (core_) {
            spa_hook_remove(&coreListener_);
            pw_core_disconnect(core_);
        }
        pw_thread_loop_unlock(loop_);
        pw_thread_loop_stop(loop_);
        if (context_)
            pw_context_destroy(context_);
        pw_thread_loop_destroy(loop_);
    }
    delete current_;
    delete pending_.exchange(nullptr);
    freeRetired();
}

void PipeWireOutput::onCoreInfo(void *self, const struct pw_core_info *info)
{
    auto *out = static_cast<PipeWireOutput *>(self);
    // The graph's own rate, so that nothing between us and the sink resamples.
    if (const char *rate =
            info && info->props ? spa_dict_lookup(info->props, "default.clock.rate") : nullptr) {
        const int r = std::atoi(rate);
        if (r >= 8000 && r <= 384000)
            out->rate_ = r;
    }
}

void PipeWireOutput::onCoreDone(void *self, uint32_t id, int seq)
{
    auto *out = static_cast<PipeWireOutput *>(self);
    if (id == PW_ID_CORE && seq == out->syncSeq_) {
        out->synced_ = true;
        pw_thread_loop_signal(out->loop_, false);
    }
}

void PipeWireOutput::onCoreError(void *self, uint32_t id, int, int res, const char *)
{
    auto *out = static_cast<PipeWireOutput *>(self);
    if (id == PW_ID_CORE && res == -EPIPE) {
        out->lost_ = true;
        pw_thread_loop_signal(out->loop_, false);
    }
}

void PipeWireOutput::onGlobal(void *self, uint32_t, uint32_t, const char *type, uint32_t,
                              const struct spa_dict *props)
{
    auto *out = static_cast<PipeWireOutput *>(self);
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0 || !props)
        return;
    const char *cls = spa_dict_lookup(props, PW_KEY_MEDIA_CLASS);
    if (cls && std::strcmp(cls, "Audio/Sink") == 0)
        out->hasSink_ = true;
}

void PipeWireOutput::onStreamState(void *self, enum pw_stream_state, enum pw_stream_state state,
                                   const char *)
{
    auto *out = static_cast<PipeWireOutput *>(self);
    if (state == PW_STREAM_STATE_PAUSED || state == PW_STREAM_STATE_STREAMING)
        out->streamReady_ = true;
    if (state == PW_STREAM_STATE_ERROR ||
        (state == PW_STREAM_STATE_UNCONNECTED && out->streamReady_))
        out->lost_ = true;
    pw_thread_loop_signal(out->loop_, false);
}

void PipeWireOutput::onProcess(void *self)
{
    auto *out = static_cast<PipeWireOutput *>(self);
    if (Voice *next = out->pending_.exchange(nullptr, std::memory_order_acq_rel)) {
        if (Voice *old = std::exchange(out->current_, next)) {
            old->retiredNext = out->retired_.load(std::memory_order_relaxed);
            while (!out->retired_.compare_exchange_weak(
                old->retiredNext, old, std::memory_order_release, std::memory_order_relaxed)) {
            }
        }
    }
    pw_buffer *b = pw_stream_dequeue_buffer(out->stream_);
    if (!b)
        return;
    spa_data &d = b->buffer->datas[0];
    if (!d.data)
        return;
    std::size_t frames = d.maxsize / FrameBytes;
    if (b->requested)
        frames = std::min<std::size_t>(frames, b->requested);
    auto *samples = static_cast<std::int16_t *>(d.data);
    const std::size_t got = out->current_ ? out->current_->read(samples, frames) : 0;
    std::memset(samples + got * Channels, 0, (frames - got) * FrameBytes);
    out->drained_.store(!out->current_ || out->current_->ended(), std::memory_order_relaxed);
    d.chunk->offset = 0;
    d.chunk->stride = FrameBytes;
    d.chunk->size = std::uint32_t(frames * FrameBytes);
    pw_stream_queue_buffer(out->stream_, b);
}

// Under the loop's lock; false if the time ran out first.
bool PipeWireOutput::waitUntil(const struct timespec &until, const bool &flag)
{
    while (!flag && !lost_) {
        if (pw_thread_loop_timed_wait_full(loop_, const_cast<struct timespec *>(&until)) != 0)
            return flag;
    }
    return flag && !lost_;
}

bool PipeWireOutput::connect(std::chrono::milliseconds timeout)
{
    if (!socketExists())
        return false;
    initOnce();
    loop_ = pw_thread_loop_new("zembra-audio", nullptr);
    if (!loop_)
        return false;
    // The real-time client set-up that players use: without it the stream is
    // served by an ordinary thread, which misses short cycles under load.
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_),
                              pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf",
                                                PW_KEY_APP_NAME, "Zembra", PW_KEY_APP_ID, "zembra",
                                                PW_KEY_APP_ICON_NAME, "zembra", nullptr),
                              0);
    if (!context_ || pw_thread_loop_start(loop_) < 0)
        return false;
    pw_thread_loop_lock(loop_);
    struct timespec until {};
    pw_thread_loop_get_time(loop_, &until,
                            std::chrono::duration_cast<std::chrono::nanoseconds>(timeout).count());
    bool ok = false;
    core_ = pw_context_connect(context_, nullptr, 0);
    if (core_) {
        pw_core_add_listener(core_, &coreListener_, &coreEvents, this);
        registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
        pw_registry_add_listener(registry_, &registryListener_, &registryEvents, this);
        // One round trip: the daemon answers and has told us of every node by then.
        syncSeq_ = pw_core_sync(core_, PW_ID_CORE, 0);
        // A PipeWire that carries no audio (video only, next to a PulseAudio
        // server) is not where sound goes.
        ok = waitUntil(until, synced_) && hasSink_;
    }
    if (ok) {
        const std::string latency = std::to_string(std::max(16, QuantumAt48k * rate_ / 48000)) +
                                    "/" + std::to_string(rate_);
        stream_ = pw_stream_new(core_, "Efekt",
                                pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY,
                                                  "Playback", PW_KEY_MEDIA_ROLE, "Game",
                                                  PW_KEY_MEDIA_NAME, "Efekt", PW_KEY_NODE_LATENCY,
                                                  latency.c_str(), nullptr));
        ok = stream_ != nullptr;
    }
    if (ok) {
        pw_stream_add_listener(stream_, &streamListener_, &streamEvents, this);
        std::uint8_t buffer[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
        spa_audio_info_raw info{};
        info.format = SPA_AUDIO_FORMAT_S16;
        info.rate = std::uint32_t(rate_);
        info.channels = Channels;
        info.position[0] = SPA_AUDIO_CHANNEL_FL;
        info.position[1] = SPA_AUDIO_CHANNEL_FR;
        const spa_pod *params[1] = {
            spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
        ok = pw_stream_connect(stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                               pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT |
                                               PW_STREAM_FLAG_MAP_BUFFERS |
                                               PW_STREAM_FLAG_RT_PROCESS),
                               params, 1) == 0 &&
             waitUntil(until, streamReady_);
    }
    pw_thread_loop_unlock(loop_);
    return ok;
}

void PipeWireOutput::freeRetired()
{
    Voice *v = retired_.exchange(nullptr, std::memory_order_acquire);
    while (v) {
        Voice *next = v->retiredNext;
        delete v;
        v = next;
    }
}

void PipeWireOutput::play(std::unique_ptr<Voice> voice)
{
    freeRetired();
    drained_ = false;
    // A voice the real-time thread never took is simply dropped.
    delete pending_.exchange(voice.release(), std::memory_order_acq_rel);
    if (!active_) {
        pw_thread_loop_lock(loop_);
        pw_stream_set_active(stream_, true);
        active_ = true;
        pw_thread_loop_unlock(loop_);
    }
}

bool PipeWireOutput::sleep()
{
    freeRetired();
    if (active_) {
        pw_thread_loop_lock(loop_);
        pw_stream_set_active(stream_, false);
        active_ = false;
        pw_thread_loop_unlock(loop_);
    }
    return true;
}

} // namespace

std::unique_ptr<AudioOutput> AudioOutputs::openPipeWire(std::chrono::milliseconds timeout)
{
    auto out = std::make_unique<PipeWireOutput>();
    if (!out->connect(timeout))
        return nullptr;
    return out;
}

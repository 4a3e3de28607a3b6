#include "audio/audio_output.h"
#include "audio/log.h"
#include "audio/period_policy.h"

#include <pipewire/pipewire.h>
#include <spa/node/io.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/props.h>
#include <spa/utils/result.h>

#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <type_traits>

namespace {

constexpr int Channels = 2;
constexpr std::size_t FrameBytes = Channels * sizeof(std::int16_t);
constexpr int DefaultRate = 48000;
// Missed periods seen this soon after a change of period belong to the change.
constexpr std::int64_t SettleNs = 250'000'000;
// How long a new stream's first sound waits for its links.
constexpr std::int64_t LinkWaitNs = 250'000'000;

// Newer servers count the graph's xruns in the driver's clock, so periods any
// client missed are seen, not only ours; older headers lack the field.
template <typename Clock, typename = void> struct GraphXruns {
    static std::uint64_t of(const Clock &) { return 0; }
};
template <typename Clock> struct GraphXruns<Clock, std::void_t<decltype(Clock::xrun)>> {
    static std::uint64_t of(const Clock &clock) { return clock.xrun; }
};

std::int64_t monotonicNs()
{
    struct timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

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
        if (!dir || !*dir) {
            AudioLog::write("PipeWire passed over: no runtime folder to find its socket in");
            return false; // PipeWire has nowhere to look either
        }
        path = std::string(dir) + "/" + path;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
        return true;
    AudioLog::write("PipeWire passed over: no socket at %s", path.c_str());
    return false;
}

// PipeWire 1.0 folded the real-time client set-up into client.conf and warns
// at every connect that names the old file; older libraries need that name.
const char *clientConfig()
{
    int major = 0, minor = 0, micro = 0;
    std::sscanf(pw_get_library_version(), "%d.%d.%d", &major, &minor, &micro);
    return major >= 1 ? "client.conf" : "client-rt.conf";
}

void initOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

class PipeWireOutput final : public AudioOutput {
public:
    ~PipeWireOutput() override;

    bool connect(std::chrono::milliseconds timeout, PeriodPolicy &policy);

    const char *name() const override { return "pipewire"; }
    int rate() const override { return rate_; }
    bool sleep() override;
    void adapt() override;
    int quantum() const override { return asked_; }

    // Called by PipeWire on its threads.
    static void onCoreDone(void *self, uint32_t id, int seq);
    static void onCoreError(void *self, uint32_t id, int seq, int res, const char *message);
    static void onCoreInfo(void *self, const struct pw_core_info *info);
    static void onGlobal(void *self, uint32_t id, uint32_t permissions, const char *type,
                         uint32_t version, const struct spa_dict *props);
    static void onGlobalRemove(void *self, uint32_t id);
    static void onOtherInfo(void *data, const struct pw_node_info *info);
    static void onLinkInfo(void *data, const struct pw_link_info *info);
    static void onIoChanged(void *self, uint32_t id, void *area, uint32_t size);
    static void onStreamState(void *self, enum pw_stream_state old, enum pw_stream_state state,
                              const char *error);
    static void onProcess(void *self);

protected:
    void activate(std::unique_ptr<Voice> voice) override;

private:
    bool waitUntil(const struct timespec &until, const bool &flag);
    bool waitForLinksLocked();
    bool linksActiveLocked() const;
    void askLocked(int frames);
    void chooseLocked();
    int othersPeriod() const;

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
    std::set<uint32_t> sinks_;
    // Other programs' playback streams, watched so that ours never shortens
    // the period they play at: a change of period while a stream plays costs
    // it a whole period of sound.
    struct OtherStream {
        pw_proxy *proxy = nullptr;
        spa_hook listener{};
        PeriodPolicy::OtherAsk ask;
    };
    std::map<uint32_t, std::unique_ptr<OtherStream>> others_;
    // Our stream's output ports and the links from them. On PipeWire 1.4 the
    // links of a new stream come up one after the other once it runs, and a
    // cycle between them carries one channel only.
    struct OwnLink {
        PipeWireOutput *out = nullptr;
        pw_proxy *proxy = nullptr;
        spa_hook listener{};
        uint32_t port = 0;
        bool active = false;
    };
    std::set<uint32_t> ownPorts_; // our stream's output ports
    std::map<uint32_t, std::unique_ptr<OwnLink>> ownLinks_;
    bool linksAwaited_ = false; // worker only: this stream's first sound came
    int defaultQuantum_ = 1024; // in the graph's frames
    int maxQuantum_ = 0;        // 0: not said
    int longest_ = 2048;        // the policy's longest period, for the loop's thread
    bool streamReady_ = false;
    int rate_ = DefaultRate;

    // node.latency for the period asked for now, in the graph's own frames so
    // that nothing is lost to rounding.
    std::string latencyAsked() const
    {
        return std::to_string(asked_.load()) + "/" + std::to_string(rate_);
    }

    // Written under the loop's lock, by the worker or the loop's thread.
    bool active_ = false;
    std::atomic<int> asked_{0}; // frames per period the stream asks for now
    std::atomic<std::int64_t> settledAt_{0};

    // Worker only.
    PeriodPolicy *policy_ = nullptr;
    std::uint64_t seenMisses_ = 0;

    // Periods the graph ran without our data in time, counted on the real-time
    // thread: a cycle that ended before we had rendered, or cycles we were never
    // woken for. Read by the worker, which steps up.
    std::atomic<spa_io_position *> position_{nullptr};
    std::atomic<std::uint64_t> misses_{0};
    std::atomic<bool> resync_{true};
    std::atomic<bool> otherLeft_{false};   // another program's stream went since we chose
    std::uint64_t expected_ = 0;           // real-time thread only
    std::uint64_t graphXruns_ = 0;         // real-time thread only
    std::uint32_t driver_ = 0;             // real-time thread only: whose clock we read
    std::atomic<std::uint64_t> cycles_{0}; // cycles we were woken for
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
    e.global_remove = &PipeWireOutput::onGlobalRemove;
    return e;
}();

const pw_node_events otherNodeEvents = [] {
    pw_node_events e{};
    e.version = PW_VERSION_NODE_EVENTS;
    e.info = &PipeWireOutput::onOtherInfo;
    return e;
}();

const pw_link_events ownLinkEvents = [] {
    pw_link_events e{};
    e.version = PW_VERSION_LINK_EVENTS;
    e.info = &PipeWireOutput::onLinkInfo;
    return e;
}();

const pw_stream_events streamEvents = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = &PipeWireOutput::onStreamState;
    e.process = &PipeWireOutput::onProcess;
    e.io_changed = &PipeWireOutput::onIoChanged;
    return e;
}();

PipeWireOutput::~PipeWireOutput()
{
    if (loop_) {
        pw_thread_loop_lock(loop_);
        if (stream_)
            pw_stream_destroy(stream_);
        for (auto &entry : others_) {
            spa_hook_remove(&entry.second->listener);
            pw_proxy_destroy(entry.second->proxy);
        }
        others_.clear();
        for (auto &entry : ownLinks_) {
            spa_hook_remove(&entry.second->listener);
            pw_proxy_destroy(entry.second->proxy);
        }
        ownLinks_.clear();
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
    if (const char *quantum =
            info && info->props ? spa_dict_lookup(info->props, "default.clock.quantum") : nullptr)
        out->defaultQuantum_ = std::max(16, std::atoi(quantum));
    if (const char *most = info && info->props
                               ? spa_dict_lookup(info->props, "default.clock.max-quantum")
                               : nullptr)
        out->maxQuantum_ = std::max(0, std::atoi(most));
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
        AudioLog::write("PipeWire: the connection broke");
        out->lost_ = true;
        pw_thread_loop_signal(out->loop_, false);
    }
}

void PipeWireOutput::onGlobal(void *self, uint32_t id, uint32_t, const char *type, uint32_t,
                              const struct spa_dict *props)
{
    auto *out = static_cast<PipeWireOutput *>(self);
    if (!props)
        return;
    if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
        const char *node = spa_dict_lookup(props, PW_KEY_NODE_ID);
        const char *direction = spa_dict_lookup(props, PW_KEY_PORT_DIRECTION);
        if (out->stream_ && node && direction && std::strcmp(direction, "out") == 0 &&
            std::strtoul(node, nullptr, 10) == pw_stream_get_node_id(out->stream_))
            out->ownPorts_.insert(id);
        return;
    }
    if (std::strcmp(type, PW_TYPE_INTERFACE_Link) == 0) {
        const char *node = spa_dict_lookup(props, PW_KEY_LINK_OUTPUT_NODE);
        const char *port = spa_dict_lookup(props, PW_KEY_LINK_OUTPUT_PORT);
        if (!out->stream_ || !node || !port ||
            std::strtoul(node, nullptr, 10) != pw_stream_get_node_id(out->stream_))
            return;
        auto link = std::make_unique<OwnLink>();
        link->out = out;
        link->port = uint32_t(std::strtoul(port, nullptr, 10));
        link->proxy = static_cast<pw_proxy *>(
            pw_registry_bind(out->registry_, id, PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, 0));
        if (!link->proxy)
            return;
        pw_link_add_listener(reinterpret_cast<pw_link *>(link->proxy), &link->listener,
                             &ownLinkEvents, link.get());
        out->ownLinks_[id] = std::move(link);
        return;
    }
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0)
        return;
    const char *cls = spa_dict_lookup(props, PW_KEY_MEDIA_CLASS);
    if (cls && std::strcmp(cls, "Audio/Sink") == 0)
        out->sinks_.insert(id);
    if (cls && std::strcmp(cls, "Stream/Output/Audio") == 0 && !out->others_.count(id)) {
        auto other = std::make_unique<OtherStream>();
        other->proxy = static_cast<pw_proxy *>(
            pw_registry_bind(out->registry_, id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
        if (!other->proxy)
            return;
        pw_node_add_listener(reinterpret_cast<pw_node *>(other->proxy), &other->listener,
                             &otherNodeEvents, other.get());
        out->others_.emplace(id, std::move(other));
        // A program opening a stream while ours plays at shorter periods: step
        // aside now, before the session manager links it, so that it never
        // plays at our period nor loses one when ours ends. What it asks for
        // comes a round trip later, so take the longest period there is.
        if (out->active_ && out->asked_ < out->longest_) {
            AudioLog::write("PipeWire: another program opened a stream: asking for %d-frame "
                            "periods while ours plays",
                            out->longest_);
            out->askLocked(out->longest_);
        }
    }
}

void PipeWireOutput::onOtherInfo(void *data, const struct pw_node_info *info)
{
    auto *other = static_cast<OtherStream *>(data);
    if ((info->change_mask & PW_NODE_CHANGE_MASK_PROPS) && info->props) {
        const char *latency = spa_dict_lookup(info->props, PW_KEY_NODE_LATENCY);
        unsigned frames = 0, rate = 0;
        if (!latency || std::sscanf(latency, "%u/%u", &frames, &rate) != 2)
            frames = rate = 0;
        other->ask = {true, frames, rate};
    }
}

void PipeWireOutput::onLinkInfo(void *data, const struct pw_link_info *info)
{
    auto *link = static_cast<OwnLink *>(data);
    if (info->change_mask & PW_LINK_CHANGE_MASK_STATE) {
        link->active = info->state == PW_LINK_STATE_ACTIVE;
        pw_thread_loop_signal(link->out->loop_, false);
    }
}

void PipeWireOutput::onGlobalRemove(void *self, uint32_t id)
{
    auto *out = static_cast<PipeWireOutput *>(self);
    out->ownPorts_.erase(id);
    if (auto link = out->ownLinks_.find(id); link != out->ownLinks_.end()) {
        spa_hook_remove(&link->second->listener);
        pw_proxy_destroy(link->second->proxy);
        out->ownLinks_.erase(link);
    }
    // With its last sink gone this server plays nowhere: the next press chooses
    // the output again.
    if (auto other = out->others_.find(id); other != out->others_.end()) {
        spa_hook_remove(&other->second->listener);
        pw_proxy_destroy(other->second->proxy);
        out->others_.erase(other);
        out->otherLeft_ = true;
    }
    if (out->sinks_.erase(id) && out->sinks_.empty() && out->streamReady_) {
        AudioLog::write("PipeWire: the last audio sink went away");
        out->lost_ = true;
    }
}

void PipeWireOutput::onIoChanged(void *self, uint32_t id, void *area, uint32_t size)
{
    auto *out = static_cast<PipeWireOutput *>(self);
    if (id == SPA_IO_Position) {
        // Another driver (the stream moved to another sink) counts from its
        // own position: start counting again rather than read that as misses.
        out->resync_.store(true, std::memory_order_release);
        out->position_.store(area && size >= sizeof(spa_io_position)
                                 ? static_cast<spa_io_position *>(area)
                                 : nullptr,
                             std::memory_order_release);
    }
}

void PipeWireOutput::onStreamState(void *self, enum pw_stream_state, enum pw_stream_state state,
                                   const char *error)
{
    auto *out = static_cast<PipeWireOutput *>(self);
    if (state == PW_STREAM_STATE_PAUSED || state == PW_STREAM_STATE_STREAMING)
        out->streamReady_ = true;
    if (state == PW_STREAM_STATE_ERROR)
        AudioLog::write("PipeWire: the stream failed: %s", error ? error : "no reason given");
    if (state == PW_STREAM_STATE_ERROR ||
        (state == PW_STREAM_STATE_UNCONNECTED && out->streamReady_))
        out->lost_ = true;
    pw_thread_loop_signal(out->loop_, false);
}

void PipeWireOutput::onProcess(void *self)
{
    auto *out = static_cast<PipeWireOutput *>(self);
    out->cycles_.fetch_add(1, std::memory_order_release);
    const spa_io_position *pos = out->position_.load(std::memory_order_acquire);
    std::uint64_t missed = 0;
    std::int64_t deadline = 0;
    if (pos) {
        const std::uint64_t xruns = GraphXruns<spa_io_clock>::of(pos->clock);
        if (out->resync_.exchange(false, std::memory_order_acq_rel) ||
            pos->clock.id != out->driver_) {
            out->expected_ = pos->clock.position;
            out->graphXruns_ = xruns;
            out->driver_ = pos->clock.id;
        }
        if (pos->clock.position != out->expected_)
            ++missed; // woken once for several cycles
        if (xruns != out->graphXruns_)
            ++missed; // the graph ran late somewhere
        out->graphXruns_ = xruns;
        out->expected_ = pos->clock.position + pos->clock.duration;
        deadline = std::int64_t(pos->clock.next_nsec);
    }
    if (pw_buffer *b = pw_stream_dequeue_buffer(out->stream_)) {
        spa_data &d = b->buffer->datas[0];
        if (d.data) {
            std::size_t frames = d.maxsize / FrameBytes;
            if (b->requested)
                frames = std::min<std::size_t>(frames, b->requested);
            out->slot_.render(static_cast<std::int16_t *>(d.data), frames);
            d.chunk->offset = 0;
            d.chunk->stride = FrameBytes;
            d.chunk->size = std::uint32_t(frames * FrameBytes);
        }
        pw_stream_queue_buffer(out->stream_, b);
    }
    if (deadline > 0 && monotonicNs() > deadline)
        ++missed; // the next cycle began before our data was ready
    // A graph that another program holds at shorter periods than ours misses
    // them whatever we ask for: not ours to step up for.
    if (missed && pos &&
        pos->clock.duration >= std::uint64_t(out->asked_.load(std::memory_order_relaxed)))
        out->misses_.fetch_add(missed, std::memory_order_relaxed);
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

bool PipeWireOutput::connect(std::chrono::milliseconds timeout, PeriodPolicy &policy)
{
    if (!socketExists())
        return false;
    initOnce();
    policy_ = &policy;
    loop_ = pw_thread_loop_new("zembra-audio", nullptr);
    if (!loop_)
        return false;
    // The real-time client set-up that players use: without it the stream is
    // served by an ordinary thread, which misses short cycles under load.
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_),
                              pw_properties_new(PW_KEY_CONFIG_NAME, clientConfig(), PW_KEY_APP_NAME,
                                                "Zembra", PW_KEY_APP_ID, "zembra",
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
        // One round trip: the daemon answers and has told us of every node by
        // then; a second, and it has told us what the other streams ask for.
        syncSeq_ = pw_core_sync(core_, PW_ID_CORE, 0);
        ok = waitUntil(until, synced_);
        if (ok) {
            synced_ = false;
            syncSeq_ = pw_core_sync(core_, PW_ID_CORE, 0);
            ok = waitUntil(until, synced_);
        }
        // A PipeWire that carries no audio (video only, next to a PulseAudio
        // server) is not where sound goes.
        if (!ok)
            AudioLog::write("PipeWire passed over: no answer within %lld ms",
                            static_cast<long long>(timeout.count()));
        else if (sinks_.empty())
            AudioLog::write("PipeWire passed over: it has no audio sink");
        ok = ok && !sinks_.empty();
    } else {
        AudioLog::write("PipeWire passed over: cannot connect (%s)", std::strerror(errno));
    }
    if (ok) {
        policy.setGraph(rate_, maxQuantum_);
        longest_ = policy.longestFrames();
        // Programs that already have a stream keep their period from the start.
        asked_ = std::max(policy.learntFrames(), othersPeriod());
        const std::string latency = latencyAsked();
        stream_ = pw_stream_new(
            core_, "Efekt",
            // No role, and the application named on the stream itself:
            // the session manager keeps a stream's volume by its role
            // where it has one, shared by every stream of that role,
            // else by the application.
            pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback",
                              PW_KEY_APP_NAME, "Zembra", PW_KEY_APP_ID, "zembra", PW_KEY_MEDIA_NAME,
                              "Efekt", PW_KEY_NODE_LATENCY, latency.c_str(), nullptr));
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
        ok = pw_stream_connect(
                 stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                 pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_INACTIVE |
                                 PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS),
                 params, 1) == 0 &&
             waitUntil(until, streamReady_);
    }
    pw_thread_loop_unlock(loop_);
    if (ok)
        AudioLog::write("PipeWire: stream at %d Hz, periods of at least %d frames", rate_,
                        policy.learntFrames());
    else if (stream_)
        AudioLog::write("PipeWire passed over: the stream did not start");
    settledAt_ = monotonicNs();
    return ok;
}

// The longest period the graph runs at for another program's playback stream,
// in the graph's frames; 0 when there is none. Streams that do not play now
// count too: one that starts while ours runs shorter would play at our period,
// and lose one when ours ends. Under the loop's lock.
int PipeWireOutput::othersPeriod() const
{
    const uint32_t own = stream_ ? pw_stream_get_node_id(stream_) : SPA_ID_INVALID;
    int longest = 0;
    for (const auto &[id, other] : others_) {
        if (id == own)
            continue;
        longest = std::max(longest, policy_->otherPeriod(other->ask, defaultQuantum_));
    }
    return longest;
}

void PipeWireOutput::activate(std::unique_ptr<Voice> voice)
{
    // A sound from silence chooses its period, also on a stream kept awake
    // through silence (while a call records us): one that stepped aside for
    // another program comes back once that program has gone.
    const bool fromSilence = !active_ || slot_.drained();
    // A new stream's first sound waits in silence until every channel has
    // somewhere to go; nothing could be heard before its links ran anyway.
    const bool first = !active_ && !linksAwaited_;
    if (!first)
        slot_.post(std::move(voice));
    if (!fromSilence)
        return;
    const std::int64_t from = monotonicNs();
    std::optional<std::uint64_t> linkedAt; // the cycles we had been woken for then
    // One hold of the lock: a stream that opens meanwhile is seen either here
    // or, once we are active, as it comes.
    pw_thread_loop_lock(loop_);
    chooseLocked();
    if (!active_) {
        resync_ = true;
        pw_stream_set_active(stream_, true);
        active_ = true;
        if (first && waitForLinksLocked())
            linkedAt = cycles_.load(std::memory_order_acquire);
        settledAt_ = monotonicNs();
    }
    pw_thread_loop_unlock(loop_);
    if (!first)
        return;
    // A link is said to run before the cycle that is under way carries it: the
    // sound starts in a cycle begun after the last link came up, the second we
    // are woken for from then.
    while (linkedAt && cycles_.load(std::memory_order_acquire) < *linkedAt + 2 && !lost_ &&
           monotonicNs() - from < LinkWaitNs)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    slot_.post(std::move(voice));
}

// Whether every output port of ours has a link that runs. Under the loop's lock.
bool PipeWireOutput::linksActiveLocked() const
{
    return !ownPorts_.empty() &&
           std::all_of(ownPorts_.begin(), ownPorts_.end(), [&](uint32_t port) {
               return std::any_of(ownLinks_.begin(), ownLinks_.end(), [&](const auto &link) {
                   return link.second->port == port && link.second->active;
               });
           });
}

// Under the loop's lock. Bounded: a session manager that links nothing, or a
// port left unlinked on purpose, costs this stream's first sound that long once.
// Whether they all ran.
bool PipeWireOutput::waitForLinksLocked()
{
    struct timespec until {};
    pw_thread_loop_get_time(loop_, &until, LinkWaitNs);
    const std::int64_t from = monotonicNs();
    while (!linksActiveLocked() && !lost_) {
        if (pw_thread_loop_timed_wait_full(loop_, &until) != 0)
            break;
    }
    linksAwaited_ = true;
    AudioLog::write(linksActiveLocked()
                        ? "PipeWire: the stream's links ran after %lld ms"
                        : "PipeWire: the stream's links did not all run within %lld ms",
                    static_cast<long long>((monotonicNs() - from) / 1000000));
    return linksActiveLocked();
}

// The period for a sound from silence. Under the loop's lock.
void PipeWireOutput::chooseLocked()
{
    otherLeft_ = false;
    const int learnt = policy_->learntFrames();
    const int others = othersPeriod();
    const int wanted = policy_->onWake(monotonicNs(), others);
    if (policy_->learntFrames() < learnt)
        AudioLog::write("PipeWire: %lld s without a missed period: trying %d-frame periods",
                        static_cast<long long>(policy_->stepDownWait() / 1000000000), wanted);
    if (wanted != asked_) {
        askLocked(wanted);
        if (others)
            AudioLog::write("PipeWire: other programs have streams at up to %d-frame periods: "
                            "asking for %d",
                            others, wanted);
        else
            AudioLog::write("PipeWire: no other program has a stream: asking for %d-frame periods",
                            wanted);
    }
}

// Under the loop's lock. Misses just after belong to the change itself.
void PipeWireOutput::askLocked(int frames)
{
    settledAt_ = monotonicNs();
    asked_ = frames;
    const std::string latency = latencyAsked();
    const spa_dict_item items[] = {SPA_DICT_ITEM_INIT(PW_KEY_NODE_LATENCY, latency.c_str())};
    const spa_dict dict = SPA_DICT_INIT(items, 1);
    pw_stream_update_properties(stream_, &dict);
}

void PipeWireOutput::adapt()
{
    // Kept awake through silence (a call records us), a period that stepped
    // aside for a program that has gone comes back once ours is quiet, not a
    // long cycle into the next press.
    if (otherLeft_.load() && active_ && slot_.drained()) {
        pw_thread_loop_lock(loop_);
        chooseLocked();
        pw_thread_loop_unlock(loop_);
    }
    const std::uint64_t misses = misses_.load(std::memory_order_relaxed);
    if (misses == seenMisses_)
        return;
    const std::uint64_t now = misses - seenMisses_;
    seenMisses_ = misses;
    const std::int64_t at = monotonicNs();
    if (at - settledAt_ < SettleNs)
        return;
    pw_thread_loop_lock(loop_);
    const int from = asked_;
    const int to = policy_->onMisses(at, from);
    if (to != from)
        askLocked(to);
    pw_thread_loop_unlock(loop_);
    if (to == from)
        AudioLog::write("PipeWire: %llu periods missed at the longest period asked for",
                        static_cast<unsigned long long>(now));
    else
        AudioLog::write("PipeWire: %llu periods missed at %d frames (%d Hz): asking for %d",
                        static_cast<unsigned long long>(now), from, rate_, to);
}

bool PipeWireOutput::sleep()
{
    slot_.collect();
    if (active_) {
        pw_thread_loop_lock(loop_);
        pw_stream_set_active(stream_, false);
        active_ = false;
        pw_thread_loop_unlock(loop_);
    }
    return true;
}

} // namespace

std::unique_ptr<AudioOutput> AudioOutputs::openPipeWire(std::chrono::milliseconds timeout,
                                                        PeriodPolicy &policy)
{
    auto out = std::make_unique<PipeWireOutput>();
    if (!out->connect(timeout, policy))
        return nullptr;
    return out;
}

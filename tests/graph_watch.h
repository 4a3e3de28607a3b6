#pragma once

// A witness of the PipeWire graph's own cycles, beside the program under test:
// when the machine or the server stalls, the driver's clock jumps over the
// cycles it could not run, and every client loses their samples alike. A test
// that finds a sound cut can then tell a stall of the machine from a fault of
// the program.

#include "sound_server.h"

#include <pipewire/impl.h>
#include <pipewire/pipewire.h>
#include <spa/node/io.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/profiler.h>
#include <spa/pod/parser.h>

// After the above: on PipeWire 1.4 it does not include what it uses.
#include <pipewire/extensions/profiler.h>

#include <QtGlobal>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace SoundServerTest {

// Newer servers count in the driver's clock the cycles some client of the
// graph finished late; older headers lack the field, and there the server's
// profiler tells of them.
template <typename Clock, typename = void> struct LateCycles {
    static constexpr bool counted = false;
    static std::uint64_t of(const Clock &) { return 0; }
};
template <typename Clock> struct LateCycles<Clock, std::void_t<decltype(Clock::xrun)>> {
    static constexpr bool counted = true;
    static std::uint64_t of(const Clock &clock) { return clock.xrun; }
};

class GraphWatch {
public:
    // Listens on the monitor of `target`, a sink, or on `target` itself, a
    // source, asking no period, so that it does not set the graph's quantum.
    // Not passive: on PipeWire 1.4 a passive one saw no cycle while a
    // recorder ran the sink, and that recorder keeps the graph awake anyway. With a `rate`, it also
    // keeps what it hears, up to a minute.
    explicit GraphWatch(const char *target, bool monitor = true, int rate = 0)
        : kept_(rate > 0 ? std::size_t(rate) * 60 * 2 : 0)
    {
        pw_init(nullptr, nullptr);
        loop_ = pw_thread_loop_new("graph-watch", nullptr);
        if (!loop_ || pw_thread_loop_start(loop_) < 0)
            return;
        pw_thread_loop_lock(loop_);
        // Real-time like the players: a watch that ran late itself would
        // report stalls that were its own.
        context_ =
            pw_context_new(pw_thread_loop_get_loop(loop_),
                           pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
        // What the server's profiler says of each cycle, where the clock does
        // not count late ones. Not on newer servers: their streams run a cycle
        // behind the graph, and the profiler finds them unfinished every time.
        constexpr bool profiled = !LateCycles<spa_io_clock>::counted;
        if (context_ && profiled)
            pw_context_load_module(context_, "libpipewire-module-profiler", nullptr, nullptr);
        core_ = context_ ? pw_context_connect(context_, nullptr, 0) : nullptr;
        if (core_ && profiled) {
            registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
            static const pw_registry_events registryEvents = [] {
                pw_registry_events e{};
                e.version = PW_VERSION_REGISTRY_EVENTS;
                e.global = &GraphWatch::onGlobal;
                return e;
            }();
            pw_registry_add_listener(registry_, &registryListener_, &registryEvents, this);
        }
        if (core_)
            stream_ = pw_stream_new(
                core_, "graph-watch",
                pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
                                  PW_KEY_NODE_NAME, "graph-watch", PW_KEY_TARGET_OBJECT, target,
                                  PW_KEY_STREAM_CAPTURE_SINK, monitor ? "true" : "false",
                                  PW_KEY_NODE_DONT_RECONNECT, "true", nullptr));
        static const pw_stream_events events = [] {
            pw_stream_events e{};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.io_changed = &GraphWatch::onIo;
            e.process = &GraphWatch::onProcess;
            return e;
        }();
        if (stream_) {
            pw_stream_add_listener(stream_, &listener_, &events, this);
            std::uint8_t buffer[512];
            spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
            spa_audio_info_raw info{};
            info.format = SPA_AUDIO_FORMAT_S16;
            info.channels = 2;
            info.rate = std::uint32_t(std::max(rate, 0));
            info.position[0] = SPA_AUDIO_CHANNEL_FL;
            info.position[1] = SPA_AUDIO_CHANNEL_FR;
            const spa_pod *params[] = {spa_format_audio_raw_build(&b, SPA_PARAM_EnumFormat, &info)};
            connected_ = pw_stream_connect(stream_, PW_DIRECTION_INPUT, PW_ID_ANY,
                                           pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT |
                                                           PW_STREAM_FLAG_MAP_BUFFERS |
                                                           PW_STREAM_FLAG_RT_PROCESS),
                                           params, 1) >= 0;
        }
        pw_thread_loop_unlock(loop_);
    }
    ~GraphWatch()
    {
        if (!loop_)
            return;
        pw_thread_loop_lock(loop_);
        if (stream_)
            pw_stream_destroy(stream_);
        if (profiler_)
            pw_proxy_destroy(profiler_);
        if (registry_)
            pw_proxy_destroy(reinterpret_cast<pw_proxy *>(registry_));
        if (core_)
            pw_core_disconnect(core_);
        pw_thread_loop_unlock(loop_);
        pw_thread_loop_stop(loop_);
        if (context_)
            pw_context_destroy(context_);
        pw_thread_loop_destroy(loop_);
    }
    GraphWatch(const GraphWatch &) = delete;
    GraphWatch &operator=(const GraphWatch &) = delete;

    bool connected() const { return connected_; }
    // Until the watch has seen the graph run: only from then on can it see
    // the graph skip. False if it did not within `timeout`.
    bool waitUntilRunning(std::chrono::milliseconds timeout) const
    {
        const auto until = std::chrono::steady_clock::now() + timeout;
        while (connected_ && cycles_ < 2 && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return cycles_ >= 2;
    }
    // Cycles seen: a watch that saw none cannot say the graph ran whole.
    std::uint64_t cycles() const { return cycles_; }
    // Frames of the graph's clock that no cycle ran for.
    std::uint64_t skippedFrames() const { return skipped_; }
    // Cycles in which some client of the graph finished late.
    std::uint64_t lateCycles() const { return lateCycles_; }
    // What it heard while it ran: a cycle it missed itself, late on a busy
    // machine, shows in skippedFrames(), never as frames silently gone.
    std::optional<Samples> recording() const
    {
        return sidesAgreeing(kept_.data(), heard_.load(std::memory_order_acquire));
    }
    // The same, left and right apart, for what carries two sounds.
    std::pair<Samples, Samples> sides() const
    {
        const std::size_t heard = heard_.load(std::memory_order_acquire);
        Samples left(heard), right(heard);
        for (std::size_t i = 0; i < heard; ++i) {
            left[i] = kept_[2 * i];
            right[i] = kept_[2 * i + 1];
        }
        return {left, right};
    }

private:
    static void onGlobal(void *user, std::uint32_t id, std::uint32_t, const char *type,
                         std::uint32_t, const spa_dict *)
    {
        auto *self = static_cast<GraphWatch *>(user);
        if (self->profiler_ || std::strcmp(type, PW_TYPE_INTERFACE_Profiler) != 0)
            return;
        static const pw_profiler_events events = [] {
            pw_profiler_events e{};
            e.version = PW_VERSION_PROFILER_EVENTS;
            e.profile = &GraphWatch::onProfile;
            return e;
        }();
        self->profiler_ = static_cast<pw_proxy *>(pw_registry_bind(
            self->registry_, id, PW_TYPE_INTERFACE_Profiler, PW_VERSION_PROFILER, 0));
        if (self->profiler_)
            pw_profiler_add_listener(reinterpret_cast<pw_profiler *>(self->profiler_),
                                     &self->profilerListener_, &events, self);
    }
    // Each cycle as the server's profiler sampled it: a client of the graph
    // that had not finished by then ran late.
    static void onProfile(void *user, const spa_pod *pod)
    {
        constexpr std::int32_t Finished = 3; // the server's state of a client done with a cycle
        auto *self = static_cast<GraphWatch *>(user);
        if (!spa_pod_is_struct(pod))
            return;
        const void *body = SPA_POD_BODY_CONST(pod);
        const std::uint32_t size = SPA_POD_BODY_SIZE(pod);
        for (auto *o = static_cast<const spa_pod *>(body); spa_pod_is_inside(body, size, o);
             o = static_cast<const spa_pod *>(spa_pod_next(o))) {
            if (!spa_pod_is_object_type(o, SPA_TYPE_OBJECT_Profiler))
                continue;
            bool late = false;
            const spa_pod_prop *prop;
            SPA_POD_OBJECT_FOREACH(reinterpret_cast<const spa_pod_object *>(o), prop)
            {
                std::int32_t id = 0, status = Finished;
                const char *name = nullptr;
                std::int64_t prev = 0, signal = 0, awake = 0, finish = 0;
                if (prop->key == SPA_PROFILER_followerBlock &&
                    spa_pod_parse_struct(&prop->value, SPA_POD_Int(&id), SPA_POD_String(&name),
                                         SPA_POD_Long(&prev), SPA_POD_Long(&signal),
                                         SPA_POD_Long(&awake), SPA_POD_Long(&finish),
                                         SPA_POD_Int(&status)) >= 0 &&
                    status != Finished)
                    late = true;
            }
            if (late)
                ++self->lateCycles_;
        }
    }
    static void onIo(void *user, std::uint32_t id, void *area, std::uint32_t)
    {
        if (id == SPA_IO_Position)
            static_cast<GraphWatch *>(user)->position_ = static_cast<spa_io_position *>(area);
    }
    static void onProcess(void *user)
    {
        auto *self = static_cast<GraphWatch *>(user);
        if (const spa_io_position *pos = self->position_) {
            // Another driver (graphs joined or parted) counts from its own
            // position: counted afresh, not taken for a jump.
            const std::uint64_t late = LateCycles<spa_io_clock>::of(pos->clock);
            if (pos->clock.id != self->driver_) {
                self->driver_ = pos->clock.id;
                self->expected_ = 0;
            }
            if (self->expected_ && pos->clock.position > self->expected_)
                self->skipped_ += pos->clock.position - self->expected_;
            if (self->expected_ && late > self->late_)
                self->lateCycles_ += late - self->late_;
            self->late_ = late;
            self->expected_ = pos->clock.position + pos->clock.duration;
            ++self->cycles_;
        }
        // Every buffer the stream holds: one left queued would come a cycle
        // late, behind the next.
        while (pw_buffer *b = pw_stream_dequeue_buffer(self->stream_)) {
            const spa_data &d = b->buffer->datas[0];
            const std::size_t heard = self->heard_.load(std::memory_order_relaxed);
            if (d.data && d.chunk && heard * 2 < self->kept_.size()) {
                const std::size_t offset = std::min(d.chunk->offset, d.maxsize);
                const std::size_t bytes = std::min<std::size_t>(d.chunk->size, d.maxsize - offset);
                const std::size_t frames = std::min(bytes / 4, self->kept_.size() / 2 - heard);
                std::memcpy(self->kept_.data() + heard * 2,
                            static_cast<const std::uint8_t *>(d.data) + offset, frames * 4);
                self->heard_.store(heard + frames, std::memory_order_release);
            }
            pw_stream_queue_buffer(self->stream_, b);
        }
    }

    pw_thread_loop *loop_ = nullptr;
    pw_context *context_ = nullptr;
    pw_core *core_ = nullptr;
    pw_stream *stream_ = nullptr;
    pw_registry *registry_ = nullptr;
    pw_proxy *profiler_ = nullptr;
    spa_hook listener_{};
    spa_hook registryListener_{};
    spa_hook profilerListener_{};
    bool connected_ = false;
    spa_io_position *position_ = nullptr;
    std::uint64_t expected_ = 0;
    std::uint32_t driver_ = SPA_ID_INVALID;
    std::uint64_t late_ = 0;
    std::atomic<std::uint64_t> lateCycles_{0};
    std::atomic<std::uint64_t> cycles_{0};
    std::atomic<std::uint64_t> skipped_{0};
    std::vector<std::int16_t> kept_; // stereo frames, sized before the stream starts
    std::atomic<std::size_t> heard_{0};
};

// The tries of one recorded check. On PipeWire each try runs beside a watch
// of the graph, and one in which the graph skipped cycles, or some client
// finished one late, is made again, five tries at most and a second further
// apart each time (a virtual machine's host may stall it in spells of several
// seconds); the last is judged as it stands, so a program that made the graph
// skip every time would still fail.
// Elsewhere the one try is judged.
class StallTries {
public:
    // With a `rate`, the watch of a sink keeps what it hears: see recorded().
    explicit StallTries(bool watched, int rate = 0, const char *target = "zembra",
                        bool monitor = true)
        : watched_(watched)
        , rate_(rate)
        , target_(target)
        , monitor_(monitor)
    {
    }
    // Before the try plays, once something runs the target: false where the
    // watch saw no cycle of it, and so could not see one skipped.
    bool begin()
    {
        ++attempt_;
        watch_.reset();
        if (!watched_)
            return true;
        watch_ = std::make_unique<GraphWatch>(target_, monitor_, rate_);
        return watch_->waitUntilRunning(std::chrono::seconds(5));
    }
    // After the try is recorded, before it is judged.
    bool madeAgain()
    {
        const std::uint64_t skipped = watch_ ? watch_->skippedFrames() : 0;
        const std::uint64_t late = watch_ ? watch_->lateCycles() : 0;
        if ((skipped == 0 && late == 0) || attempt_ >= MaxTries)
            return false;
        qInfo("the graph skipped %llu frames and ran late in %llu cycles in try %d; made again",
              static_cast<unsigned long long>(skipped), static_cast<unsigned long long>(late),
              attempt_);
        std::this_thread::sleep_for(std::chrono::seconds(attempt_));
        return true;
    }
    // A try that did not test what it meant to, as the test itself saw: made
    // again while tries are left.
    bool voided(const char *why)
    {
        if (attempt_ >= MaxTries)
            return false;
        qInfo("%s in try %d; made again", why, attempt_);
        return true;
    }
    int attempt() const { return attempt_; }
    // What the try recorded. On PipeWire, what the watch heard: a recorder
    // that runs late on a busy machine loses cycles with no trace, where the
    // watch sees each one it missed. Elsewhere, `recorder`'s.
    std::optional<Samples> recorded(std::optional<Samples> recorder) const
    {
        return watch_ && rate_ > 0 ? watch_->recording() : recorder;
    }
    std::pair<Samples, Samples> recordedSides(std::pair<Samples, Samples> recorder) const
    {
        return watch_ && rate_ > 0 ? watch_->sides() : recorder;
    }

    static constexpr int MaxTries = 5;

private:
    bool watched_;
    int rate_;
    const char *target_;
    bool monitor_;
    int attempt_ = 0;
    std::unique_ptr<GraphWatch> watch_;
};

} // namespace SoundServerTest

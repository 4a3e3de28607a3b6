#include "monitor_recorder.h"

#include "press_common.h"

#include <pipewire/pipewire.h>
#include <pulse/pulseaudio.h>
#include <spa/node/io.h>
#include <spa/param/audio/format-utils.h>

#include <algorithm>
#include <cstdlib>

namespace Bench {

MonitorRecorder::MonitorRecorder(int rate)
    : rate_(rate)
{
    chunks_.reserve(1 << 20);
}

void MonitorRecorder::append(const std::int16_t *data, std::size_t frames,
                             std::int64_t firstFrameNs, std::int64_t arrivedNs, int quantum)
{
    std::lock_guard lock(mutex_);
    const std::size_t blockSamples = std::size_t(rate_) * Channels;
    std::int64_t loudAt = 0;
    for (std::size_t done = 0; done < frames;) {
        if (blocks_.empty() || blocks_.back().size() == blockSamples) {
            blocks_.emplace_back();
            blocks_.back().reserve(blockSamples);
        }
        std::vector<std::int16_t> &block = blocks_.back();
        const std::size_t n = std::min(frames - done, (blockSamples - block.size()) / Channels);
        if (data) {
            const std::int16_t *from = data + done * Channels;
            block.insert(block.end(), from, from + n * Channels);
            for (std::size_t i = 0; i < n * Channels; ++i)
                if (std::abs(int(from[i])) > Threshold)
                    loudAt = firstFrameNs + std::int64_t(double(done + i / Channels) * 1e9 / rate_);
        } else {
            block.insert(block.end(), n * Channels, 0);
        }
        done += n;
    }
    chunks_.push_back({firstFrameNs, arrivedNs, frames_, frames, quantum, data == nullptr});
    frames_ += frames;
    if (loudAt)
        lastLoud_ = loudAt;
    lastChunk_ = arrivedNs;
}

Capture MonitorRecorder::capture()
{
    std::lock_guard lock(mutex_);
    Capture c;
    c.rate = rate_;
    c.channels = Channels;
    c.samples.reserve(frames_ * Channels);
    for (const auto &block : blocks_)
        c.samples.insert(c.samples.end(), block.begin(), block.end());
    c.chunks = chunks_;
    c.startNs = startNs_ ? startNs_ : chunks_.empty() ? 0 : chunks_.front().firstFrameNs;
    return c;
}

namespace {

class PulseRecorder final : public MonitorRecorder {
public:
    PulseRecorder(std::string source, int rate, int fragmentFrames, bool ahead)
        : MonitorRecorder(rate)
        , source_(std::move(source))
        , fragmentFrames_(fragmentFrames)
        , ahead_(ahead)
    {
    }
    ~PulseRecorder() override { stop(); }

    bool start(std::string *error) override
    {
        loop_ = pa_threaded_mainloop_new();
        if (!loop_) {
            *error = "pa_threaded_mainloop_new failed";
            return false;
        }
        pa_threaded_mainloop_lock(loop_);
        const bool ok = connect(error);
        pa_threaded_mainloop_unlock(loop_);
        return ok;
    }

    void stop() override
    {
        if (!loop_)
            return;
        pa_threaded_mainloop_lock(loop_);
        if (stream_) {
            pa_stream_disconnect(stream_);
            pa_stream_unref(stream_);
            stream_ = nullptr;
        }
        if (context_) {
            pa_context_disconnect(context_);
            pa_context_unref(context_);
            context_ = nullptr;
        }
        pa_threaded_mainloop_unlock(loop_);
        pa_threaded_mainloop_stop(loop_);
        pa_threaded_mainloop_free(loop_);
        loop_ = nullptr;
    }

    std::string describe() override
    {
        char line[200];
        std::snprintf(line, sizeof line,
                      "Pulse API recorder on %s: asked %d-frame fragments, granted %u bytes "
                      "(%.2f ms); chunk time = %s",
                      source_.c_str(), fragmentFrames_, grantedFragment_,
                      grantedFragment_ / 4.0 * 1000 / rate_,
                      ahead_ ? "arrival plus the frames before it"
                             : "arrival minus the frames after it");
        return line;
    }

private:
    bool connect(std::string *error)
    {
        // The name the server's rules know this recorder by.
        context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "zembra-bench-recorder");
        pa_context_set_state_callback(context_, &PulseRecorder::signal, loop_);
        if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
            pa_threaded_mainloop_start(loop_) < 0)
            return fail(error, "cannot connect");
        for (pa_context_state_t s; (s = pa_context_get_state(context_)) != PA_CONTEXT_READY;) {
            if (!PA_CONTEXT_IS_GOOD(s))
                return fail(error, "cannot connect");
            pa_threaded_mainloop_wait(loop_);
        }
        const pa_sample_spec format{PA_SAMPLE_S16LE, std::uint32_t(rate_), 2};
        stream_ = pa_stream_new(context_, "monitor", &format, nullptr);
        pa_stream_set_state_callback(stream_, &PulseRecorder::signal, loop_);
        pa_stream_set_read_callback(stream_, &PulseRecorder::onRead, this);
        pa_buffer_attr attr{};
        attr.maxlength = attr.tlength = attr.prebuf = attr.minreq = std::uint32_t(-1);
        attr.fragsize = std::uint32_t(fragmentFrames_ * 4);
        if (pa_stream_connect_record(
                stream_, source_.c_str(), &attr,
                pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE)) < 0)
            return fail(error, "cannot record");
        for (pa_stream_state_t s; (s = pa_stream_get_state(stream_)) != PA_STREAM_READY;) {
            if (!PA_STREAM_IS_GOOD(s))
                return fail(error, "cannot record from " + source_);
            pa_threaded_mainloop_wait(loop_);
        }
        if (const pa_buffer_attr *got = pa_stream_get_buffer_attr(stream_))
            grantedFragment_ = got->fragsize;
        return true;
    }

    bool fail(std::string *error, const std::string &what)
    {
        *error = what + ": " + pa_strerror(pa_context_errno(context_));
        return false;
    }

    static void signal(pa_context *, void *loop)
    {
        pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop *>(loop), 0);
    }
    static void signal(pa_stream *, void *loop)
    {
        pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop *>(loop), 0);
    }

    // All that is readable now arrived now: its newest frame was captured just
    // before, and each earlier frame one frame period before the next.
    static void onRead(pa_stream *stream, size_t, void *user)
    {
        const std::int64_t now = nowNs();
        auto *self = static_cast<PulseRecorder *>(user);
        const std::size_t total = pa_stream_readable_size(stream) / 4;
        std::size_t offset = 0;
        const void *data = nullptr;
        size_t bytes = 0;
        while (offset < total && pa_stream_peek(stream, &data, &bytes) == 0 && bytes > 0) {
            const std::size_t frames = bytes / 4;
            const double before = self->ahead_ ? -double(offset) * 1e9 / self->rate_
                                               : double(total - offset) * 1e9 / self->rate_;
            self->append(static_cast<const std::int16_t *>(data), frames,
                         now - std::int64_t(before), now, 0);
            offset += frames;
            pa_stream_drop(stream);
        }
    }

    std::string source_;
    int fragmentFrames_;
    bool ahead_;
    std::uint32_t grantedFragment_ = 0;
    pa_threaded_mainloop *loop_ = nullptr;
    pa_context *context_ = nullptr;
    pa_stream *stream_ = nullptr;
};

class PipeWireRecorder final : public MonitorRecorder {
public:
    PipeWireRecorder(std::string sink, int rate, bool passive)
        : MonitorRecorder(rate)
        , sink_(std::move(sink))
        , passive_(passive)
    {
    }
    ~PipeWireRecorder() override { stop(); }

    bool start(std::string *error) override
    {
        pw_init(nullptr, nullptr);
        loop_ = pw_thread_loop_new("bench-recorder", nullptr);
        if (!loop_ || pw_thread_loop_start(loop_) < 0) {
            *error = "cannot start a PipeWire loop";
            return false;
        }
        pw_thread_loop_lock(loop_);
        pw_properties *props = pw_properties_new(
            PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_NODE_NAME,
            "zembra-bench-recorder", PW_KEY_APP_NAME, "zembra-bench-recorder", PW_KEY_TARGET_OBJECT,
            sink_.c_str(), PW_KEY_STREAM_CAPTURE_SINK, "true", PW_KEY_NODE_DONT_RECONNECT, "true",
            PW_KEY_NODE_PASSIVE, passive_ ? "true" : "false", nullptr);
        static const pw_stream_events events = [] {
            pw_stream_events e{};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.state_changed = &PipeWireRecorder::onState;
            e.io_changed = &PipeWireRecorder::onIo;
            e.process = &PipeWireRecorder::onProcess;
            return e;
        }();
        // The real-time client configuration, as players have: a recorder on a
        // normal-priority thread misses cycles at small quanta, and a missed
        // cycle is not in the recording at all.
        context_ =
            pw_context_new(pw_thread_loop_get_loop(loop_),
                           pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
        core_ = context_ ? pw_context_connect(context_, nullptr, 0) : nullptr;
        if (core_)
            stream_ = pw_stream_new(core_, "monitor", props);
        else
            pw_properties_free(props);
        if (stream_)
            pw_stream_add_listener(stream_, &listener_, &events, this);
        std::uint8_t buffer[1024];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        spa_audio_info_raw info{};
        info.format = SPA_AUDIO_FORMAT_S16;
        info.rate = std::uint32_t(rate_);
        info.channels = 2;
        info.position[0] = SPA_AUDIO_CHANNEL_FL;
        info.position[1] = SPA_AUDIO_CHANNEL_FR;
        const spa_pod *params[] = {spa_format_audio_raw_build(&b, SPA_PARAM_EnumFormat, &info)};
        const int rc = stream_ ? pw_stream_connect(stream_, PW_DIRECTION_INPUT, PW_ID_ANY,
                                                   pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT |
                                                                   PW_STREAM_FLAG_MAP_BUFFERS |
                                                                   PW_STREAM_FLAG_RT_PROCESS),
                                                   params, 1)
                               : -1;
        pw_thread_loop_unlock(loop_);
        // Wait until linked (a passive recorder gets data only while something
        // plays) or data flows, so that nothing before the first press is lost.
        const std::int64_t giveUp = nowNs() + 5000000000LL;
        const auto ready = [&] { return passive_ ? linked_.load() : lastChunkNs() != 0; };
        while (rc >= 0 && !failed_ && !ready() && nowNs() < giveUp)
            sleepUntilNs(nowNs() + 10000000);
        sleepUntilNs(nowNs() + 200000000);
        const bool ok = rc >= 0 && !failed_ && ready();
        if (passive_)
            setStart(nowNs());
        if (!ok)
            *error = "cannot record the monitor of PipeWire node " + sink_;
        return ok;
    }

    void stop() override
    {
        if (!loop_)
            return;
        pw_thread_loop_lock(loop_);
        if (stream_)
            pw_stream_destroy(stream_);
        stream_ = nullptr;
        if (core_)
            pw_core_disconnect(core_);
        core_ = nullptr;
        pw_thread_loop_unlock(loop_);
        pw_thread_loop_stop(loop_);
        if (context_)
            pw_context_destroy(context_);
        context_ = nullptr;
        pw_thread_loop_destroy(loop_);
        loop_ = nullptr;
    }

    std::string describe() override
    {
        return "PipeWire recorder on the monitor of " + sink_ +
               (passive_ ? ", passive: the graph runs only while something plays"
                         : ", active: the graph runs all the time") +
               "; asks no latency, so the players set the quantum; chunk time = the graph "
               "cycle's clock";
    }

private:
    static void onState(void *user, pw_stream_state, pw_stream_state state, const char *)
    {
        auto *self = static_cast<PipeWireRecorder *>(user);
        if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED)
            self->failed_ = true;
        if (state == PW_STREAM_STATE_PAUSED || state == PW_STREAM_STATE_STREAMING)
            self->linked_ = true;
    }

    static void onIo(void *user, std::uint32_t id, void *area, std::uint32_t)
    {
        if (id == SPA_IO_Position)
            static_cast<PipeWireRecorder *>(user)->position_ = static_cast<spa_io_position *>(area);
    }

    // Called once per graph cycle on the data thread.
    static void onProcess(void *user)
    {
        const std::int64_t now = nowNs();
        auto *self = static_cast<PipeWireRecorder *>(user);
        pw_buffer *b = pw_stream_dequeue_buffer(self->stream_);
        if (!b)
            return;
        const spa_data &d = b->buffer->datas[0];
        if (d.data && d.chunk) {
            const std::uint32_t offset = std::min(d.chunk->offset, d.maxsize);
            const std::uint32_t size = std::min(d.chunk->size, d.maxsize - offset);
            const spa_io_position *pos = self->position_;
            const std::int64_t cycle = pos ? std::int64_t(pos->clock.nsec) : now;
            const int quantum = pos ? int(pos->clock.duration) : 0;
            self->append(reinterpret_cast<const std::int16_t *>(
                             static_cast<const std::uint8_t *>(d.data) + offset),
                         size / 4, cycle, now, quantum);
        }
        pw_stream_queue_buffer(self->stream_, b);
    }

    std::string sink_;
    pw_thread_loop *loop_ = nullptr;
    pw_context *context_ = nullptr;
    pw_core *core_ = nullptr;
    pw_stream *stream_ = nullptr;
    spa_hook listener_{};
    spa_io_position *position_ = nullptr;
    bool passive_;
    std::atomic<bool> failed_{false};
    std::atomic<bool> linked_{false};
};

} // namespace

std::unique_ptr<MonitorRecorder> makePulseRecorder(const std::string &source, int rate,
                                                   int fragmentFrames, bool ahead)
{
    return std::make_unique<PulseRecorder>(source, rate, fragmentFrames, ahead);
}

std::unique_ptr<MonitorRecorder> makePipeWireRecorder(const std::string &sink, int rate,
                                                      bool passive)
{
    return std::make_unique<PipeWireRecorder>(sink, rate, passive);
}

} // namespace Bench

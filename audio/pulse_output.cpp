#include "audio/audio_output.h"
#include "audio/log.h"

#include <pulse/pulseaudio.h>

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr int Channels = 2;

// An operation started on a server that has just gone away is null, and libpulse
// aborts on unreferencing null.
void release(pa_operation *op)
{
    if (op)
        pa_operation_unref(op);
}

// While a sound plays, the server mixes ActiveLatency at a time: that is the
// sink's latency, and a press overwrites our queue from the read position on,
// so the new sound is heard at the server's next mix rather than after what was
// queued. ActiveTarget more stays queued and is refilled half of it at a time,
// so that a late wake-up of ours on a busy machine is no dropout and neither we
// nor the server wake at every mix (early requests would, and cost the server
// twice the CPU); the engine has that much of every sound decoded before it
// hands it over. A millisecond made a press sound 9 ms sooner on a null sink,
// but the server then spent ten times the CPU on our sound that it spends on
// paplay's; at 16 ms, twice (bench/press_latency.sh --pulse-ahead --no-floor).
constexpr auto ActiveTarget = AudioOutputs::FirstWrite;
constexpr auto ActiveLatency = std::chrono::milliseconds(16);
// While another program plays on the sink, the sink's latency as it was, up to
// this: a sink waking this seldom costs nothing, a press waits as long, and the
// longer queue must not outrun the decoder.
constexpr auto LongestKeptLatency = std::chrono::milliseconds(100);
// Asleep, the stream is corked with a long latency so the server stops waking.
constexpr auto SleepingLatency = std::chrono::milliseconds(2000);

// Our voices are 16-bit, so the server converts them for any sink that is not,
// and for one that is we send floats: never the sink's own format. A stream in
// it is mixed by reference, and PulseAudio 16 then hands our shared memory on
// to whoever records the monitor, which aborts the server when we disconnect.
// Converted, the audio is the server's own copy; the 16-bit samples survive
// exactly either way.
pa_sample_format_t formatFor(pa_sample_format_t sink)
{
    return sink == PA_SAMPLE_S16LE ? PA_SAMPLE_FLOAT32LE : PA_SAMPLE_S16LE;
}

class PulseOutput final : public AudioOutput {
public:
    ~PulseOutput() override;

    bool connect(std::chrono::milliseconds timeout);

    const char *name() const override { return "pulse"; }
    int rate() const override { return int(spec_.rate); }
    bool sleep() override;
    bool fitsServer() override;

protected:
    void activate(std::unique_ptr<Voice> voice) override;

private:
    pa_buffer_attr attr(std::chrono::microseconds sinkLatency) const;
    // Under the loop's lock.
    pa_buffer_attr activeAttr() const;
    void settle();
    // Under the loop's lock: an answer querySink waits for, from op; an
    // operation not started means the server has gone and none comes.
    void awaitAnswer(pa_operation *op);
    // Whole frames, rounded up: never less than asked for.
    std::uint32_t bytesFor(std::chrono::microseconds t) const
    {
        return std::uint32_t((std::int64_t(spec_.rate) * t.count() + 999999) / 1000000 *
                             std::int64_t(pa_frame_size(&spec_)));
    }
    // Under the loop's lock.
    void write(std::size_t bytes, pa_seek_mode_t seek);
    bool waitFor(std::chrono::milliseconds timeout, const std::function<bool()> &done);
    bool querySink(std::chrono::milliseconds timeout);
    void notify();

    static void contextState(pa_context *c, void *self);
    static void becomeRealTime(pa_threaded_mainloop *loop, void *);
    static void streamState(pa_stream *s, void *self);
    static void streamWrite(pa_stream *s, size_t bytes, void *self);

    pa_threaded_mainloop *loop_ = nullptr;
    pa_context *context_ = nullptr;
    pa_stream *stream_ = nullptr;
    pa_sample_spec spec_{PA_SAMPLE_S16LE, 44100, Channels};
    std::chrono::milliseconds timeout_{500};

    std::mutex waitMutex_;
    std::condition_variable waitCv_;
    std::uint64_t events_ = 0;
    std::uint32_t sinkRate_ = 0;
    pa_sample_format_t sinkFormat_ = PA_SAMPLE_INVALID;
    std::string defaultSink_;
    int pending_ = 0; // answers querySink waits for
    bool unanswered_ = false;
    int others_ = 0;            // other programs' streams on our sink
    pa_usec_t sinkLatency_ = 0; // what our sink is configured to, while we sleep
    bool flushed_ = false;

    // Under the loop's lock.
    std::vector<std::int16_t> scratch_;
    bool asleep_ = false;
};

PulseOutput::~PulseOutput()
{
    if (!loop_)
        return;
    // Let the server drop our queued audio before we go: PulseAudio 16 aborts
    // when a client disconnects while its monitor still forwards the client's
    // shared memory to a recorder. A server that does not answer soon is left.
    pa_threaded_mainloop_lock(loop_);
    const bool ready = stream_ && pa_stream_get_state(stream_) == PA_STREAM_READY && !lost_;
    if (ready) {
        asleep_ = true;
        release(pa_stream_cork(stream_, 1, nullptr, nullptr));
        release(pa_stream_flush(
            stream_,
            [](pa_stream *, int, void *self) {
                auto *out = static_cast<PulseOutput *>(self);
                out->flushed_ = true;
                out->notify();
            },
            this));
    }
    pa_threaded_mainloop_unlock(loop_);
    if (ready)
        waitFor(std::chrono::milliseconds(50), [this] { return flushed_ || lost_.load(); });
    pa_threaded_mainloop_lock(loop_);
    if (stream_) {
        pa_stream_set_state_callback(stream_, nullptr, nullptr);
        pa_stream_set_write_callback(stream_, nullptr, nullptr);
        pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
    }
    if (context_) {
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
        pa_context_unref(context_);
    }
    pa_threaded_mainloop_unlock(loop_);
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
}

void PulseOutput::notify()
{
    {
        std::lock_guard lock(waitMutex_);
        ++events_;
    }
    waitCv_.notify_all();
}

// Waits on our own condition, not the loop's, so that a server that never
// answers cannot hold the player past the timeout. Called without the loop lock.
bool PulseOutput::waitFor(std::chrono::milliseconds timeout, const std::function<bool()> &done)
{
    const auto until = std::chrono::steady_clock::now() + timeout;
    const auto check = [&] {
        pa_threaded_mainloop_lock(loop_);
        const bool ok = done();
        pa_threaded_mainloop_unlock(loop_);
        return ok;
    };
    for (;;) {
        std::uint64_t seen;
        {
            std::lock_guard lock(waitMutex_);
            seen = events_;
        }
        if (check())
            return true;
        std::unique_lock lock(waitMutex_);
        if (!waitCv_.wait_until(lock, until, [&] { return events_ != seen; })) {
            lock.unlock();
            return check();
        }
    }
}

void PulseOutput::contextState(pa_context *c, void *self)
{
    auto *out = static_cast<PulseOutput *>(self);
    const pa_context_state_t state = pa_context_get_state(c);
    if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED)
        out->lost_ = true;
    out->notify();
}

// The loop's thread feeds the stream: real-time where the system allows it, so
// that a busy machine does not starve it past the queue. Set from that thread
// itself, as a context's first state calls come on the thread that connects.
void PulseOutput::becomeRealTime(pa_threaded_mainloop *, void *)
{
    sched_param param{};
    param.sched_priority = 3;
    if (const int error =
            pthread_setschedparam(pthread_self(), SCHED_FIFO | SCHED_RESET_ON_FORK, &param))
        AudioLog::write("PulseAudio: the stream's thread stays at normal priority (%s)",
                        std::strerror(error));
}

void PulseOutput::streamState(pa_stream *s, void *self)
{
    auto *out = static_cast<PulseOutput *>(self);
    const pa_stream_state_t state = pa_stream_get_state(s);
    if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED)
        out->lost_ = true;
    out->notify();
}

void PulseOutput::streamWrite(pa_stream *, size_t bytes, void *self)
{
    auto *out = static_cast<PulseOutput *>(self);
    if (!out->asleep_)
        out->write(bytes, PA_SEEK_RELATIVE);
}

void PulseOutput::write(std::size_t bytes, pa_seek_mode_t seek)
{
    // The buffer first: a frame taken from the voice is a frame written.
    void *data = nullptr;
    if (pa_stream_begin_write(stream_, &data, &bytes) < 0 || !data)
        return;
    const std::size_t frames = bytes / pa_frame_size(&spec_);
    if (frames == 0) {
        pa_stream_cancel_write(stream_);
        return;
    }
    scratch_.resize(frames * Channels);
    slot_.render(scratch_.data(), frames);
    if (spec_.format == PA_SAMPLE_FLOAT32LE) {
        auto *out = static_cast<float *>(data);
        for (std::size_t i = 0; i < scratch_.size(); ++i)
            out[i] = float(scratch_[i]) / 32768.0f;
    } else {
        std::memcpy(data, scratch_.data(), scratch_.size() * sizeof(std::int16_t));
    }
    pa_stream_write(stream_, data, frames * pa_frame_size(&spec_), nullptr, 0, seek);
}

pa_buffer_attr PulseOutput::attr(std::chrono::microseconds sinkLatency) const
{
    pa_buffer_attr a{};
    a.maxlength = std::uint32_t(-1);
    // Requests not early, the server sets the sink's latency to the queue less
    // two requests.
    const std::uint32_t frame = std::uint32_t(pa_frame_size(&spec_));
    a.minreq = bytesFor(ActiveTarget) / 2 / frame * frame;
    a.tlength = bytesFor(sinkLatency) + 2 * a.minreq;
    // Never wait for a fill level before playing: a press is written in one go.
    a.prebuf = 0;
    a.fragsize = std::uint32_t(-1);
    return a;
}

// The default sink's name, rate and format, as the server has them now; once
// the stream is open, also the latency its own sink is configured to and
// whether other programs' streams play there.
bool PulseOutput::querySink(std::chrono::milliseconds timeout)
{
    pa_threaded_mainloop_lock(loop_);
    pending_ = 0;
    unanswered_ = false;
    awaitAnswer(pa_context_get_server_info(
        context_,
        [](pa_context *c, const pa_server_info *info, void *self) {
            auto *out = static_cast<PulseOutput *>(self);
            if (info && info->default_sink_name) {
                out->defaultSink_ = info->default_sink_name;
                out->sinkRate_ = info->sample_spec.rate;
                out->sinkFormat_ = info->sample_spec.format;
                out->awaitAnswer(pa_context_get_sink_info_by_name(
                    c, info->default_sink_name,
                    [](pa_context *, const pa_sink_info *sink, int eol, void *self) {
                        auto *out = static_cast<PulseOutput *>(self);
                        if (sink) {
                            out->sinkRate_ = sink->sample_spec.rate;
                            out->sinkFormat_ = sink->sample_spec.format;
                        }
                        if (eol)
                            --out->pending_;
                        out->notify();
                    },
                    out));
            }
            --out->pending_; // this answer; the sink's, if asked, is still awaited
            out->notify();
        },
        this));
    if (stream_ && pa_stream_get_state(stream_) == PA_STREAM_READY) {
        others_ = 0;
        sinkLatency_ = 0;
        awaitAnswer(pa_context_get_sink_info_by_index(
            context_, pa_stream_get_device_index(stream_),
            [](pa_context *, const pa_sink_info *sink, int eol, void *self) {
                auto *out = static_cast<PulseOutput *>(self);
                if (sink)
                    out->sinkLatency_ = sink->configured_latency;
                if (eol)
                    --out->pending_;
                out->notify();
            },
            this));
        awaitAnswer(pa_context_get_sink_input_info_list(
            context_,
            [](pa_context *, const pa_sink_input_info *input, int eol, void *self) {
                auto *out = static_cast<PulseOutput *>(self);
                if (input && input->sink == pa_stream_get_device_index(out->stream_) &&
                    input->index != pa_stream_get_index(out->stream_))
                    ++out->others_;
                if (eol)
                    --out->pending_;
                out->notify();
            },
            this));
    }
    pa_threaded_mainloop_unlock(loop_);
    if (!waitFor(timeout, [this] { return pending_ == 0 || lost_.load(); }) || lost_)
        return false;
    pa_threaded_mainloop_lock(loop_);
    const bool answered = !unanswered_;
    pa_threaded_mainloop_unlock(loop_);
    return answered;
}

bool PulseOutput::fitsServer()
{
    // A sink's rate and format change with its profile (a headset during a
    // call, and back) or when another becomes the default.
    if (!querySink(timeout_))
        return false;
    pa_threaded_mainloop_lock(loop_);
    const std::uint32_t now = sinkRate_;
    const pa_sample_format_t format = sinkFormat_;
    pa_threaded_mainloop_unlock(loop_);
    if (now != spec_.rate && now >= 8000 && now <= 384000) {
        AudioLog::write("PulseAudio: the default sink now plays at %u Hz", unsigned(now));
        return false;
    }
    // Another sink's format (or the same sink's, changed) may be ours: the
    // stream then moves to it, or stays, mixed by reference.
    if (pa_sample_format_valid(format) && formatFor(format) != spec_.format) {
        AudioLog::write("PulseAudio: the default sink now plays %s",
                        pa_sample_format_to_string(format));
        return false;
    }
    return true;
}

bool PulseOutput::connect(std::chrono::milliseconds timeout)
{
    timeout_ = timeout;
    loop_ = pa_threaded_mainloop_new();
    if (!loop_)
        return false;
    pa_proplist *props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "Zembra");
    pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "zembra");
    pa_proplist_sets(props, PA_PROP_APPLICATION_ICON_NAME, "zembra");
    context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop_), "Zembra", props);
    pa_proplist_free(props);
    if (!context_)
        return false;
    pa_context_set_state_callback(context_, &PulseOutput::contextState, this);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return false;
    if (pa_threaded_mainloop_start(loop_) < 0)
        return false;
    pa_threaded_mainloop_lock(loop_);
    pa_threaded_mainloop_once_unlocked(loop_, &PulseOutput::becomeRealTime, nullptr);
    pa_threaded_mainloop_unlock(loop_);

    const bool ready = waitFor(timeout, [this] {
        const pa_context_state_t s = pa_context_get_state(context_);
        return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
    });
    pa_threaded_mainloop_lock(loop_);
    const bool connected = ready && pa_context_get_state(context_) == PA_CONTEXT_READY;
    const int error = pa_context_errno(context_);
    pa_threaded_mainloop_unlock(loop_);
    if (!connected) {
        AudioLog::write("PulseAudio passed over: %s",
                        ready ? pa_strerror(error) : "no answer in time");
        return false;
    }

    // Play at the default sink's own rate, so the server need not resample.
    if (!querySink(timeout))
        return false;
    if (sinkRate_ >= 8000 && sinkRate_ <= 384000)
        spec_.rate = sinkRate_;
    spec_.format = formatFor(sinkFormat_);

    pa_threaded_mainloop_lock(loop_);
    pa_proplist *streamProps = pa_proplist_new();
    pa_proplist_sets(streamProps, PA_PROP_MEDIA_NAME, "Efekt");
    // No role: the server would keep one volume for every stream of that role
    // ("event" is the desktop's "System Sounds"); keyed by the application,
    // Zembra has an entry of its own in the mixer.
    stream_ = pa_stream_new_with_proplist(context_, "Efekt", &spec_, nullptr, streamProps);
    pa_proplist_free(streamProps);
    bool ok = stream_ != nullptr;
    if (ok) {
        pa_stream_set_state_callback(stream_, &PulseOutput::streamState, this);
        pa_stream_set_write_callback(stream_, &PulseOutput::streamWrite, this);
        const pa_buffer_attr a = attr(ActiveLatency);
        ok = pa_stream_connect_playback(stream_, nullptr, &a,
                                        pa_stream_flags_t(PA_STREAM_START_CORKED), nullptr,
                                        nullptr) == 0;
    }
    asleep_ = true;
    pa_threaded_mainloop_unlock(loop_);
    if (!ok)
        return false;
    if (!waitFor(timeout,
                 [this] {
                     const pa_stream_state_t s = pa_stream_get_state(stream_);
                     return s == PA_STREAM_READY || !PA_STREAM_IS_GOOD(s);
                 }) ||
        lost_)
        return false;
    settle();
    // Where the stream went, and who else plays there.
    return querySink(timeout);
}

void PulseOutput::awaitAnswer(pa_operation *op)
{
    if (op)
        ++pending_;
    else
        unanswered_ = true;
    release(op);
}

// Opened at the length a press plays at alone, as only that lets a first
// press play on (opened at the sleeping length, the server would wait for the
// two seconds it asked for first). Corked and asleep, our requests would still
// set the sink's latency: asleep at once, so only until the server answers.
void PulseOutput::settle()
{
    pa_threaded_mainloop_lock(loop_);
    const pa_buffer_attr a = attr(SleepingLatency);
    release(pa_stream_set_buffer_attr(stream_, &a, nullptr, nullptr));
    pa_threaded_mainloop_unlock(loop_);
}

pa_buffer_attr PulseOutput::activeAttr() const
{
    if (others_ == 0)
        return attr(ActiveLatency);
    // Ours would become the other streams' latency too, and wake them and the
    // server that often.
    const auto kept = std::clamp<std::chrono::microseconds>(std::chrono::microseconds(sinkLatency_),
                                                            ActiveLatency, LongestKeptLatency);
    return attr(kept);
}

void PulseOutput::activate(std::unique_ptr<Voice> voice)
{
    pa_threaded_mainloop_lock(loop_);
    // Under the loop's lock: the write callback must not take the voice before
    // the write below puts it at the read position.
    slot_.post(std::move(voice));
    if (asleep_) {
        if (others_)
            AudioLog::write("PulseAudio: %d other stream(s) on the sink, whose latency stays %u us",
                            others_, unsigned(sinkLatency_));
        const pa_buffer_attr a = activeAttr();
        release(pa_stream_set_buffer_attr(stream_, &a, nullptr, nullptr));
    }
    // Overwrite what is queued from the server's read position on; the write
    // callback goes on from there.
    write(bytesFor(ActiveTarget), PA_SEEK_RELATIVE_ON_READ);
    if (asleep_) {
        asleep_ = false;
        release(pa_stream_cork(stream_, 0, nullptr, nullptr));
    }
    pa_threaded_mainloop_unlock(loop_);
}

bool PulseOutput::sleep()
{
    pa_threaded_mainloop_lock(loop_);
    if (!asleep_) {
        asleep_ = true;
        release(pa_stream_cork(stream_, 1, nullptr, nullptr));
        release(pa_stream_flush(stream_, nullptr, nullptr));
        const pa_buffer_attr a = attr(SleepingLatency);
        release(pa_stream_set_buffer_attr(stream_, &a, nullptr, nullptr));
    }
    pa_threaded_mainloop_unlock(loop_);
    return true;
}

} // namespace

std::unique_ptr<AudioOutput> AudioOutputs::openPulse(std::chrono::milliseconds timeout)
{
    auto out = std::make_unique<PulseOutput>();
    if (!out->connect(timeout))
        return nullptr;
    return out;
}

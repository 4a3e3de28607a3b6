// The floor for press-to-sound: the least a player can do. A small X window,
// split in three, plays one of three sounds when pressed, on a playback stream
// kept running on silence; a press only switches the sound in.
//
//   PulseAudio: a tiny buffer, and the press writes the first milliseconds of
//   the sound over the queued silence at the read index.
//   PipeWire: a native stream with a small node.latency; the press switches
//   the sound on at the next graph cycle.
//
// The stream runs while the pointer is inside the window, so that its small
// latency does not set the sink's pace during the other contenders' presses.
//
// Usage: bench_floor --api pulse|pipewire --name TITLE [--at X,Y] [--always]
//                    [--latency N/RATE] [--tlength-us N] [--minreq-us N] SOUND1 SOUND2 SOUND3
// At exit (SIGTERM) it prints what the server granted and, for PipeWire, the
// quantum at each press.

#include "press_common.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <pipewire/pipewire.h>
#include <pulse/pulseaudio.h>
#include <spa/node/io.h>
#include <spa/param/audio/format-utils.h>

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

using Bench::Sound;

namespace {

constexpr int RegionWidth = 60;
constexpr int Height = 60;

class FloorPlayer {
public:
    virtual ~FloorPlayer() = default;
    virtual bool start(std::string *error) = 0;
    virtual void setActive(bool active) = 0;
    virtual void trigger(int sound) = 0;
    virtual std::string report() = 0;
};

struct Options {
    std::string api = "pulse";
    std::string name = "zembra-floor";
    int x = 0, y = 0;
    bool always = false;
    std::string latency = "64/48000";
    int tlengthUs = 3000;
    int minreqUs = 750;
    std::vector<Sound> sounds;
};

class PulseFloor final : public FloorPlayer {
public:
    explicit PulseFloor(const Options &o)
        : o_(o)
    {
    }
    ~PulseFloor() override
    {
        if (!loop_)
            return;
        pa_threaded_mainloop_stop(loop_);
        if (stream_)
            pa_stream_unref(stream_);
        if (context_)
            pa_context_unref(context_);
        pa_threaded_mainloop_free(loop_);
    }

    bool start(std::string *error) override
    {
        const Sound &first = o_.sounds.front();
        spec_ = {PA_SAMPLE_S16LE, std::uint32_t(first.rate), std::uint8_t(first.channels)};
        loop_ = pa_threaded_mainloop_new();
        pa_threaded_mainloop_lock(loop_);
        context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "zembra-bench-floor");
        pa_context_set_state_callback(context_, &PulseFloor::signal, loop_);
        bool ok = pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0 &&
                  pa_threaded_mainloop_start(loop_) >= 0;
        for (pa_context_state_t s; ok && (s = pa_context_get_state(context_)) != PA_CONTEXT_READY;)
            ok = PA_CONTEXT_IS_GOOD(s) ? (pa_threaded_mainloop_wait(loop_), true) : false;
        if (ok) {
            stream_ = pa_stream_new(context_, "floor", &spec_, nullptr);
            pa_stream_set_state_callback(stream_, &PulseFloor::signal, loop_);
            pa_stream_set_write_callback(stream_, &PulseFloor::onWrite, this);
            pa_buffer_attr attr{};
            attr.maxlength = attr.prebuf = attr.fragsize = std::uint32_t(-1);
            attr.tlength = std::uint32_t(pa_usec_to_bytes(pa_usec_t(o_.tlengthUs), &spec_));
            attr.minreq = std::uint32_t(pa_usec_to_bytes(pa_usec_t(o_.minreqUs), &spec_));
            auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY |
                                           (o_.always ? 0 : PA_STREAM_START_CORKED));
            ok = pa_stream_connect_playback(stream_, nullptr, &attr, flags, nullptr, nullptr) >= 0;
        }
        for (pa_stream_state_t s; ok && (s = pa_stream_get_state(stream_)) != PA_STREAM_READY;)
            ok = PA_STREAM_IS_GOOD(s) ? (pa_threaded_mainloop_wait(loop_), true) : false;
        if (ok)
            granted_ = *pa_stream_get_buffer_attr(stream_);
        else
            *error = std::string("PulseAudio: ") + pa_strerror(pa_context_errno(context_));
        pa_threaded_mainloop_unlock(loop_);
        return ok;
    }

    void setActive(bool active) override
    {
        pa_threaded_mainloop_lock(loop_);
        pa_operation_unref(pa_stream_cork(stream_, active ? 0 : 1, nullptr, nullptr));
        pa_threaded_mainloop_unlock(loop_);
    }

    // The first 20 ms go at the read index, over whatever silence is queued
    // (never more than that); the write callback carries on from there.
    void trigger(int sound) override
    {
        pa_threaded_mainloop_lock(loop_);
        current_ = sound;
        position_ = 0;
        const std::size_t frames =
            std::min(o_.sounds[std::size_t(sound)].frames(), std::size_t(spec_.rate) / 50);
        write(frames, PA_SEEK_RELATIVE_ON_READ);
        pa_threaded_mainloop_unlock(loop_);
        ++presses_;
    }

    std::string report() override
    {
        const double frame = 1000.0 / spec_.rate / pa_frame_size(&spec_);
        char line[256];
        std::snprintf(line, sizeof line,
                      "Pulse API floor: %d presses; asked tlength %.2f ms, minreq %.2f ms; granted "
                      "tlength %.2f ms, minreq %.2f ms, prebuf %.2f ms",
                      presses_, o_.tlengthUs / 1000.0, o_.minreqUs / 1000.0,
                      granted_.tlength * frame, granted_.minreq * frame, granted_.prebuf * frame);
        return line;
    }

private:
    static void signal(pa_context *, void *loop)
    {
        pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop *>(loop), 0);
    }
    static void signal(pa_stream *, void *loop)
    {
        pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop *>(loop), 0);
    }

    static void onWrite(pa_stream *, size_t bytes, void *user)
    {
        auto *self = static_cast<PulseFloor *>(user);
        self->write(bytes / pa_frame_size(&self->spec_), PA_SEEK_RELATIVE);
    }

    // The current sound from where it stands, then silence.
    void write(std::size_t frames, pa_seek_mode_t seek)
    {
        const auto channels = std::size_t(spec_.channels);
        buffer_.assign(frames * channels, 0);
        if (current_ >= 0) {
            const Sound &s = o_.sounds[std::size_t(current_)];
            const std::size_t n = std::min(frames, s.frames() - std::min(s.frames(), position_));
            std::copy_n(s.samples.begin() + std::ptrdiff_t(position_ * channels), n * channels,
                        buffer_.begin());
            position_ += n;
            if (position_ >= s.frames())
                current_ = -1;
        }
        pa_stream_write(stream_, buffer_.data(), buffer_.size() * 2, nullptr, 0, seek);
    }

    const Options &o_;
    pa_sample_spec spec_{};
    pa_buffer_attr granted_{};
    pa_threaded_mainloop *loop_ = nullptr;
    pa_context *context_ = nullptr;
    pa_stream *stream_ = nullptr;
    std::vector<std::int16_t> buffer_;
    int current_ = -1;
    std::size_t position_ = 0;
    int presses_ = 0;
};

class PipeWireFloor final : public FloorPlayer {
public:
    explicit PipeWireFloor(const Options &o)
        : o_(o)
    {
    }
    ~PipeWireFloor() override
    {
        if (!loop_)
            return;
        pw_thread_loop_lock(loop_);
        if (stream_)
            pw_stream_destroy(stream_);
        pw_thread_loop_unlock(loop_);
        pw_thread_loop_stop(loop_);
        pw_thread_loop_destroy(loop_);
    }

    bool start(std::string *error) override
    {
        pw_init(nullptr, nullptr);
        loop_ = pw_thread_loop_new("bench-floor", nullptr);
        if (!loop_ || pw_thread_loop_start(loop_) < 0) {
            *error = "cannot start a PipeWire loop";
            return false;
        }
        const Sound &first = o_.sounds.front();
        pw_thread_loop_lock(loop_);
        pw_properties *props = pw_properties_new(
            PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_MEDIA_ROLE,
            "Game", PW_KEY_NODE_NAME, "zembra-bench-floor", PW_KEY_APP_NAME, "zembra-bench-floor",
            PW_KEY_NODE_LATENCY, o_.latency.c_str(), nullptr);
        static const pw_stream_events events = [] {
            pw_stream_events e{};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.io_changed = &PipeWireFloor::onIo;
            e.process = &PipeWireFloor::onProcess;
            return e;
        }();
        stream_ =
            pw_stream_new_simple(pw_thread_loop_get_loop(loop_), "floor", props, &events, this);
        std::uint8_t buffer[1024];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        spa_audio_info_raw info{};
        info.format = SPA_AUDIO_FORMAT_S16;
        info.rate = std::uint32_t(first.rate);
        info.channels = std::uint32_t(first.channels);
        info.position[0] = SPA_AUDIO_CHANNEL_FL;
        info.position[1] = SPA_AUDIO_CHANNEL_FR;
        const spa_pod *params[] = {spa_format_audio_raw_build(&b, SPA_PARAM_EnumFormat, &info)};
        auto flags =
            pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                            PW_STREAM_FLAG_RT_PROCESS | (o_.always ? 0 : PW_STREAM_FLAG_INACTIVE));
        const bool ok = stream_ && pw_stream_connect(stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags,
                                                     params, 1) >= 0;
        pw_thread_loop_unlock(loop_);
        if (!ok)
            *error = "cannot connect a PipeWire stream";
        return ok;
    }

    void setActive(bool active) override
    {
        pw_thread_loop_lock(loop_);
        pw_stream_set_active(stream_, active);
        pw_thread_loop_unlock(loop_);
    }

    void trigger(int sound) override
    {
        pending_ = sound;
        ++presses_;
    }

    std::string report() override
    {
        std::map<int, int> quanta;
        const int n = std::min(switched_.load(), int(MaxPresses));
        for (int i = 0; i < n; ++i)
            ++quanta[quantumAtPress_[std::size_t(i)]];
        std::string line = "PipeWire floor: " + std::to_string(presses_) +
                           " presses; node.latency " + o_.latency + "; quantum at presses:";
        for (const auto &[quantum, count] : quanta)
            line += " " + std::to_string(quantum) + " x" + std::to_string(count);
        return line;
    }

private:
    static void onIo(void *user, std::uint32_t id, void *area, std::uint32_t)
    {
        if (id == SPA_IO_Position)
            static_cast<PipeWireFloor *>(user)->position_ = static_cast<spa_io_position *>(area);
    }

    static void onProcess(void *user)
    {
        auto *self = static_cast<PipeWireFloor *>(user);
        pw_buffer *b = pw_stream_dequeue_buffer(self->stream_);
        if (!b)
            return;
        spa_data &d = b->buffer->datas[0];
        const Sound &first = self->o_.sounds.front();
        const auto channels = std::size_t(first.channels);
        const std::size_t stride = 2 * channels;
        std::size_t frames = d.maxsize / stride;
        if (b->requested)
            frames = std::min<std::size_t>(frames, b->requested);
        auto *out = static_cast<std::int16_t *>(d.data);
        std::fill_n(out, frames * channels, 0);
        if (const int sound = self->pending_.exchange(-1); sound >= 0) {
            self->current_ = sound;
            self->playhead_ = 0;
            const int i = self->switched_++;
            if (i < MaxPresses)
                self->quantumAtPress_[std::size_t(i)] =
                    self->position_ ? int(self->position_->clock.duration) : 0;
        }
        if (self->current_ >= 0) {
            const Sound &s = self->o_.sounds[std::size_t(self->current_)];
            const std::size_t n = std::min(frames, s.frames() - self->playhead_);
            std::copy_n(s.samples.begin() + std::ptrdiff_t(self->playhead_ * channels),
                        n * channels, out);
            self->playhead_ += n;
            if (self->playhead_ >= s.frames())
                self->current_ = -1;
        }
        d.chunk->offset = 0;
        d.chunk->stride = int(stride);
        d.chunk->size = std::uint32_t(frames * stride);
        pw_stream_queue_buffer(self->stream_, b);
    }

    static constexpr int MaxPresses = 4096;
    const Options &o_;
    pw_thread_loop *loop_ = nullptr;
    pw_stream *stream_ = nullptr;
    spa_io_position *position_ = nullptr;
    std::atomic<int> pending_{-1};
    std::atomic<int> switched_{0};
    int quantumAtPress_[MaxPresses] = {};
    int current_ = -1; // data thread only
    std::size_t playhead_ = 0;
    int presses_ = 0;
};

bool parse(int argc, char **argv, Options *o)
{
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool more = i + 1 < argc;
        if (a == "--api" && more)
            o->api = argv[++i];
        else if (a == "--name" && more)
            o->name = argv[++i];
        else if (a == "--at" && more)
            std::sscanf(argv[++i], "%d,%d", &o->x, &o->y);
        else if (a == "--always")
            o->always = true;
        else if (a == "--latency" && more)
            o->latency = argv[++i];
        else if (a == "--tlength-us" && more)
            o->tlengthUs = std::atoi(argv[++i]);
        else if (a == "--minreq-us" && more)
            o->minreqUs = std::atoi(argv[++i]);
        else if (a.rfind("--", 0) == 0)
            return false;
        else
            files.push_back(a);
    }
    if (files.size() != 3 || (o->api != "pulse" && o->api != "pipewire"))
        return false;
    for (const std::string &f : files) {
        Sound s;
        if (!Bench::readWav(f, &s)) {
            std::fprintf(stderr, "bench_floor: cannot read %s\n", f.c_str());
            return false;
        }
        if (!o->sounds.empty() &&
            (s.rate != o->sounds[0].rate || s.channels != o->sounds[0].channels)) {
            std::fprintf(stderr, "bench_floor: the three sounds differ in format\n");
            return false;
        }
        o->sounds.push_back(std::move(s));
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    // Blocked before any thread starts, so that only the signalfd sees them.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    const int signals = signalfd(-1, &stop, SFD_CLOEXEC);

    Options o;
    if (!parse(argc, argv, &o)) {
        std::fprintf(stderr, "usage: bench_floor --api pulse|pipewire --name TITLE [--at X,Y] "
                             "[--always] [--latency N/RATE] [--tlength-us N] [--minreq-us N] "
                             "SOUND1 SOUND2 SOUND3\n");
        return 2;
    }
    std::unique_ptr<FloorPlayer> player;
    if (o.api == "pulse")
        player = std::make_unique<PulseFloor>(o);
    else
        player = std::make_unique<PipeWireFloor>(o);
    std::string error;
    if (!player->start(&error)) {
        std::fprintf(stderr, "bench_floor: %s\n", error.c_str());
        return 1;
    }

    Display *dpy = XOpenDisplay(nullptr);
    if (!dpy) {
        std::fprintf(stderr, "bench_floor: no X display\n");
        return 1;
    }
    const int screen = DefaultScreen(dpy);
    const Window w =
        XCreateSimpleWindow(dpy, RootWindow(dpy, screen), o.x, o.y, 3 * RegionWidth, Height, 0,
                            BlackPixel(dpy, screen), WhitePixel(dpy, screen));
    XStoreName(dpy, w, o.name.c_str());
    XSizeHints size{};
    size.flags = USPosition | PPosition | PMinSize | PMaxSize;
    size.x = o.x;
    size.y = o.y;
    size.min_width = size.max_width = 3 * RegionWidth;
    size.min_height = size.max_height = Height;
    XSetWMNormalHints(dpy, w, &size);
    // Never takes the focus, so pressing it does not take it from the program.
    XWMHints hints{};
    hints.flags = InputHint;
    hints.input = False;
    XSetWMHints(dpy, w, &hints);
    XSelectInput(dpy, w, ButtonPressMask | EnterWindowMask | LeaveWindowMask);
    XMapWindow(dpy, w);
    XFlush(dpy);

    for (bool running = true; running;) {
        while (XPending(dpy)) {
            XEvent e;
            XNextEvent(dpy, &e);
            if (e.type == ButtonPress && e.xbutton.button == Button1) {
                player->trigger(std::clamp(e.xbutton.x / RegionWidth, 0, 2));
            } else if ((e.type == EnterNotify || e.type == LeaveNotify) && !o.always &&
                       e.xcrossing.mode == NotifyNormal) {
                // Grabs by the window manager around a click do not count.
                player->setActive(e.type == EnterNotify);
            }
        }
        pollfd fds[] = {{ConnectionNumber(dpy), POLLIN, 0}, {signals, POLLIN, 0}};
        if (poll(fds, 2, -1) > 0 && fds[1].revents)
            running = false;
    }
    std::printf("%s\n", player->report().c_str());
    std::fflush(stdout);
    XCloseDisplay(dpy);
    return 0;
}

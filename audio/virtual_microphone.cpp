#include "audio/virtual_microphone.h"

#include "audio/log.h"
#include "audio/pipewire_microphone.h"
#include "audio/stay_awake.h"

#include <pulse/pulseaudio.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace {

constexpr std::uint32_t None = PA_INVALID_INDEX;
// Marks the loopbacks' own streams, which are never moved or counted as recorders.
constexpr const char *PartKey = "zembra.part";
// The mix runs at a steady short period: a null sink that may rewind sleeps
// long while idle, and its monitor then starves the remapped source.
constexpr const char *MixTuning = " norewinds=1";
// The voice's loopback: short, as the server allows.
constexpr const char *LoopbackLatencyMs = "20";
// How long a recording of the mix runs before the voice joins it.
constexpr std::chrono::milliseconds VoiceSettle{200};
// How long the voice's loopback settles its latency once started.
constexpr std::chrono::milliseconds VoiceMuted{150};
// Where our stream plays while recorded: the room's sink and the mix at once.
constexpr const char *BothSinkName = "zembra_mic_out";
// Both copies of our sound at the room's rate, unresampled.
constexpr const char *CombineTuning = " adjust_time=0 resample_method=trivial";

bool alive(long pid)
{
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

// The process id a module of ours was marked with, 0 for anyone else's.
long markedPid(const std::string &argument)
{
    if (argument.find("application.id=zembra") == std::string::npos)
        return 0;
    const std::string key = "application.process.id=";
    const std::size_t at = argument.find(key);
    return at == std::string::npos ? 0
                                   : std::strtol(argument.c_str() + at + key.size(), nullptr, 10);
}

struct ModuleInfo {
    std::uint32_t index;
    std::string argument;
};
struct StreamInfo {
    std::uint32_t index, device, client;
    long pid;
    bool part;
    std::uint32_t module = None; // the module that made it
};
struct SourceInfo {
    std::uint32_t index = None, module = None;
    bool monitor = false;
    long pid = 0;
};

long pidOf(const pa_proplist *p)
{
    const char *pid = pa_proplist_gets(p, PA_PROP_APPLICATION_PROCESS_ID);
    return pid ? std::strtol(pid, nullptr, 10) : 0;
}

} // namespace

struct VirtualMicrophone::Core {
    explicit Core(std::chrono::milliseconds t)
        : timeout(t)
        , pid(long(::getpid()))
        , pipeWire(t, [this] { poke(); })
    {
    }

    const std::chrono::milliseconds timeout;
    const long pid;

    // Between the caller and the worker.
    std::mutex mutex;
    std::condition_variable cv;
    bool want = false, applied = false, dirty = false, quit = false;
    std::uint64_t passes = 0;

    // The worker's own.
    pa_threaded_mainloop *loop = nullptr;
    pa_context *context = nullptr;
    std::uint32_t mixModule = None, micModule = None, voiceModule = None, bothModule = None;
    std::string voiceSource, bothSink;
    bool routed = false;
    int mixSuspended = -1; // unknown
    std::optional<std::chrono::steady_clock::time_point> recordingSince;
    // Until when the voice's loopback stays muted as it settles.
    std::optional<std::chrono::steady_clock::time_point> voiceMutedUntil;
    // When a pass is due without a server event.
    std::optional<std::chrono::steady_clock::time_point> wakeAt;
    bool onPipeWire = false;
    // On a PipeWire daemon its own blocks serve, never its PulseAudio side.
    PipeWireMicrophone pipeWire;
    bool pipeWireUsed = false;
    // Which server answered last; looked for again only when it stops answering,
    // as a PipeWire context costs a thread and its configuration to try.
    enum class Server { Unknown, PipeWire, Pulse } server = Server::Unknown;

    void run();
    void apply(bool on);
    void reconcile(bool want);
    bool connect();
    void disconnect();
    void poke()
    {
        {
            std::lock_guard lock(mutex);
            dirty = true;
        }
        cv.notify_all();
    }

    // Starts an operation under the loop's lock and waits for `done`, which its
    // callback sets; false when the server does not answer in time.
    bool call(const std::function<pa_operation *()> &start, const bool &done);
    std::uint32_t load(const char *name, const std::string &args);
    void unload(std::uint32_t &index);
    std::vector<ModuleInfo> modules();
    std::vector<StreamInfo> streams(bool inputs);
    // This process's own playback streams: PipeWire names the process on the
    // client only.
    std::vector<StreamInfo> ourStreams();
    SourceInfo source(const std::string &name);
    // The first real microphone of the highest-ranked port, for when the
    // desktop records ours by default; empty when there is none.
    std::string anotherMicrophone();
    std::uint32_t sinkIndex(const std::string &name);
    void defaults(std::string &sink, std::string &source);
    void move(std::uint32_t input, const std::string &sink);
    void muteVoice(bool mute);
    std::uint32_t loadVoice(const std::string &args);
    void suspendMix(bool suspend);
    std::string marks(const char *part) const;
    int sweep();
    void teardown();
};

bool VirtualMicrophone::Core::call(const std::function<pa_operation *()> &start, const bool &done)
{
    pa_threaded_mainloop_lock(loop);
    pa_operation *op = start();
    const auto until = std::chrono::steady_clock::now() + timeout;
    // The loop signals on every callback; a bounded wait on our side.
    while (op && !done && pa_operation_get_state(op) == PA_OPERATION_RUNNING &&
           std::chrono::steady_clock::now() < until) {
        pa_threaded_mainloop_unlock(loop);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        pa_threaded_mainloop_lock(loop);
    }
    const bool ok = op && done;
    if (op) {
        if (pa_operation_get_state(op) == PA_OPERATION_RUNNING)
            pa_operation_cancel(op);
        pa_operation_unref(op);
    }
    pa_threaded_mainloop_unlock(loop);
    return ok;
}

bool VirtualMicrophone::Core::connect()
{
    if (context && pa_context_get_state(context) == PA_CONTEXT_READY)
        return true;
    disconnect();
    loop = pa_threaded_mainloop_new();
    pa_proplist *props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "Zembra");
    pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "zembra");
    context = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop), "Zembra", props);
    pa_proplist_free(props);
    if (!context || pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
        pa_threaded_mainloop_start(loop) < 0) {
        AudioLog::write("microphone: no PulseAudio-protocol server");
        disconnect();
        return false;
    }
    const auto until = std::chrono::steady_clock::now() + timeout;
    pa_threaded_mainloop_lock(loop);
    pa_context_state_t state;
    while ((state = pa_context_get_state(context)) != PA_CONTEXT_READY &&
           PA_CONTEXT_IS_GOOD(state) && std::chrono::steady_clock::now() < until) {
        pa_threaded_mainloop_unlock(loop);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        pa_threaded_mainloop_lock(loop);
    }
    if (state == PA_CONTEXT_READY) {
        pa_context_set_subscribe_callback(
            context,
            [](pa_context *, pa_subscription_event_type_t, std::uint32_t, void *self) {
                static_cast<Core *>(self)->poke();
            },
            this);
        pa_operation *op = pa_context_subscribe(
            context,
            pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT |
                                   PA_SUBSCRIPTION_MASK_SINK_INPUT | PA_SUBSCRIPTION_MASK_SOURCE |
                                   PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SERVER),
            nullptr, nullptr);
        if (op)
            pa_operation_unref(op);
    }
    pa_threaded_mainloop_unlock(loop);
    if (state != PA_CONTEXT_READY) {
        AudioLog::write("microphone: the server did not answer");
        disconnect();
        return false;
    }
    return true;
}

void VirtualMicrophone::Core::disconnect()
{
    if (loop)
        pa_threaded_mainloop_stop(loop);
    if (context) {
        pa_context_set_subscribe_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
        context = nullptr;
    }
    if (loop)
        pa_threaded_mainloop_free(loop);
    loop = nullptr;
}

std::uint32_t VirtualMicrophone::Core::load(const char *name, const std::string &args)
{
    struct Result1 {
        bool done = false;
        std::uint32_t index = None;
    } r;
    call(
        [&] {
            return pa_context_load_module(
                context, name, args.c_str(),
                [](pa_context *, std::uint32_t index, void *p) {
                    auto *r = static_cast<Result1 *>(p);
                    r->index = index;
                    r->done = true;
                },
                &r);
        },
        r.done);
    AudioLog::write("microphone: %s %s: %s", name, args.c_str(),
                    r.index == None ? "failed" : "loaded");
    return r.index;
}

void VirtualMicrophone::Core::unload(std::uint32_t &index)
{
    if (index == None)
        return;
    bool done = false;
    call(
        [&] {
            return pa_context_unload_module(
                context, index, [](pa_context *, int, void *p) { *static_cast<bool *>(p) = true; },
                &done);
        },
        done);
    index = None;
}

std::vector<ModuleInfo> VirtualMicrophone::Core::modules()
{
    struct Result2 {
        bool done = false;
        std::vector<ModuleInfo> list;
    } r;
    call(
        [&] {
            return pa_context_get_module_info_list(
                context,
                [](pa_context *, const pa_module_info *m, int eol, void *p) {
                    auto *r = static_cast<Result2 *>(p);
                    if (m)
                        r->list.push_back({m->index, m->argument ? m->argument : ""});
                    if (eol)
                        r->done = true;
                },
                &r);
        },
        r.done);
    return r.list;
}

// Playback streams (inputs) or recording streams, with where each goes.
std::vector<StreamInfo> VirtualMicrophone::Core::streams(bool inputs)
{
    struct Result3 {
        bool done = false;
        std::vector<StreamInfo> list;
    } r;
    call(
        [&]() -> pa_operation * {
            if (inputs)
                return pa_context_get_sink_input_info_list(
                    context,
                    [](pa_context *, const pa_sink_input_info *i, int eol, void *p) {
                        auto *r = static_cast<Result3 *>(p);
                        if (i)
                            r->list.push_back({i->index, i->sink, i->client, pidOf(i->proplist),
                                               pa_proplist_contains(i->proplist, PartKey) == 1,
                                               i->owner_module});
                        if (eol)
                            r->done = true;
                    },
                    &r);
            return pa_context_get_source_output_info_list(
                context,
                [](pa_context *, const pa_source_output_info *o, int eol, void *p) {
                    auto *r = static_cast<Result3 *>(p);
                    if (o)
                        r->list.push_back({o->index, o->source, o->client, pidOf(o->proplist),
                                           pa_proplist_contains(o->proplist, PartKey) == 1});
                    if (eol)
                        r->done = true;
                },
                &r);
        },
        r.done);
    return r.list;
}

std::vector<StreamInfo> VirtualMicrophone::Core::ourStreams()
{
    struct Clients {
        bool done = false;
        std::vector<std::uint32_t> ours;
        long pid;
    } r;
    r.pid = pid;
    call(
        [&] {
            return pa_context_get_client_info_list(
                context,
                [](pa_context *, const pa_client_info *c, int eol, void *p) {
                    auto *r = static_cast<Clients *>(p);
                    if (c && pidOf(c->proplist) == r->pid)
                        r->ours.push_back(c->index);
                    if (eol)
                        r->done = true;
                },
                &r);
        },
        r.done);
    std::vector<StreamInfo> ours;
    for (const StreamInfo &s : streams(true))
        if (!s.part &&
            (s.pid == pid || std::find(r.ours.begin(), r.ours.end(), s.client) != r.ours.end()))
            ours.push_back(s);
    return ours;
}

SourceInfo VirtualMicrophone::Core::source(const std::string &name)
{
    struct Result4 {
        bool done = false;
        SourceInfo info;
    } r;
    call(
        [&] {
            return pa_context_get_source_info_by_name(
                context, name.c_str(),
                [](pa_context *, const pa_source_info *s, int eol, void *p) {
                    auto *r = static_cast<Result4 *>(p);
                    if (s)
                        r->info = {s->index, s->owner_module, s->monitor_of_sink != None,
                                   pidOf(s->proplist)};
                    if (eol)
                        r->done = true;
                },
                &r);
        },
        r.done);
    return r.info;
}

std::string VirtualMicrophone::Core::anotherMicrophone()
{
    struct Result {
        bool done = false;
        std::string name;
        std::uint32_t rank = 0;
    } r;
    call(
        [&] {
            return pa_context_get_source_info_list(
                context,
                [](pa_context *, const pa_source_info *s, int eol, void *p) {
                    auto *r = static_cast<Result *>(p);
                    if (s && s->monitor_of_sink == None &&
                        !pa_proplist_contains(s->proplist, PartKey)) {
                        const std::uint32_t rank = s->active_port ? s->active_port->priority : 0;
                        if (r->name.empty() || rank > r->rank)
                            r->name = s->name, r->rank = rank;
                    }
                    if (eol)
                        r->done = true;
                },
                &r);
        },
        r.done);
    return r.name;
}

std::uint32_t VirtualMicrophone::Core::sinkIndex(const std::string &name)
{
    struct Result5 {
        bool done = false;
        std::uint32_t index = None;
    } r;
    call(
        [&] {
            return pa_context_get_sink_info_by_name(
                context, name.c_str(),
                [](pa_context *, const pa_sink_info *s, int eol, void *p) {
                    auto *r = static_cast<Result5 *>(p);
                    if (s)
                        r->index = s->index;
                    if (eol)
                        r->done = true;
                },
                &r);
        },
        r.done);
    return r.index;
}

void VirtualMicrophone::Core::defaults(std::string &sink, std::string &src)
{
    struct Result6 {
        bool done = false;
        std::string sink, source;
        bool pipeWire = false;
    } r;
    call(
        [&] {
            return pa_context_get_server_info(
                context,
                [](pa_context *, const pa_server_info *i, void *p) {
                    auto *r = static_cast<Result6 *>(p);
                    if (i && i->default_sink_name)
                        r->sink = i->default_sink_name;
                    if (i && i->default_source_name)
                        r->source = i->default_source_name;
                    if (i && i->server_name)
                        r->pipeWire = std::strstr(i->server_name, "PipeWire") != nullptr;
                    r->done = true;
                },
                &r);
        },
        r.done);
    sink = r.sink;
    src = r.source;
    onPipeWire = r.pipeWire;
}

void VirtualMicrophone::Core::move(std::uint32_t input, const std::string &sink)
{
    bool done = false;
    call(
        [&] {
            return pa_context_move_sink_input_by_name(
                context, input, sink.c_str(),
                [](pa_context *, int, void *p) { *static_cast<bool *>(p) = true; }, &done);
        },
        done);
}

// The voice's loopback drops several milliseconds as it settles its latency
// in its first moments (the server's own doing, seen with its modules alone):
// the call hears it only once that is over.
void VirtualMicrophone::Core::muteVoice(bool mute)
{
    for (const StreamInfo &s : streams(true)) {
        if (s.module != voiceModule || voiceModule == None)
            continue;
        bool done = false;
        call(
            [&] {
                return pa_context_set_sink_input_mute(
                    context, s.index, mute,
                    [](pa_context *, int, void *p) { *static_cast<bool *>(p) = true; }, &done);
            },
            done);
    }
}

// The loopback carries the voice from the moment it loads. The listing rides
// right behind the load, whose stream it then holds, and the mute is asked from
// its reply in the loop's own thread: no wake-up of ours lies in between.
std::uint32_t VirtualMicrophone::Core::loadVoice(const std::string &args)
{
    struct Loading {
        std::uint32_t index = None;
        bool listed = false;
    } r;
    pa_operation *loading = nullptr;
    call(
        [&]() -> pa_operation * {
            loading = pa_context_load_module(
                context, "module-loopback", args.c_str(),
                [](pa_context *, std::uint32_t index, void *p) {
                    static_cast<Loading *>(p)->index = index;
                },
                &r);
            if (!loading)
                return nullptr;
            return pa_context_get_sink_input_info_list(
                context,
                [](pa_context *c, const pa_sink_input_info *i, int eol, void *p) {
                    auto *r = static_cast<Loading *>(p);
                    if (i && r->index != None && i->owner_module == r->index)
                        if (pa_operation *op =
                                pa_context_set_sink_input_mute(c, i->index, 1, nullptr, nullptr))
                            pa_operation_unref(op);
                    if (eol)
                        r->listed = true;
                },
                &r);
        },
        r.listed);
    if (loading) {
        pa_threaded_mainloop_lock(loop);
        if (pa_operation_get_state(loading) == PA_OPERATION_RUNNING)
            pa_operation_cancel(loading);
        pa_operation_unref(loading);
        pa_threaded_mainloop_unlock(loop);
    }
    AudioLog::write("microphone: module-loopback %s: %s", args.c_str(),
                    r.index == None ? "failed" : "loaded muted");
    return r.index;
}

// The mix runs at the shortest period a stream asks of it, and the remapped
// source asks for a short one even while nobody records: asleep until then.
void VirtualMicrophone::Core::suspendMix(bool suspend)
{
    if (mixSuspended == int(suspend))
        return;
    bool done = false;
    call(
        [&] {
            return pa_context_suspend_sink_by_name(
                context, MixSinkName, suspend,
                [](pa_context *, int, void *p) { *static_cast<bool *>(p) = true; }, &done);
        },
        done);
    mixSuspended = done ? int(suspend) : -1;
}

// The properties that mark what we make as ours.
std::string VirtualMicrophone::Core::marks(const char *part) const
{
    return "application.name=Zembra application.id=zembra application.process.id=" +
           std::to_string(pid) + " " + PartKey + "=" + part;
}

int VirtualMicrophone::Core::sweep()
{
    int removed = 0;
    for (const ModuleInfo &m : modules()) {
        const long owner = markedPid(m.argument);
        if (owner == 0 || owner == pid || alive(owner))
            continue;
        AudioLog::write("microphone: removing module %u left by process %ld", m.index, owner);
        std::uint32_t index = m.index;
        unload(index);
        ++removed;
    }
    return removed;
}

void VirtualMicrophone::Core::teardown()
{
    std::string sink, src;
    if (routed && context) {
        defaults(sink, src);
        // Back to the room directly before the mix goes, so no press falls between.
        for (const StreamInfo &s : ourStreams())
            if (!sink.empty() && sink != BothSinkName)
                move(s.index, sink);
    }
    routed = false;
    const bool made = mixModule != None || voiceModule != None;
    unload(bothModule);
    unload(voiceModule);
    voiceMutedUntil.reset();
    unload(micModule);
    unload(mixModule);
    voiceSource.clear();
    bothSink.clear();
    // PipeWire answers an unload before the nodes have gone; off means gone.
    const auto until = std::chrono::steady_clock::now() + timeout;
    const auto left = [this] {
        for (const bool inputs : {true, false})
            for (const StreamInfo &s : streams(inputs))
                if (s.part && s.pid == pid)
                    return true;
        return false;
    };
    while (made && context && left() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

void VirtualMicrophone::Core::reconcile(bool on)
{
    if (!connect()) {
        server = Server::Unknown;
        mixModule = micModule = voiceModule = bothModule = None;
        routed = false;
        return;
    }
    if (!on) {
        teardown();
        return;
    }
    SourceInfo mic = source(SourceName);
    if (mic.index != None && micModule == None && mic.pid != pid && !alive(mic.pid)) {
        sweep();
        mic = source(SourceName);
    }
    if (mic.index == None) {
        sweep();
        // Ours may have gone with a server's restart; or a copy that owned it ended.
        mixModule = micModule = voiceModule = bothModule = None;
        mixSuspended = -1;
        // Module arguments in ASCII: pactl's JSON listing refuses anything else.
        mixModule =
            load("module-null-sink",
                 std::string("sink_name=") + MixSinkName + MixTuning +
                     " sink_properties='device.description=\"Zembra mikrofonu: karisim, hoparlor "
                     "degil\" " +
                     marks("mix") + "'");
        if (mixModule != None)
            micModule =
                load("module-remap-source",
                     std::string("source_name=") + SourceName + " master=" + MixSinkName +
                         ".monitor source_properties='device.description=\"" + Description +
                         "\" device.icon_name=audio-input-microphone " + marks("microphone") + "'");
        mic = source(SourceName);
    }
    const bool owner = micModule != None;
    std::string sink, src;
    defaults(sink, src);
    bool recording = false;
    for (const StreamInfo &s : streams(false))
        recording |= s.device == mic.index && mic.index != None && !s.part;

    // PipeWire suspends an idle node itself, and one suspended through its
    // PulseAudio side does not carry sound again when resumed.
    if (owner && !onPipeWire)
        suspendMix(!recording);
    // The pad first and the voice last: what joins the mix later must not
    // disturb the voice's loopback as it starts.
    if (recording && owner) {
        // The pad: the server copies our stream to the room's sink and the
        // mix alike, on the room's own clock.
        if (bothModule != None && sink != bothSink)
            unload(bothModule);
        if (bothModule == None && !sink.empty() && sink != MixSinkName && sink != BothSinkName) {
            bothModule = load("module-combine-sink",
                              std::string("sink_name=") + BothSinkName + " slaves=" + sink + "," +
                                  MixSinkName + CombineTuning +
                                  " sink_properties='device.description=\"Zembra: oda ve mikrofonu "
                                  "birden (yalniz Zembra icin)\" " +
                                  marks("both") + "'");
            bothSink = bothModule != None ? sink : "";
        }
    }
    if (recording && mic.index != None) {
        routed = true;
        const std::uint32_t both = sinkIndex(BothSinkName);
        for (const StreamInfo &s : ourStreams())
            if (both != None && s.device != both)
                move(s.index, BothSinkName);
    } else if (routed) {
        for (const StreamInfo &s : ourStreams())
            if (!sink.empty() && sink != BothSinkName)
                move(s.index, sink);
        routed = false;
    }
    // A loopback that starts while the mix's first recorder is still settling
    // drops and repeats frames as the two adjust their latencies (the server's
    // own doing, seen with its modules alone); a little later it starts clean.
    const auto now = std::chrono::steady_clock::now();
    if (!recording)
        recordingSince.reset();
    else if (!recordingSince)
        recordingSince = now;
    const bool settled = recordingSince && now - *recordingSince >= VoiceSettle;
    if (recording && !settled && voiceModule == None)
        wakeAt = *recordingSince + VoiceSettle;
    if (recording && owner && (settled || voiceModule != None)) {
        // The voice: the default microphone, never a monitor nor ours, which
        // would feed the mix back into itself. A desktop that records ours by
        // default still has the user's voice in another.
        if (src == SourceName)
            src = anotherMicrophone();
        const SourceInfo voice = src.empty() ? SourceInfo{} : source(src);
        const bool usable = voice.index != None && !voice.monitor;
        if (voiceModule != None && (!usable || src != voiceSource))
            unload(voiceModule);
        if (voiceModule == None && usable) {
            voiceModule = loadVoice(
                "source=" + src + " sink=" + MixSinkName + " latency_msec=" + LoopbackLatencyMs +
                " source_dont_move=true sink_dont_move=true"
                " sink_input_properties='media.name=\"Zembra: ses\" " +
                marks("voice") + "' source_output_properties='media.name=\"Zembra: ses\" " +
                marks("voice") + "'");
            voiceSource = voiceModule != None ? src : "";
            if (voiceModule != None) {
                // Asked again, and this time answered: the first is not waited for.
                muteVoice(true);
                voiceMutedUntil = now + VoiceMuted;
            }
        }
        if (voiceModule != None && voiceMutedUntil) {
            if (now >= *voiceMutedUntil) {
                muteVoice(false);
                voiceMutedUntil.reset();
            } else {
                wakeAt = *voiceMutedUntil;
            }
        }
    }
    if (!recording) {
        // The real microphone closes as soon as nobody listens.
        unload(voiceModule);
        voiceMutedUntil.reset();
        unload(bothModule);
        voiceSource.clear();
        bothSink.clear();
    }
}

void VirtualMicrophone::Core::apply(bool on)
{
    if (server != Server::Pulse && pipeWire.connect()) {
        server = Server::PipeWire;
        StayAwake::set(pipeWire.reconcile(on));
        pipeWireUsed = on;
        return;
    }
    server = Server::Pulse;
    pipeWireUsed = false;
    if (on || mixModule != None || micModule != None || routed)
        reconcile(on);
    // Our stream coming and going while a call records would change the mix's
    // latency under the voice's loopback, which drops frames at each change.
    StayAwake::set(routed);
}

void VirtualMicrophone::Core::run()
{
    // What a killed copy made in PipeWire went with it; a PulseAudio server
    // keeps its modules.
    if (pipeWire.connect())
        server = Server::PipeWire;
    else if (connect()) {
        server = Server::Pulse;
        sweep();
    }
    std::unique_lock lock(mutex);
    for (;;) {
        // Now and then even unasked, so that a copy whose owner ended takes over.
        const auto wait = wakeAt ? std::max(std::chrono::steady_clock::duration::zero(),
                                            *wakeAt - std::chrono::steady_clock::now())
                                 : std::chrono::steady_clock::duration(std::chrono::seconds(1));
        const bool due = wakeAt.has_value();
        wakeAt.reset();
        const auto asked = [this] { return quit || dirty || want != applied; };
        // Off, with nothing of ours in the server: nothing to look at until asked.
        if (!want && !due && !pipeWireUsed && mixModule == None && micModule == None && !routed)
            cv.wait(lock, asked);
        else
            cv.wait_for(
                lock, std::min<std::chrono::steady_clock::duration>(wait, std::chrono::seconds(1)),
                asked);
        if (quit)
            break;
        const bool on = want;
        dirty = false;
        lock.unlock();
        if (on || pipeWireUsed || mixModule != None || micModule != None || routed)
            apply(on);
        lock.lock();
        applied = on;
        ++passes;
        cv.notify_all();
    }
    lock.unlock();
    StayAwake::set(false);
    if (pipeWireUsed)
        pipeWire.reconcile(false);
    teardown();
    disconnect();
}

VirtualMicrophone::VirtualMicrophone(std::chrono::milliseconds timeout)
    : core_(std::make_shared<Core>(timeout))
{
    worker_ = std::thread([core = core_] { core->run(); });
}

VirtualMicrophone::~VirtualMicrophone()
{
    {
        std::lock_guard lock(core_->mutex);
        core_->quit = true;
    }
    core_->cv.notify_all();
    // The worker removes everything on its way out; each call it makes is bounded.
    worker_.join();
}

bool VirtualMicrophone::setOn(bool on)
{
    std::unique_lock lock(core_->mutex);
    core_->want = on;
    core_->dirty = true;
    core_->cv.notify_all();
    const std::uint64_t seen = core_->passes;
    return core_->cv.wait_for(lock, core_->timeout * 4, [&] {
        return core_->passes > seen && core_->applied == on && !core_->dirty;
    });
}

void VirtualMicrophone::request(bool on)
{
    {
        std::lock_guard lock(core_->mutex);
        core_->want = on;
        core_->dirty = true;
    }
    core_->cv.notify_all();
}

bool VirtualMicrophone::isOn() const
{
    std::lock_guard lock(core_->mutex);
    return core_->want;
}

void VirtualMicrophone::removeNow()
{
    setOn(false);
}

#include "audio/pipewire_microphone.h"

#include "audio/log.h"
#include "audio/stay_awake.h"

#include <pipewire/extensions/metadata.h>
#include <pipewire/impl-module.h>
#include <pipewire/pipewire.h>
#include <spa/utils/json.h>

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr const char *SourceName = "zembra_mic";
constexpr const char *CaptureName = "zembra_mic_in";
// Marks what we make, so that the tests and a second copy can tell it.
constexpr const char *PartKey = "zembra.part";
// How long the voice waits for this program's output at the start of a call.
constexpr std::chrono::milliseconds OutputAwaited{500};
// How long after a source came or went the default is read again.
constexpr std::chrono::seconds SourcesSettle{3};

const char *clientConfig()
{
    int major = 0, minor = 0, micro = 0;
    std::sscanf(pw_get_library_version(), "%d.%d.%d", &major, &minor, &micro);
    return major >= 1 ? "client.conf" : "client-rt.conf";
}

bool alive(long pid)
{
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

std::string text(const spa_dict *props, const char *key)
{
    const char *v = props ? spa_dict_lookup(props, key) : nullptr;
    return v ? v : "";
}

long number(const spa_dict *props, const char *key)
{
    const char *v = props ? spa_dict_lookup(props, key) : nullptr;
    return v ? std::strtol(v, nullptr, 10) : 0;
}

struct Node {
    std::string name, mediaClass, appId;
    long pid = 0, priority = 0;
    bool part = false;
    pw_proxy *proxy = nullptr;
    spa_hook listener{};
};

struct Port {
    std::uint32_t node;
    bool output, monitor;
    std::string channel;
};

struct Link {
    std::uint32_t outNode, outPort, inNode, inPort;
};

// The name in a metadata value such as {"name":"alsa_input.usb-..."}.
std::string nameIn(const char *json)
{
    if (!json)
        return {};
    spa_json it[2];
    spa_json_init(&it[0], json, std::strlen(json));
    if (spa_json_enter_object(&it[0], &it[1]) <= 0)
        return {};
    char key[64];
    while (spa_json_get_string(&it[1], key, sizeof key) > 0) {
        if (std::strcmp(key, "name") == 0) {
            char value[512];
            return spa_json_get_string(&it[1], value, sizeof value) > 0 ? value : "";
        }
        const char *skip;
        if (spa_json_next(&it[1], &skip) <= 0)
            break;
    }
    return {};
}

} // namespace

struct PipeWireMicrophone::Impl {
    Impl(std::chrono::milliseconds t, std::function<void()> c)
        : timeout(t)
        , changed(std::move(c))
    {
    }

    const std::chrono::milliseconds timeout;
    const std::function<void()> changed;
    const long pid = long(::getpid());

    pw_thread_loop *loop = nullptr;
    pw_context *context = nullptr;
    pw_core *core = nullptr;
    pw_registry *registry = nullptr;
    pw_metadata *metadata = nullptr;
    std::uint32_t metadataId = SPA_ID_INVALID;
    // When a source last came or went: the session manager then chooses the
    // default again.
    std::optional<std::chrono::steady_clock::time_point> sourcesChanged;
    spa_hook coreListener{}, registryListener{}, metadataListener{};
    int doneSeq = -1;
    bool broken = false;

    std::map<std::uint32_t, Node> nodes;
    std::map<std::uint32_t, Port> ports;
    std::map<std::uint32_t, Link> links;
    std::string defaultSource;
    std::optional<std::chrono::steady_clock::time_point> recordedSince;
    std::string voiceSaid; // what the log last said of the voice

    void bindMetadata();

    pw_impl_module *module = nullptr;
    std::map<std::pair<std::uint32_t, std::uint32_t>, pw_proxy *> made; // output, input port

    ~Impl() { disconnect(); }

    bool connect();
    void disconnect();
    // Waits until the server has answered everything asked so far (under the lock).
    bool roundtrip();
    bool reconcile(bool on);
    void unlink(std::pair<std::uint32_t, std::uint32_t> ports);
    void removeAll();
    std::uint32_t ourNode(const char *part) const;
    std::uint32_t voiceNode(std::uint32_t capture) const;
    std::vector<std::uint32_t> outputPorts(std::uint32_t node) const;
    bool load();
};

namespace {

void onNodeInfo(void *data, const pw_node_info *info)
{
    auto *impl = static_cast<PipeWireMicrophone::Impl *>(data);
    const auto found = impl->nodes.find(info->id);
    // Later infos say only what changed.
    if (found == impl->nodes.end() || !info->props ||
        !(info->change_mask & PW_NODE_CHANGE_MASK_PROPS))
        return;
    Node &n = found->second;
    n.name = text(info->props, PW_KEY_NODE_NAME);
    n.mediaClass = text(info->props, PW_KEY_MEDIA_CLASS);
    n.appId = text(info->props, PW_KEY_APP_ID);
    n.pid = number(info->props, PW_KEY_APP_PROCESS_ID);
    n.priority = number(info->props, PW_KEY_PRIORITY_SESSION);
    n.part = spa_dict_lookup(info->props, PartKey) != nullptr;
    impl->changed();
}

const pw_node_events nodeEvents = [] {
    pw_node_events e{};
    e.version = PW_VERSION_NODE_EVENTS;
    e.info = onNodeInfo;
    return e;
}();

int onMetadata(void *data, std::uint32_t subject, const char *key, const char *, const char *value)
{
    auto *impl = static_cast<PipeWireMicrophone::Impl *>(data);
    if (subject == PW_ID_CORE && (!key || std::strcmp(key, "default.audio.source") == 0)) {
        // A fresh binding tells every value again: only a change is news.
        std::string name = key ? nameIn(value) : "";
        if (name != impl->defaultSource) {
            impl->defaultSource = std::move(name);
            impl->changed();
        }
    }
    return 0;
}

const pw_metadata_events metadataEvents = [] {
    pw_metadata_events e{};
    e.version = PW_VERSION_METADATA_EVENTS;
    e.property = onMetadata;
    return e;
}();

void onGlobal(void *data, std::uint32_t id, std::uint32_t, const char *type, std::uint32_t,
              const spa_dict *props)
{
    auto *impl = static_cast<PipeWireMicrophone::Impl *>(data);
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
        // The registry names neither the application nor the process of a
        // node: its own info does.
        Node &n = impl->nodes[id];
        n.name = text(props, PW_KEY_NODE_NAME);
        n.mediaClass = text(props, PW_KEY_MEDIA_CLASS);
        if (n.mediaClass == "Audio/Source")
            impl->sourcesChanged = std::chrono::steady_clock::now();
        n.proxy = static_cast<pw_proxy *>(
            pw_registry_bind(impl->registry, id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
        if (n.proxy)
            pw_proxy_add_object_listener(n.proxy, &n.listener, &nodeEvents, impl);
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
        impl->ports[id] = {std::uint32_t(number(props, PW_KEY_NODE_ID)),
                           text(props, PW_KEY_PORT_DIRECTION) == "out",
                           text(props, PW_KEY_PORT_MONITOR) == "true",
                           text(props, PW_KEY_AUDIO_CHANNEL)};
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Link) == 0) {
        impl->links[id] = {std::uint32_t(number(props, PW_KEY_LINK_OUTPUT_NODE)),
                           std::uint32_t(number(props, PW_KEY_LINK_OUTPUT_PORT)),
                           std::uint32_t(number(props, PW_KEY_LINK_INPUT_NODE)),
                           std::uint32_t(number(props, PW_KEY_LINK_INPUT_PORT))};
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0 && !impl->metadata &&
               text(props, PW_KEY_METADATA_NAME) == "default") {
        impl->metadataId = id;
        impl->bindMetadata();
    } else {
        return;
    }
    impl->changed();
}

void onGlobalRemove(void *data, std::uint32_t id)
{
    auto *impl = static_cast<PipeWireMicrophone::Impl *>(data);
    const auto node = impl->nodes.find(id);
    if (node != impl->nodes.end()) {
        if (node->second.mediaClass == "Audio/Source")
            impl->sourcesChanged = std::chrono::steady_clock::now();
        if (node->second.proxy) {
            spa_hook_remove(&node->second.listener);
            pw_proxy_destroy(node->second.proxy);
        }
        impl->nodes.erase(node);
    }
    impl->ports.erase(id);
    impl->links.erase(id);
    if (id == impl->metadataId && impl->metadata) {
        spa_hook_remove(&impl->metadataListener);
        pw_proxy_destroy(reinterpret_cast<pw_proxy *>(impl->metadata));
        impl->metadata = nullptr;
        impl->metadataId = SPA_ID_INVALID;
    }
    impl->changed();
}

const pw_registry_events registryEvents = [] {
    pw_registry_events e{};
    e.version = PW_VERSION_REGISTRY_EVENTS;
    e.global = onGlobal;
    e.global_remove = onGlobalRemove;
    return e;
}();

void onDone(void *data, std::uint32_t, int seq)
{
    auto *impl = static_cast<PipeWireMicrophone::Impl *>(data);
    impl->doneSeq = seq;
    pw_thread_loop_signal(impl->loop, false);
}

void onError(void *data, std::uint32_t id, int, int res, const char *message)
{
    auto *impl = static_cast<PipeWireMicrophone::Impl *>(data);
    AudioLog::write("microphone: PipeWire error on %u: %s (%d)", id, message ? message : "", res);
    if (id == PW_ID_CORE && res == -EPIPE)
        impl->broken = true;
    pw_thread_loop_signal(impl->loop, false);
    impl->changed();
}

const pw_core_events coreEvents = [] {
    pw_core_events e{};
    e.version = PW_VERSION_CORE_EVENTS;
    e.done = onDone;
    e.error = onError;
    return e;
}();

} // namespace

// A fresh binding is told every value the metadata holds.
void PipeWireMicrophone::Impl::bindMetadata()
{
    if (metadata) {
        spa_hook_remove(&metadataListener);
        pw_proxy_destroy(reinterpret_cast<pw_proxy *>(metadata));
    }
    metadata = static_cast<pw_metadata *>(
        pw_registry_bind(registry, metadataId, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA, 0));
    if (metadata)
        pw_metadata_add_listener(metadata, &metadataListener, &metadataEvents, this);
}

bool PipeWireMicrophone::Impl::connect()
{
    if (core && !broken)
        return true;
    disconnect();
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });
    loop = pw_thread_loop_new("zembra-mic", nullptr);
    if (!loop)
        return false;
    context = pw_context_new(pw_thread_loop_get_loop(loop),
                             pw_properties_new(PW_KEY_CONFIG_NAME, clientConfig(), PW_KEY_APP_NAME,
                                               "Zembra", PW_KEY_APP_ID, "zembra", nullptr),
                             0);
    if (!context || pw_thread_loop_start(loop) < 0) {
        disconnect();
        return false;
    }
    pw_thread_loop_lock(loop);
    core = pw_context_connect(context, nullptr, 0);
    bool ok = false;
    if (core) {
        pw_core_add_listener(core, &coreListener, &coreEvents, this);
        registry = pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
        pw_registry_add_listener(registry, &registryListener, &registryEvents, this);
        // Twice: the first answer brings the globals, the second their infos.
        ok = roundtrip() && roundtrip();
    }
    pw_thread_loop_unlock(loop);
    if (!ok) {
        AudioLog::write("microphone: no PipeWire daemon");
        disconnect();
    }
    return ok;
}

void PipeWireMicrophone::Impl::disconnect()
{
    if (loop)
        pw_thread_loop_stop(loop);
    for (auto &[ports, proxy] : made)
        pw_proxy_destroy(proxy);
    made.clear();
    if (module)
        pw_impl_module_destroy(module);
    module = nullptr;
    for (auto &[id, n] : nodes)
        if (n.proxy) {
            spa_hook_remove(&n.listener);
            pw_proxy_destroy(n.proxy);
        }
    nodes.clear();
    ports.clear();
    links.clear();
    if (metadata) {
        spa_hook_remove(&metadataListener);
        pw_proxy_destroy(reinterpret_cast<pw_proxy *>(metadata));
        metadata = nullptr;
    }
    metadataId = SPA_ID_INVALID;
    sourcesChanged.reset();
    if (registry) {
        spa_hook_remove(&registryListener);
        pw_proxy_destroy(reinterpret_cast<pw_proxy *>(registry));
        registry = nullptr;
    }
    if (core) {
        spa_hook_remove(&coreListener);
        pw_core_disconnect(core);
        core = nullptr;
    }
    if (context)
        pw_context_destroy(context);
    context = nullptr;
    if (loop)
        pw_thread_loop_destroy(loop);
    loop = nullptr;
    broken = false;
}

bool PipeWireMicrophone::Impl::roundtrip()
{
    const int seq = pw_core_sync(core, PW_ID_CORE, 0);
    timespec until{};
    pw_thread_loop_get_time(loop, &until,
                            std::chrono::duration_cast<std::chrono::nanoseconds>(timeout).count());
    while (doneSeq < seq && !broken)
        if (pw_thread_loop_timed_wait_full(loop, &until) != 0)
            return false;
    return !broken;
}

std::uint32_t PipeWireMicrophone::Impl::ourNode(const char *part) const
{
    const std::string name = std::strcmp(part, "microphone") == 0 ? SourceName : CaptureName;
    for (const auto &[id, n] : nodes)
        if (n.part && n.pid == pid && n.name == name)
            return id;
    return SPA_ID_INVALID;
}

// The default source, or the first other one while the default is ours (a
// desktop set to record "Zembra mikrofonu" everywhere); never a part of ours,
// which would feed the microphone into itself.
std::uint32_t PipeWireMicrophone::Impl::voiceNode(std::uint32_t capture) const
{
    std::uint32_t best = SPA_ID_INVALID;
    long bestPriority = 0;
    const bool defaultIsOurs = defaultSource == SourceName;
    for (const auto &[id, n] : nodes) {
        if (n.part || id == capture || n.mediaClass != "Audio/Source")
            continue;
        if (!defaultIsOurs && n.name == defaultSource)
            return id;
        if (defaultIsOurs && (best == SPA_ID_INVALID || n.priority > bestPriority))
            best = id, bestPriority = n.priority;
    }
    return best;
}

std::vector<std::uint32_t> PipeWireMicrophone::Impl::outputPorts(std::uint32_t node) const
{
    std::vector<std::uint32_t> found;
    for (const auto &[id, p] : ports)
        if (p.node == node && p.output && !p.monitor)
            found.push_back(id);
    return found;
}

bool PipeWireMicrophone::Impl::load()
{
    // The playback side is the microphone the desktop offers; the capture
    // side is an input stream that no session manager links on its own.
    const std::string marks = "application.name = Zembra application.id = zembra "
                              "application.process.id = " +
                              std::to_string(pid);
    const std::string args =
        "{ node.description = \"Zembra mikrofonu\" audio.position = [ FL FR ]"
        " capture.props = { node.name = " +
        std::string(CaptureName) +
        " node.description = \"Zembra mikrofonu: giriş\" media.name = \"Zembra: ses ve efekt\""
        " node.autoconnect = false node.dont-reconnect = true " +
        marks + " " + PartKey +
        " = capture }"
        " playback.props = { node.name = " +
        SourceName +
        " node.description = \"Zembra mikrofonu\" media.class = Audio/Source"
        " device.icon-name = audio-input-microphone " +
        marks + " " + PartKey + " = microphone } }";
    module = pw_context_load_module(context, "libpipewire-module-loopback", args.c_str(), nullptr);
    AudioLog::write("microphone: libpipewire-module-loopback %s", module ? "loaded" : "failed");
    return module != nullptr;
}

void PipeWireMicrophone::Impl::unlink(std::pair<std::uint32_t, std::uint32_t> key)
{
    const auto found = made.find(key);
    if (found == made.end())
        return;
    // A link that does not linger goes with its proxy.
    pw_proxy_destroy(found->second);
    made.erase(found);
}

void PipeWireMicrophone::Impl::removeAll()
{
    while (!made.empty())
        unlink(made.begin()->first);
    if (module) {
        pw_impl_module_destroy(module);
        module = nullptr;
        AudioLog::write("microphone: loopback removed");
    }
}

bool PipeWireMicrophone::Impl::reconcile(bool on)
{
    pw_thread_loop_lock(loop);
    if (!on) {
        removeAll();
        roundtrip();
        pw_thread_loop_unlock(loop);
        return false;
    }
    roundtrip();
    std::uint32_t mic = ourNode("microphone");
    // Another copy's microphone serves: it carries every copy's sound. Of two
    // copies that made one at once, the older keeps its own.
    for (const auto &[id, n] : nodes)
        if (n.part && n.name == SourceName && n.pid != pid && alive(n.pid) &&
            (!module || n.pid < pid)) {
            removeAll();
            roundtrip();
            // That copy's microphone carries our sound too, while recorded.
            bool recorded = false;
            for (const auto &[linkId, l] : links)
                recorded |= l.outNode == id;
            pw_thread_loop_unlock(loop);
            return recorded;
        }
    if (!module && load()) {
        roundtrip();
        roundtrip();
        mic = ourNode("microphone");
    }
    const std::uint32_t capture = ourNode("capture");
    bool recorded = false;
    for (const auto &[id, l] : links) {
        const auto into = nodes.find(l.inNode);
        recorded |= l.outNode == mic && mic != SPA_ID_INVALID &&
                    (into == nodes.end() || !(into->second.part && into->second.pid == pid));
    }
    // What should feed the capture side: the voice and every copy's sound.
    std::vector<std::uint32_t> feeds;
    const auto now = std::chrono::steady_clock::now();
    if (!recorded)
        recordedSince.reset();
    else if (!recordedSince)
        recordedSince = now;
    // The session manager has been seen to choose a microphone that came back
    // without telling its listeners (WirePlumber 0.4); while a call records,
    // the choice is read again for a while after each change of sources.
    if (recorded && metadataId != SPA_ID_INVALID && sourcesChanged &&
        now - *sourcesChanged < SourcesSettle) {
        bindMetadata();
        roundtrip();
    }
    if (recorded && capture != SPA_ID_INVALID) {
        bool ourOutput = false;
        for (const auto &[id, n] : nodes)
            if (!n.part && n.appId == "zembra" && n.mediaClass == "Stream/Output/Audio") {
                feeds.push_back(id);
                ourOutput |= n.pid == pid;
            }
        // A call wakes this program's output. Linked after the voice, it would
        // join the voice to the room's driver a moment into the call, and the
        // switch of clock costs the voice a stretch; so the voice waits for it,
        // a little at most.
        const bool outputComing =
            !ourOutput && StayAwake::watched() && now - *recordedSince < OutputAwaited;
        const std::uint32_t voice = voiceNode(capture);
        if (voice != SPA_ID_INVALID && !outputComing)
            feeds.insert(feeds.begin(), voice);
        const std::string said = voice == SPA_ID_INVALID ? "none"
                                 : outputComing          ? "waiting for our output"
                                                         : nodes.at(voice).name;
        if (said != voiceSaid)
            AudioLog::write("microphone: default source \"%s\"; the voice: %s",
                            defaultSource.c_str(), said.c_str());
        voiceSaid = said;
    }
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::pair<std::uint32_t, std::uint32_t>> want;
    for (const auto &[in, p] : ports) {
        if (p.node != capture || p.output)
            continue;
        for (const std::uint32_t feed : feeds) {
            const std::vector<std::uint32_t> outs = outputPorts(feed);
            std::uint32_t from = SPA_ID_INVALID;
            for (const std::uint32_t out : outs)
                if (ports.at(out).channel == p.channel)
                    from = out;
            // A mono microphone speaks on both sides.
            if (from == SPA_ID_INVALID && outs.size() == 1)
                from = outs.front();
            if (from != SPA_ID_INVALID)
                want[{from, in}] = {feed, capture};
        }
    }
    std::vector<std::pair<std::uint32_t, std::uint32_t>> stale;
    for (const auto &[key, proxy] : made)
        if (!want.count(key))
            stale.push_back(key);
    for (const auto &key : stale)
        unlink(key);
    for (const auto &[key, nodePair] : want) {
        if (made.count(key))
            continue;
        pw_properties *props = pw_properties_new(nullptr, nullptr);
        pw_properties_setf(props, PW_KEY_LINK_OUTPUT_NODE, "%u", nodePair.first);
        pw_properties_setf(props, PW_KEY_LINK_OUTPUT_PORT, "%u", key.first);
        pw_properties_setf(props, PW_KEY_LINK_INPUT_NODE, "%u", nodePair.second);
        pw_properties_setf(props, PW_KEY_LINK_INPUT_PORT, "%u", key.second);
        pw_properties_set(props, PW_KEY_OBJECT_LINGER, "false");
        pw_properties_set(props, PW_KEY_APP_ID, "zembra");
        pw_properties_setf(props, PW_KEY_APP_PROCESS_ID, "%ld", pid);
        pw_properties_set(props, PartKey, "link");
        auto *proxy = static_cast<pw_proxy *>(pw_core_create_object(
            core, "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &props->dict, 0));
        pw_properties_free(props);
        if (proxy)
            made[key] = proxy;
        AudioLog::write("microphone: link %u:%u -> %u:%u %s", nodePair.first, key.first,
                        nodePair.second, key.second, proxy ? "made" : "failed");
    }
    roundtrip();
    pw_thread_loop_unlock(loop);
    return recorded;
}

PipeWireMicrophone::PipeWireMicrophone(std::chrono::milliseconds timeout,
                                       std::function<void()> changed)
    : impl_(std::make_unique<Impl>(timeout, std::move(changed)))
{
}

PipeWireMicrophone::~PipeWireMicrophone() = default;

bool PipeWireMicrophone::connect()
{
    return impl_->connect();
}

bool PipeWireMicrophone::reconcile(bool on)
{
    return impl_->reconcile(on);
}

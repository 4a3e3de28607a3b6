#include "node_watch.h"

#include "press_common.h"

#include <pipewire/pipewire.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace Bench {

struct NodeWatch::Hook {
    NodeWatch *owner = nullptr;
    pw_proxy *proxy = nullptr;
    spa_hook listener{};
    bool matches = false;

    static void onNodeInfo(void *data, const pw_node_info *info)
    {
        auto *self = static_cast<Hook *>(data);
        const char *latency = nullptr;
        // An update of the state alone comes with no properties.
        const bool withProps = info->props && (info->change_mask & PW_NODE_CHANGE_MASK_PROPS);
        if (withProps) {
            // A stream's node may leave the application's name to its client.
            const char *app = spa_dict_lookup(info->props, PW_KEY_APP_NAME);
            const char *client = spa_dict_lookup(info->props, PW_KEY_CLIENT_ID);
            if (!app && client) {
                const auto it = self->owner->clients_.find(std::uint32_t(std::atol(client)));
                if (it != self->owner->clients_.end())
                    app = it->second.c_str();
            }
            const char *media = spa_dict_lookup(info->props, PW_KEY_MEDIA_NAME);
            self->matches =
                app && media && self->owner->application_ == app && self->owner->media_ == media;
            latency = spa_dict_lookup(info->props, PW_KEY_NODE_LATENCY);
        }
        if (self->matches)
            self->owner->seen(info->id, info->state == PW_NODE_STATE_RUNNING, latency, withProps);
    }

    // Every node is bound: a stream's global carries too few properties to
    // tell whose it is; its info carries them all.
    static void onGlobal(void *data, std::uint32_t id, std::uint32_t, const char *type,
                         std::uint32_t, const spa_dict *props)
    {
        NodeWatch *owner = static_cast<Hook *>(data)->owner;
        if (std::string(type) == PW_TYPE_INTERFACE_Client) {
            const char *app = props ? spa_dict_lookup(props, PW_KEY_APP_NAME) : nullptr;
            owner->clients_[id] = app ? app : "";
            return;
        }
        if (std::string(type) != PW_TYPE_INTERFACE_Node)
            return;
        auto node = std::make_unique<Hook>();
        node->owner = owner;
        node->proxy = static_cast<pw_proxy *>(
            pw_registry_bind(reinterpret_cast<pw_registry *>(owner->registry_->proxy), id, type,
                             PW_VERSION_NODE, 0));
        if (!node->proxy)
            return;
        static const pw_node_events events = [] {
            pw_node_events e{};
            e.version = PW_VERSION_NODE_EVENTS;
            e.info = &Hook::onNodeInfo;
            return e;
        }();
        pw_node_add_listener(reinterpret_cast<pw_node *>(node->proxy), &node->listener, &events,
                             node.get());
        owner->nodes_.push_back(std::move(node));
    }
};

NodeWatch::NodeWatch(std::string application, std::string media)
    : application_(std::move(application))
    , media_(std::move(media))
{
}

NodeWatch::~NodeWatch()
{
    stop();
}

bool NodeWatch::start(std::string *error)
{
    pw_init(nullptr, nullptr);
    loop_ = pw_thread_loop_new("bench-node-watch", nullptr);
    if (!loop_ || pw_thread_loop_start(loop_) < 0) {
        *error = "cannot start a PipeWire loop";
        return false;
    }
    pw_thread_loop_lock(loop_);
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
    core_ = context_ ? pw_context_connect(context_, nullptr, 0) : nullptr;
    if (!core_) {
        pw_thread_loop_unlock(loop_);
        *error = "cannot connect to PipeWire";
        return false;
    }
    registry_ = std::make_unique<Hook>();
    registry_->owner = this;
    registry_->proxy =
        reinterpret_cast<pw_proxy *>(pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0));
    static const pw_registry_events events = [] {
        pw_registry_events e{};
        e.version = PW_VERSION_REGISTRY_EVENTS;
        e.global = &Hook::onGlobal;
        return e;
    }();
    pw_registry_add_listener(reinterpret_cast<pw_registry *>(registry_->proxy),
                             &registry_->listener, &events, registry_.get());
    pw_thread_loop_unlock(loop_);
    return true;
}

void NodeWatch::stop()
{
    if (!loop_)
        return;
    pw_thread_loop_lock(loop_);
    for (auto &node : nodes_) {
        spa_hook_remove(&node->listener);
        pw_proxy_destroy(node->proxy);
    }
    nodes_.clear();
    if (registry_) {
        spa_hook_remove(&registry_->listener);
        pw_proxy_destroy(registry_->proxy);
        registry_.reset();
    }
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

void NodeWatch::seen(std::uint32_t id, bool running, const char *latency, bool withProps)
{
    std::lock_guard lock(mutex_);
    running_[id] = running;
    const std::string l = latency ? latency : "";
    if (withProps && (history_.empty() || history_.back().latency != l))
        history_.push_back({nowNs(), l});
}

bool NodeWatch::running() const
{
    std::lock_guard lock(mutex_);
    for (const auto &[id, on] : running_)
        if (on)
            return true;
    return false;
}

std::vector<NodeWatch::Change> NodeWatch::history() const
{
    std::lock_guard lock(mutex_);
    return history_;
}

std::string NodeWatch::latest() const
{
    std::lock_guard lock(mutex_);
    return history_.empty() ? std::string() : history_.back().latency;
}

int NodeWatch::latestFrames(int rate) const
{
    const std::string l = latest();
    unsigned num = 0, den = 0;
    if (std::sscanf(l.c_str(), "%u/%u", &num, &den) != 2 || !den)
        return 0;
    return int(double(num) * rate / den + 0.5);
}

std::string NodeWatch::describe(std::int64_t originNs) const
{
    std::string out;
    char at[32];
    for (const Change &c : history()) {
        std::snprintf(at, sizeof at, " from %.1f s",
                      double(std::max<std::int64_t>(0, c.ns - originNs)) / 1e9);
        out += (out.empty() ? "" : ", ") + (c.latency.empty() ? "none" : c.latency) + at;
    }
    return out.empty() ? "no such stream seen" : out;
}

} // namespace Bench

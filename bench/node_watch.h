#pragma once

// Follows one program's stream as the PipeWire server has it: the node.latency
// on its node, each time it changes. What the program asked for, read from the
// server and not from the program.

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct pw_thread_loop;
struct pw_context;
struct pw_core;

namespace Bench {

class NodeWatch {
public:
    // Nodes whose application.name (the node's, or else its client's) and
    // media.name are these.
    NodeWatch(std::string application, std::string media);
    ~NodeWatch();
    NodeWatch(const NodeWatch &) = delete;
    NodeWatch &operator=(const NodeWatch &) = delete;

    bool start(std::string *error);
    void stop();

    struct Change {
        std::int64_t ns;     // when the server told
        std::string latency; // "64/48000"; "" while the node has none
    };
    std::vector<Change> history() const;
    std::string latest() const;
    // The latest node.latency in frames at `rate`; 0 before any.
    int latestFrames(int rate) const;
    // "64/48000 from 0.0 s, 128/48000 from 12.3 s" with times from `originNs`.
    std::string describe(std::int64_t originNs) const;
    // Whether one of the stream's nodes is running: the program plays, or has
    // not yet put its stream to sleep.
    bool running() const;

private:
    // A proxy and our listener on it.
    struct Hook;
    void seen(std::uint32_t id, bool running, const char *latency, bool withProps);

    std::string application_, media_;
    pw_thread_loop *loop_ = nullptr;
    pw_context *context_ = nullptr;
    pw_core *core_ = nullptr;
    std::unique_ptr<Hook> registry_;
    std::list<std::unique_ptr<Hook>> nodes_;
    std::map<std::uint32_t, std::string> clients_; // application names; the loop's thread only
    mutable std::mutex mutex_;
    std::vector<Change> history_;
    std::map<std::uint32_t, bool> running_; // per node id
};

} // namespace Bench

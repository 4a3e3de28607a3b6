#pragma once

#include <chrono>

namespace EngineSandbox {

// Whether the web engine can start here with its sandbox as the user's settings
// leave it. Where it cannot, the engine ends the whole process as it starts
// (as root, or with no user namespaces to be had), so it must not be started.
// The sandbox is never switched off on the user's behalf.
bool engineCanStart();

// How long the first use of the web view may wait for the sandbox's answer.
constexpr std::chrono::milliseconds ProbeWait{2500};

// Runs `probe` in a child forked from this process, so it may make only the calls
// that are safe after forking a process with threads, and says whether it
// returned true. A child that has not answered within `most` is killed and
// reaped and counts as false: the caller is the user-interface thread.
bool inChild(bool (*probe)(), std::chrono::milliseconds most = ProbeWait);

} // namespace EngineSandbox

#pragma once

namespace EngineSandbox {

// Whether the web engine can start here with its sandbox as the user's settings
// leave it. Where it cannot, the engine ends the whole process as it starts
// (as root, or with no user namespaces to be had), so it must not be started.
// The sandbox is never switched off on the user's behalf.
bool engineCanStart();

} // namespace EngineSandbox

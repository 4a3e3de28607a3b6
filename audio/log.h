#pragma once

// What the sound engine chose and why, for diagnosis. Silent unless the program
// installs a sink; never called from a real-time thread.
namespace AudioLog {

using Sink = void (*)(const char *message);

// Null: silent. Set before the engine starts; when it returns, the sink it
// replaced is no longer being called by any thread.
void setSink(Sink sink);
bool enabled();
void write(const char *format, ...) __attribute__((format(printf, 1, 2)));

} // namespace AudioLog

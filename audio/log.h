#pragma once

// What the sound engine chose and why, for diagnosis. Silent unless the program
// installs a sink; never called from a real-time thread.
namespace AudioLog {

using Sink = void (*)(const char *message);

// Null: silent. Set once, before the engine starts.
void setSink(Sink sink);
bool enabled();
void write(const char *format, ...) __attribute__((format(printf, 1, 2)));

} // namespace AudioLog

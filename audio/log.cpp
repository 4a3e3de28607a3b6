#include "audio/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {
std::atomic<AudioLog::Sink> sink{nullptr};
// Held while a line is in the sink, so that a sink taken away is out of use.
std::mutex writing;
} // namespace

void AudioLog::setSink(Sink s)
{
    const std::lock_guard lock(writing);
    sink = s;
}

bool AudioLog::enabled()
{
    return sink.load() != nullptr;
}

void AudioLog::write(const char *format, ...)
{
    if (!sink.load())
        return;
    char message[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    const std::lock_guard lock(writing);
    if (const Sink s = sink.load())
        s(message);
}

#include "audio/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace {
std::atomic<AudioLog::Sink> sink{nullptr};
}

void AudioLog::setSink(Sink s)
{
    sink = s;
}

bool AudioLog::enabled()
{
    return sink.load() != nullptr;
}

void AudioLog::write(const char *format, ...)
{
    const Sink s = sink.load();
    if (!s)
        return;
    char message[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    s(message);
}

// Ends the process while workers are writing to the engine's log, as a worker
// left running at shutdown (a sound server that hangs) would; logging is on
// when QT_LOGGING_RULES says so. Returns from main once every worker has
// written a line, so that the statics die while they write.
#include "audio/log.h"
#include "effects/sound_log.h"

#include <atomic>
#include <thread>

int main()
{
    SoundLog::install();
    constexpr int Workers = 4;
    static std::atomic<int> started{0};
    for (int n = 0; n < Workers; ++n) {
        std::thread([n] {
            AudioLog::write("worker %d: first line", n);
            started.fetch_add(1);
            for (unsigned long line = 1;; ++line)
                AudioLog::write("worker %d: line %lu", n, line);
        }).detach();
    }
    while (started.load() < Workers)
        std::this_thread::yield();
    return 0;
}

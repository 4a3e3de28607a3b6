#include "effects/sound_log.h"

#include "audio/log.h"

Q_LOGGING_CATEGORY(lcSound, "zembra.sound", QtWarningMsg)

namespace {

// The engine may leave its worker running at the end (a sound server that
// hangs), and the worker may log while the statics are destroyed: the sink goes
// first, once the line being written is out.
struct SinkRemoval {
    SinkRemoval() = default;
    SinkRemoval(const SinkRemoval &) = delete;
    SinkRemoval &operator=(const SinkRemoval &) = delete;
    ~SinkRemoval() { AudioLog::setSink(nullptr); }
};

void writeLine(const char *message)
{
    qCInfo(lcSound, "%s", message);
    // Made after the first line, so after the category and all that Qt makes to
    // write a line, and destroyed before them: statics die in the reverse order
    // of their making.
    static const SinkRemoval removal;
}

} // namespace

void SoundLog::install()
{
    // Off, the engine does not even format its reports.
    if (lcSound().isInfoEnabled())
        AudioLog::setSink(writeLine);
    else
        AudioLog::setSink(nullptr);
}

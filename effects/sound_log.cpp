#include "effects/sound_log.h"

#include "audio/log.h"

Q_LOGGING_CATEGORY(lcSound, "zembra.sound", QtWarningMsg)

void SoundLog::install()
{
    // Off, the engine does not even format its reports.
    if (lcSound().isInfoEnabled())
        AudioLog::setSink([](const char *message) { qCInfo(lcSound, "%s", message); });
    else
        AudioLog::setSink(nullptr);
}

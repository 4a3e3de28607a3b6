#pragma once

#include <QLoggingCategory>

// What the sound engine chose and why: silent unless asked for, as in
// QT_LOGGING_RULES="zembra.sound.info=true".
Q_DECLARE_LOGGING_CATEGORY(lcSound)

namespace SoundLog {
// Passes the engine's reports to lcSound when that category is on; call before
// the engine starts.
void install();
} // namespace SoundLog

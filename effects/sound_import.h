#pragma once

#include <QString>

// Brings a sound file the user chose into the user's own folder.
namespace SoundImport {

// Largest file taken: more than the player ever holds of one sound.
inline constexpr qint64 MaxBytes = 64 * 1024 * 1024;

// Copies `source` (a link counts as the file it points to) to `target` when it
// is a sound the player can play, through a hidden file beside `target` that is
// synced and renamed over it, so that `target` is either the old file or the
// whole new one, never part of it. Returns an empty string on success, else a
// short message for the status panel; `target` is then untouched.
QString copy(const QString &source, const QString &target);

} // namespace SoundImport

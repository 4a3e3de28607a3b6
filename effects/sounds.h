#pragma once

#include <QString>

class EffectPlayer;

namespace Sounds {

// Path beside the program, built the same way for every name: no check for a
// trailing separator and no normalisation.
QString effectPath(const QString &programDir, const QString &name);

// Starts the named sound and returns at once; never reports anything.
void PlayEffect(const QString &name);

// Lets the player decode every sound of the program ahead of its first use.
void preloadAll();

// The sink PlayEffect hands requests to (not owned). Null means silence.
void setPlayer(EffectPlayer *player);
EffectPlayer *player();

} // namespace Sounds

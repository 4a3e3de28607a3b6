#pragma once

#include <QString>

class EffectPlayer;

// The program's sounds, asked for by file name from the folder of the program.
class Sounds {
public:
    // Plays through `player` (not owned), which must outlive this.
    explicit Sounds(EffectPlayer &player);
    Sounds(EffectPlayer &player, const QString &programDir);

    // Path beside the program, built the same way for every name: no check for a
    // trailing separator and no normalisation.
    static QString effectPath(const QString &programDir, const QString &name);

    // Starts the named sound and returns at once; never reports anything.
    void PlayEffect(const QString &name) const;

    // Lets the player decode every sound of the program ahead of its first use.
    void preloadAll() const;

private:
    EffectPlayer &player_;
    QString programDir_;
};

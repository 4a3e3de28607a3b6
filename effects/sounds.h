#pragma once

#include <QString>

class EffectPlayer;

// The program's sounds, asked for by file name: from the user's own folder
// ($XDG_DATA_HOME/zembra) where a file of that name lies there, otherwise from
// the folder of the program. Looked up at every request, never cached.
class Sounds {
public:
    // Plays through `player` (not owned), which must outlive this.
    explicit Sounds(EffectPlayer &player);
    Sounds(EffectPlayer &player, const QString &programDir, const QString &userDir);

    // Where the user's own sounds go.
    static QString userSoundsDir();

    // Path beside the program, built the same way for every name: no check for a
    // trailing separator and no normalisation.
    static QString effectPath(const QString &programDir, const QString &name);

    // Where the user's own file of that name lies, or would.
    QString ownFile(const QString &name) const { return effectPath(userDir_, name); }

    // The file a request for `name` plays now.
    QString fileFor(const QString &name) const;

    // Starts the named sound and returns at once; never reports anything.
    void PlayEffect(const QString &name) const;

    // Lets the player decode every sound of the program ahead of its first use.
    void preloadAll() const;

    // Waits until the sound started last has been heard to its end, as long as
    // a goodbye may take at most.
    void playOut() const;

private:
    EffectPlayer &player_;
    QString programDir_;
    QString userDir_;
};

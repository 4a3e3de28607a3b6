#include "sounds.h"

#include "effect_player.h"

#include <QCoreApplication>

namespace {
EffectPlayer *currentPlayer = nullptr;
}

QString Sounds::effectPath(const QString &programDir, const QString &name)
{
    return programDir + QLatin1Char('/') + name;
}

void Sounds::PlayEffect(const QString &name)
{
    if (!currentPlayer)
        return;
    // applicationDirPath() is resolved once by Qt and cached, so no file I/O here.
    const QString path = effectPath(QCoreApplication::applicationDirPath(), name);
    currentPlayer->play(path.toUtf8().toStdString());
}

void Sounds::setPlayer(EffectPlayer *player)
{
    currentPlayer = player;
}

EffectPlayer *Sounds::player()
{
    return currentPlayer;
}

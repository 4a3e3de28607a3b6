#include "sounds.h"

#include "effect_player.h"
#include "effect_table.h"

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

void Sounds::preloadAll()
{
    if (!currentPlayer)
        return;
    const QString dir = QCoreApplication::applicationDirPath();
    std::vector<std::string> paths;
    const auto add = [&](const char *name) {
        paths.push_back(effectPath(dir, QString::fromUtf8(name)).toUtf8().toStdString());
    };
    add(Effects::IntroFile);
    add(Effects::ClosingFile);
    for (const EffectRow &row : Effects::Table)
        add(row.file);
    currentPlayer->preload(std::move(paths));
}

void Sounds::setPlayer(EffectPlayer *player)
{
    currentPlayer = player;
}

EffectPlayer *Sounds::player()
{
    return currentPlayer;
}

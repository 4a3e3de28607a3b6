#include "effects/sounds.h"

#include "effects/effect_player.h"
#include "effects/effect_table.h"

#include <QCoreApplication>

Sounds::Sounds(EffectPlayer &player)
    : Sounds(player, QCoreApplication::applicationDirPath())
{
}

Sounds::Sounds(EffectPlayer &player, const QString &programDir)
    : player_(player)
    , programDir_(programDir)
{
}

QString Sounds::effectPath(const QString &programDir, const QString &name)
{
    return programDir + QLatin1Char('/') + name;
}

void Sounds::PlayEffect(const QString &name) const
{
    player_.play(effectPath(programDir_, name).toUtf8().toStdString());
}

void Sounds::preloadAll() const
{
    std::vector<std::string> paths;
    const auto add = [&](const char *name) {
        paths.push_back(effectPath(programDir_, QString::fromUtf8(name)).toUtf8().toStdString());
    };
    add(Effects::IntroFile);
    add(Effects::ClosingFile);
    for (const EffectRow &row : Effects::Table)
        add(row.file);
    player_.preload(std::move(paths));
}

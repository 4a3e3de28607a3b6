#include "effects/sounds.h"

#include "audio/effect_player.h"
#include "effects/effect_table.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QStandardPaths>

Sounds::Sounds(EffectPlayer &player)
    : Sounds(player, QCoreApplication::applicationDirPath(), userSoundsDir())
{
}

Sounds::Sounds(EffectPlayer &player, const QString &programDir, const QString &userDir)
    : player_(player)
    , programDir_(programDir)
    , userDir_(userDir)
{
}

QString Sounds::userSoundsDir()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/zembra");
}

QString Sounds::fileFor(const QString &name) const
{
    // One stat per press; the user may add, replace or remove a file any time.
    if (!userDir_.isEmpty()) {
        const QString own = effectPath(userDir_, name);
        if (QFileInfo(own).isFile())
            return own;
    }
    return effectPath(programDir_, name);
}

QString Sounds::effectPath(const QString &programDir, const QString &name)
{
    return programDir + QLatin1Char('/') + name;
}

void Sounds::PlayEffect(const QString &name) const
{
    player_.play(fileFor(name).toUtf8().toStdString());
}

void Sounds::playOut() const
{
    player_.playOut(std::chrono::seconds(3));
}

void Sounds::preloadAll() const
{
    std::vector<std::string> paths;
    const auto add = [&](const char *name) {
        paths.push_back(fileFor(QString::fromUtf8(name)).toUtf8().toStdString());
    };
    add(Effects::IntroFile);
    add(Effects::ClosingFile);
    for (const EffectRow &row : Effects::Table)
        add(row.file);
    player_.preload(std::move(paths));
}

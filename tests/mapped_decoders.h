#pragma once

#include <QByteArray>
#include <QFile>
#include <QStringList>

// Image format plugins and the JPEG library mapped into this process.
inline QStringList mappedImageDecoders()
{
    QFile maps(QStringLiteral("/proc/self/maps"));
    if (!maps.open(QIODevice::ReadOnly))
        return {QStringLiteral("(cannot read /proc/self/maps)")};
    QStringList found;
    for (const QByteArray &line : maps.readAll().split('\n')) {
        if (line.contains("/imageformats/") || line.contains("libjpeg"))
            found << QString::fromLocal8Bit(line.mid(line.indexOf('/')));
    }
    found.removeDuplicates();
    return found;
}

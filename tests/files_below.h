#pragma once

#include <QDir>
#include <QDirIterator>
#include <QStringList>

// Every file below a folder, hidden ones too, as paths relative to it.
inline QStringList filesBelow(const QString &dir)
{
    QStringList files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(dir).relativeFilePath(it.next());
    return files;
}

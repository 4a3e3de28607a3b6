#pragma once

#include <QByteArray>
#include <QString>

// The icon is laid out on a 32-unit design grid, the size it was first drawn at.
constexpr int kIconDesignGrid = 32;

// The icon as SVG on a grid of `grid` units a side (viewBox 0 0 grid grid), meant to be shown
// at `grid` pixels or a multiple of it: the border marks and each letter's extent are in whole
// units, and below the design grid the letters are whole pixels too. Glyphs are written as
// outlines, so no viewer needs the font.
QByteArray iconSvg(const QString &boldFamily, int grid);

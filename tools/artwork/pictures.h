#pragma once

#include <QColor>
#include <QImage>
#include <QString>

struct Fonts {
    QString boldFamily;  // heavy sans for names and buttons
    QString lightFamily; // thin face for the maker's logo
};

// Flat colours of the icon; the checks look for each after palette reduction.
inline const QColor kIconGround(0x30, 0xe0, 0xf0);
inline const QColor kIconInk(0, 0, 0);
inline const QColor kIconYellow(0xff, 0xe8, 0x10);
inline const QColor kIconGreen(0x20, 0xb8, 0x30);
inline const QColor kIconMarks(0x10, 0x20, 0x90);

// The panel is picked so the light-yellow status text on it stays legible; the generator
// holds the drawing to this average.
inline const QColor kPanelAverage(152, 153, 190);

// Surround of the reload button; it becomes the GIF's transparent colour.
inline const QColor kReloadMatte(0xc0, 0xc0, 0xc0);

// Each picture at `scale` device pixels to the logical pixel: 1 for the plain picture, 2 for
// its "@2x" partner, the same design drawn again with the finer detail its pixels can hold.
QImage drawIcon(const Fonts &fonts, int scale = 1);
QImage drawBanner(const Fonts &fonts, int scale = 1);
QImage drawPanel(int scale = 1);
QImage drawAbout(const Fonts &fonts, int scale = 1);
QImage drawReload(const Fonts &fonts, int scale = 1);

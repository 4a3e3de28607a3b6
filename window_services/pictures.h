#pragma once

#include <QIcon>
#include <QImage>
#include <QList>
#include <QPixmap>

// The program's pictures, embedded as PNG resources under :/assets/, each with an "@2x"
// partner drawn for screens of two device pixels to the logical one.
namespace Pictures {

// "banner" is :/assets/banner.png, or its partner where the screens call for it; the
// pixmap's device pixel ratio keeps its logical size that of the plain picture.
QPixmap pixmap(const char *name);
// The window icon's pictures, one for each size drawn, each at a device pixel ratio of 1.
QList<QImage> iconDrawings();
// The window icon made of them.
QIcon windowIcon(const QList<QImage> &drawings);

} // namespace Pictures

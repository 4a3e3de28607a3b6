#pragma once

#include <QIcon>
#include <QPixmap>

// The program's pictures, embedded as PNG resources under :/assets/, each with an "@2x"
// partner drawn for screens of two device pixels to the logical one.
namespace Pictures {

// "banner" is :/assets/banner.png, or its partner where the screens call for it; the
// pixmap's device pixel ratio keeps its logical size that of the plain picture.
QPixmap pixmap(const char *name);
QIcon windowIcon();

} // namespace Pictures

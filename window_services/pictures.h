#pragma once

#include <QIcon>
#include <QPixmap>

// The program's pictures, embedded as PNG resources under :/assets/.
namespace Pictures {

QPixmap pixmap(const char *name); // "banner" is :/assets/banner.png
QIcon windowIcon();

} // namespace Pictures

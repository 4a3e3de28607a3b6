#pragma once

#include <QFont>

// The layout names the classic Windows faces; on Linux each is an installed free face
// with close metrics: Verdana is DejaVu Sans, Arial and MS Sans Serif are Liberation Sans.
namespace Fonts {

void install();
QFont windowDefault(); // MS Sans Serif 8.25 pt
QFont verdana(qreal points, bool bold = false);
QFont arial(qreal points);

} // namespace Fonts

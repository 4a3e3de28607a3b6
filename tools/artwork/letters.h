#pragma once

#include <QPainterPath>
#include <QVector>

class QFont;
class QString;

// One outline per character, laid out with the font's own (kerned) advances plus
// tracking in reference pixels; baseline at y=0. Shared by the pictures and the
// desktop icon so their lettering cannot drift apart.
QVector<QPainterPath> letterPaths(const QFont &font, const QString &text, qreal tracking = 0.0);

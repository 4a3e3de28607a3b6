#include "window_services/fonts.h"

#include <QApplication>

namespace {

// Each face is asked for by the free face's own name. A family that is not installed
// sends Qt through a fontconfig fallback search for every font made from it, even when
// a substitute is set, and that search is a good part of start-up.
QFont face(const char *family, qreal points)
{
    QFont font(QString::fromLatin1(family));
    font.setPointSizeF(points);
    return font;
}

} // namespace

void Fonts::install()
{
    QApplication::setFont(windowDefault());
}

QFont Fonts::windowDefault()
{
    return face("Liberation Sans", 8.25);
}

QFont Fonts::verdana(qreal points, bool bold)
{
    QFont font = face("DejaVu Sans", points);
    font.setBold(bold);
    return font;
}

QFont Fonts::arial(qreal points)
{
    return face("Liberation Sans", points);
}

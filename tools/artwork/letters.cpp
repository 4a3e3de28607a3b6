#include "letters.h"

#include <QFont>
#include <QFontMetricsF>
#include <QString>

QVector<QPainterPath> letterPaths(const QFont &font, const QString &text, qreal tracking)
{
    const QFontMetricsF metrics(font);
    QVector<QPainterPath> letters;
    for (int i = 0; i < text.size(); ++i) {
        QPainterPath path;
        path.addText(metrics.horizontalAdvance(text.left(i)) + i * tracking, 0.0, font,
                     text.mid(i, 1));
        letters.append(path);
    }
    return letters;
}

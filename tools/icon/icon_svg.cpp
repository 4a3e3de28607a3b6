#include "icon_svg.h"

#include "letters.h"
#include "noise.h"
#include "pictures.h"

#include <QFont>
#include <QFontMetricsF>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QRect>
#include <QRegion>
#include <QTransform>
#include <QVector>
#include <QXmlStreamWriter>

#include <algorithm>
#include <cmath>

namespace {

const QString kXlink = QStringLiteral("http://www.w3.org/1999/xlink");

// Outlines from a large unhinted rendering, as the raster artwork takes them, so the letters
// keep the same proportions at every size.
constexpr int kReferencePixels = 200;

// Of 255. Half would lose the m's middle stem and the e's bar at 16 px.
constexpr int kCellCoverage = 96;

QFont referenceFont(const QString &family)
{
    QFont font(family);
    font.setPixelSize(kReferencePixels);
    font.setWeight(QFont::Bold);
    font.setHintingPreference(QFont::PreferNoHinting);
    return font;
}

void mapOnto(QPainterPath &path, const QRectF &from, const QRectF &to)
{
    QTransform t;
    t.translate(to.x(), to.y());
    t.scale(to.width() / from.width(), to.height() / from.height());
    t.translate(-from.x(), -from.y());
    path = t.map(path);
}

// The whole word's ink is stretched onto box, then each letter's ink is moved to whole
// units. That is a crude hinting: the baseline, the x-height and each letter's outer stems
// land on pixel edges.
QVector<QPainterPath> word(const QFont &font, const QString &text, qreal tracking,
                           const QRectF &box)
{
    QVector<QPainterPath> letters = letterPaths(font, text, tracking);
    QRectF bounds;
    for (const QPainterPath &letter : letters)
        bounds = bounds.united(letter.boundingRect());
    for (QPainterPath &letter : letters) {
        mapOnto(letter, bounds, box);
        const QRectF ink = letter.boundingRect();
        const qreal left = std::round(ink.left());
        const qreal top = std::round(ink.top());
        const qreal right = std::max(left + 1, std::round(ink.right()));
        const qreal bottom = std::max(top + 1, std::round(ink.bottom()));
        mapOnto(letter, ink, QRectF(left, top, right - left, bottom - top));
    }
    return letters;
}

// Each letter's ink stretched onto its own box.
QVector<QPainterPath> wordInBoxes(const QFont &font, const QString &text,
                                  const QVector<QRect> &boxes)
{
    QVector<QPainterPath> letters = letterPaths(font, text, 0.0);
    for (int i = 0; i < letters.size(); ++i)
        mapOnto(letters[i], letters[i].boundingRect(), boxes[i]);
    return letters;
}

QRectF scaled(const QRectF &designBox, qreal scale)
{
    return QRectF(designBox.topLeft() * scale, designBox.size() * scale);
}

// The same marks, from the same seed, as the raster icon's border; in design units.
QVector<QRect> designMarks()
{
    noise::Rng rng(0x7a656d62);
    QVector<QRect> marks;
    for (int side = 0; side < 4; ++side) {
        for (int pos = 1 + rng.range(0, 3); pos < 30; pos += 5 + rng.range(0, 3)) {
            const int depth = rng.range(0, 1);
            const int along = rng.range(0, 2) == 0 ? 2 : 1;
            switch (side) {
            case 0:
                marks.append(QRect(pos, depth, along, 1));
                break;
            case 1:
                marks.append(QRect(pos, 31 - depth, along, 1));
                break;
            case 2:
                marks.append(QRect(depth, pos, 1, along));
                break;
            default:
                marks.append(QRect(31 - depth, pos, 1, along));
                break;
            }
        }
    }
    return marks;
}

// A mark never shrinks below one whole pixel, so it stays a crisp dot at 16 px. Rounding
// down keeps the marks of the inner row on the outermost one there, clear of the letters.
QRect snappedMark(const QRect &design, qreal scale)
{
    const int left = int(std::floor(design.x() * scale));
    const int top = int(std::floor(design.y() * scale));
    const int right = std::max(left + 1, int(std::lround((design.x() + design.width()) * scale)));
    const int bottom = std::max(top + 1, int(std::lround((design.y() + design.height()) * scale)));
    return QRect(left, top, right - left, bottom - top);
}

// Below the design size the outlines are too fine for the grid: even snapped, a stem a
// pixel wide lands across two and turns grey. There each letter becomes the whole pixels its
// outline covers to more than a third, and its ring the pixels around those, so every edge
// is hard.
QRegion pixelCells(const QPainterPath &letter, int grid)
{
    QImage coverage(grid, grid, QImage::Format_Alpha8);
    coverage.fill(0);
    QPainter painter(&coverage);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillPath(letter, Qt::black);
    painter.end();
    QRegion cells;
    for (int y = 0; y < grid; ++y) {
        const uchar *row = coverage.constScanLine(y);
        for (int x = 0; x < grid; ++x)
            if (row[x] >= kCellCoverage)
                cells += QRect(x, y, 1, 1);
    }
    return cells;
}

// The cells and every pixel touching them, corners included, as a stroke with a square pen.
QRegion grown(const QRegion &cells)
{
    QRegion out = cells;
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx)
            out += cells.translated(dx, dy);
    return out;
}

QString cellData(const QRegion &cells)
{
    QStringList parts;
    for (const QRect &r : cells)
        parts << QStringLiteral("M%1 %2h%3v%4h-%3z")
                     .arg(r.x())
                     .arg(r.y())
                     .arg(r.width())
                     .arg(r.height());
    return parts.join(' ');
}

QString number(qreal value)
{
    QString text = QString::number(value, 'f', 3);
    while (text.endsWith(QLatin1Char('0')))
        text.chop(1);
    if (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    return text == QLatin1String("-0") ? QStringLiteral("0") : text;
}

QString pathData(const QPainterPath &path)
{
    QStringList parts;
    auto point = [](const QPainterPath::Element &e) { return number(e.x) + ' ' + number(e.y); };
    for (int i = 0; i < path.elementCount(); ++i) {
        const QPainterPath::Element e = path.elementAt(i);
        switch (e.type) {
        case QPainterPath::MoveToElement:
            if (i > 0)
                parts << QStringLiteral("Z");
            parts << QStringLiteral("M") + point(e);
            break;
        case QPainterPath::LineToElement:
            parts << QStringLiteral("L") + point(e);
            break;
        case QPainterPath::CurveToElement:
            parts << QStringLiteral("C") + point(e) + ' ' + point(path.elementAt(i + 1)) + ' ' +
                         point(path.elementAt(i + 2));
            i += 2;
            break;
        case QPainterPath::CurveToDataElement:
            break;
        }
    }
    if (!parts.isEmpty())
        parts << QStringLiteral("Z");
    return parts.join(' ');
}

QString fillRule(const QPainterPath &path)
{
    return path.fillRule() == Qt::WindingFill ? QStringLiteral("nonzero")
                                              : QStringLiteral("evenodd");
}

} // namespace

QByteArray iconSvg(const QString &boldFamily, int grid)
{
    const qreal scale = qreal(grid) / kIconDesignGrid;

    // Coloured letters are ringed in black outside the glyph only (a stroke under the fill),
    // so thin strokes keep their colour. The ring never gets thinner than a whole pixel; where
    // that makes it wider than drawn, the words shrink by the difference so the ring still
    // clears the border marks.
    const qreal ring = std::max<qreal>(1.0, std::round(scale));
    const qreal inset = ring - scale;
    auto box = [&](const QRectF &design) {
        return scaled(design, scale).adjusted(inset, inset, -inset, -inset);
    };
    const QFont bold = referenceFont(boldFamily);
    QVector<QPainterPath> upper;
    QVector<QPainterPath> lower;
    if (grid == 16) {
        // Sixteen pixels leave exactly one pixel for each stem and counter of the m, none to
        // spare for proportional spacing: the boxes are picked by hand, the e's ring doubling
        // as the space on either side of it.
        upper = wordInBoxes(bold, QStringLiteral("zem"),
                            {QRect(2, 2, 3, 5), QRect(6, 2, 3, 5), QRect(10, 2, 5, 5)});
        lower = wordInBoxes(bold, QStringLiteral("bra"),
                            {QRect(3, 9, 3, 5), QRect(7, 10, 2, 4), QRect(10, 10, 3, 4)});
    } else {
        upper = word(bold, QStringLiteral("zem"), 34.0, box(QRectF(3, 3, 26, 13)));
        lower = word(bold, QStringLiteral("bra"), 44.0, box(QRectF(6, 18, 20, 11)));
    }

    struct Letter {
        QPainterPath path;
        QColor fill;
    };
    const QVector<Letter> letters = {
        {upper[0], kIconInk},   {upper[1], kIconYellow}, {upper[2], kIconInk},
        {lower[0], kIconGreen}, {lower[1], kIconGreen},  {lower[2], kIconGreen},
    };

    QByteArray bytes;
    QXmlStreamWriter xml(&bytes);
    xml.setAutoFormatting(true);
    xml.setAutoFormattingIndent(1);
    xml.writeStartDocument();
    xml.writeStartElement(QStringLiteral("svg"));
    xml.writeDefaultNamespace(QStringLiteral("http://www.w3.org/2000/svg"));
    xml.writeNamespace(kXlink, QStringLiteral("xlink"));
    xml.writeAttribute(QStringLiteral("version"), QStringLiteral("1.1"));
    xml.writeAttribute(QStringLiteral("width"), QString::number(grid));
    xml.writeAttribute(QStringLiteral("height"), QString::number(grid));
    xml.writeAttribute(QStringLiteral("viewBox"), QStringLiteral("0 0 %1 %1").arg(grid));
    xml.writeTextElement(QStringLiteral("title"), QStringLiteral("Zembra"));

    auto path = [&](const QColor &fill, const QString &data) {
        xml.writeStartElement(QStringLiteral("path"));
        xml.writeAttribute(QStringLiteral("fill"), fill.name());
        xml.writeAttribute(QStringLiteral("d"), data);
        xml.writeEndElement();
    };

    xml.writeStartElement(QStringLiteral("rect"));
    xml.writeAttribute(QStringLiteral("width"), QString::number(grid));
    xml.writeAttribute(QStringLiteral("height"), QString::number(grid));
    xml.writeAttribute(QStringLiteral("fill"), kIconGround.name());
    xml.writeEndElement();

    QRegion marks;
    for (const QRect &design : designMarks())
        marks += snappedMark(design, scale);
    path(kIconMarks, cellData(marks));

    if (grid < kIconDesignGrid) {
        for (const Letter &letter : letters) {
            const QRegion cells = pixelCells(letter.path, grid);
            if (letter.fill != kIconInk)
                path(kIconInk, cellData(grown(cells)));
            path(letter.fill, cellData(cells));
        }
    } else {
        // Each outline is written once and drawn twice: stroked for the ring, then filled.
        xml.writeStartElement(QStringLiteral("defs"));
        for (int i = 0; i < letters.size(); ++i) {
            xml.writeStartElement(QStringLiteral("path"));
            xml.writeAttribute(QStringLiteral("id"), QStringLiteral("letter%1").arg(i));
            xml.writeAttribute(QStringLiteral("fill-rule"), fillRule(letters[i].path));
            xml.writeAttribute(QStringLiteral("d"), pathData(letters[i].path));
            xml.writeEndElement();
        }
        xml.writeEndElement();

        auto use = [&](int i, const QColor &fill, bool ringed) {
            xml.writeStartElement(QStringLiteral("use"));
            xml.writeAttribute(kXlink, QStringLiteral("href"), QStringLiteral("#letter%1").arg(i));
            xml.writeAttribute(QStringLiteral("fill"), fill.name());
            if (ringed) {
                xml.writeAttribute(QStringLiteral("stroke"), kIconInk.name());
                xml.writeAttribute(QStringLiteral("stroke-width"), number(2 * ring));
                xml.writeAttribute(QStringLiteral("stroke-linejoin"), QStringLiteral("round"));
            }
            xml.writeEndElement();
        };
        for (int i = 0; i < letters.size(); ++i) {
            if (letters[i].fill != kIconInk)
                use(i, kIconInk, true);
            use(i, letters[i].fill, false);
        }
    }

    xml.writeEndElement();
    xml.writeEndDocument();
    return bytes;
}

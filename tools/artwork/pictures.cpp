#include "pictures.h"

#include "letters.h"
#include "noise.h"

#include <QFont>
#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QVector>

#include <algorithm>
#include <climits>
#include <cmath>
#include <iterator>

namespace {

// Glyph outlines are taken from a large rendering and scaled down, so text can be placed at
// fractional sizes and squeezed into exact boxes without hinting distorting the shapes.
constexpr int kReferencePixels = 200;

QFont referenceFont(const QString &family, QFont::Weight weight)
{
    QFont font(family);
    font.setPixelSize(kReferencePixels);
    font.setWeight(weight);
    font.setHintingPreference(QFont::PreferNoHinting);
    return font;
}

QRectF boundsOf(const QVector<QPainterPath> &paths)
{
    QRectF bounds;
    for (const QPainterPath &path : paths)
        bounds = bounds.united(path.boundingRect());
    return bounds;
}

void transformAll(QVector<QPainterPath> &paths, const QTransform &transform)
{
    for (QPainterPath &path : paths)
        path = transform.map(path);
}

// Stretches the ink of all letters onto box exactly.
void fitInto(QVector<QPainterPath> &paths, const QRectF &box)
{
    const QRectF bounds = boundsOf(paths);
    QTransform t;
    t.translate(box.x(), box.y());
    t.scale(box.width() / bounds.width(), box.height() / bounds.height());
    t.translate(-bounds.x(), -bounds.y());
    transformAll(paths, t);
}

// Text of the given pixel size with its baseline starting at origin.
QVector<QPainterPath> textAt(const QString &family, QFont::Weight weight, qreal pixels,
                             const QString &text, QPointF origin)
{
    QVector<QPainterPath> letters = letterPaths(referenceFont(family, weight), text);
    QTransform t;
    t.translate(origin.x(), origin.y());
    t.scale(pixels / kReferencePixels, pixels / kReferencePixels);
    transformAll(letters, t);
    return letters;
}

QPainterPath united(const QVector<QPainterPath> &paths)
{
    QPainterPath all;
    all.setFillRule(Qt::WindingFill);
    for (const QPainterPath &path : paths)
        all.addPath(path);
    return all;
}

int clampByte(double v)
{
    return std::clamp(static_cast<int>(std::lround(v)), 0, 255);
}

QColor mix(const QColor &a, const QColor &b, double t)
{
    return QColor(clampByte(a.red() + (b.red() - a.red()) * t),
                  clampByte(a.green() + (b.green() - a.green()) * t),
                  clampByte(a.blue() + (b.blue() - a.blue()) * t));
}

// Where the centre of device pixel i lies, in logical pixels: on a logical pixel's own index
// at scale 1, between them on the finer grids.
double logical(int i, int scale)
{
    return (i + 0.5) / scale - 0.5;
}

// One more octave for each doubling keeps the finest grain about as many device pixels wide
// as in the plain picture, so a finer picture gains grain rather than only smoothness.
int octavesAt(int octaves, int scale)
{
    for (int s = scale; s > 1; s /= 2)
        ++octaves;
    return octaves;
}

// Fills the image with a two-colour cloud texture; `size` is in logical pixels.
void paintClouds(QImage &image, int scale, const QColor &dark, const QColor &light, double size,
                 std::uint32_t seed)
{
    const int octaves = octavesAt(4, scale);
    for (int y = 0; y < image.height(); ++y) {
        auto *row = reinterpret_cast<QRgb *>(image.scanLine(y));
        const double v = logical(y, scale);
        for (int x = 0; x < image.width(); ++x) {
            const double u = logical(x, scale);
            const double n = noise::clouds(u / size, v / (size * 0.7), seed, octaves);
            // Stretch the mid-range so the clouds have visible structure.
            const double t = std::clamp((n - 0.25) / 0.5, 0.0, 1.0);
            row[x] = mix(dark, light, t).rgb();
        }
    }
}

} // namespace

QImage drawIcon(const Fonts &fonts, int scale)
{
    const QColor &cyan = kIconGround;
    const QColor &darkBlue = kIconMarks;
    const QColor &ink = kIconInk;
    const QColor &yellow = kIconYellow;
    const QColor &green = kIconGreen;

    QImage image(32 * scale, 32 * scale, QImage::Format_RGB32);
    image.fill(cyan);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(scale, scale);
    const QFont bold = referenceFont(fonts.boldFamily, QFont::Bold);

    // Coloured letters get their black outline outside the glyph, so the thin strokes keep
    // their fill instead of turning into a muddy mix of outline and colour.
    auto drawLetter = [&](const QPainterPath &letter, const QColor &fill) {
        if (fill != ink)
            p.strokePath(letter, QPen(ink, 2.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.fillPath(letter, fill);
    };

    QVector<QPainterPath> upper = letterPaths(bold, QStringLiteral("zem"), 34.0);
    fitInto(upper, QRectF(3.0, 3.0, 26.0, 13.0));
    for (int i = 0; i < upper.size(); ++i)
        drawLetter(upper[i], i == 1 ? yellow : ink);

    QVector<QPainterPath> lower = letterPaths(bold, QStringLiteral("bra"), 44.0);
    fitInto(lower, QRectF(6.0, 18.0, 20.0, 11.0));
    for (const QPainterPath &letter : lower)
        drawLetter(letter, green);
    p.end();

    // Snap to a hand-picked palette: the flat colours plus a few edge blends, so the
    // later reduction to 16 colours has nothing left to merge.
    const QColor palette[] = {
        cyan,
        ink,
        yellow,
        green,
        darkBlue,
        mix(cyan, ink, 0.33),
        mix(cyan, ink, 0.66),
        mix(yellow, ink, 0.33),
        mix(yellow, ink, 0.66),
        mix(green, ink, 0.5),
        mix(green, cyan, 0.5),
        mix(yellow, cyan, 0.5),
    };
    for (int y = 0; y < image.height(); ++y) {
        auto *row = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            int best = 0;
            int bestDistance = INT_MAX;
            for (int i = 0; i < int(std::size(palette)); ++i) {
                const int dr = qRed(row[x]) - palette[i].red();
                const int dg = qGreen(row[x]) - palette[i].green();
                const int db = qBlue(row[x]) - palette[i].blue();
                const int distance = dr * dr + dg * dg + db * db;
                if (distance < bestDistance) {
                    bestDistance = distance;
                    best = i;
                }
            }
            row[x] = palette[best].rgb();
        }
    }

    // Marks go on last and pixel-exact, whole logical pixels on the finer grids too; they stay
    // clear of the lettering.
    noise::Rng rng(0x7a656d62);
    for (int side = 0; side < 4; ++side) {
        for (int pos = 1 + rng.range(0, 3); pos < 30; pos += 5 + rng.range(0, 3)) {
            const int depth = rng.range(0, 1);
            const int along = rng.range(0, 2) == 0 ? 2 : 1;
            QRect mark;
            switch (side) {
            case 0:
                mark = QRect(pos, depth, along, 1);
                break;
            case 1:
                mark = QRect(pos, 31 - depth, along, 1);
                break;
            case 2:
                mark = QRect(depth, pos, 1, along);
                break;
            default:
                mark = QRect(31 - depth, pos, 1, along);
                break;
            }
            mark = QRect(mark.topLeft() * scale, mark.size() * scale);
            for (int y = mark.top(); y <= mark.bottom(); ++y)
                for (int x = mark.left(); x <= mark.right(); ++x)
                    if (image.pixel(x, y) == cyan.rgb())
                        image.setPixel(x, y, darkBlue.rgb());
        }
    }
    return image;
}

QImage drawBanner(const Fonts &fonts, int scale)
{
    const QRect frame(0, 0, 196, 46);
    QImage image(frame.size() * scale, QImage::Format_RGB32);
    paintClouds(image, scale, QColor(0x3a, 0x2c, 0x96), QColor(0x86, 0x78, 0xe0), 26.0, 0x62616e);

    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(scale, scale);

    // Darken the edges a little so the lettering sits in a soft light.
    QRadialGradient vignette(QPointF(90, 20), 120);
    vignette.setColorAt(0.0, QColor(0, 0, 0, 0));
    vignette.setColorAt(1.0, QColor(10, 0, 40, 90));
    p.fillRect(frame, vignette);

    const qreal pixels = 37.0;
    const qreal baseline = 37.0;
    QVector<QPainterPath> letters = textAt(fonts.boldFamily, QFont::Bold, pixels,
                                           QStringLiteral("zembra"), QPointF(6.0, baseline));
    const QColor white(0xff, 0xff, 0xff);
    const QColor paleYellow(0xff, 0xf2, 0x9a);
    const QPainterPath all = united(letters);

    p.setPen(Qt::NoPen);
    p.setBrush(QColor(16, 6, 60, 150));
    p.drawPath(all.translated(1.5, 1.5));
    for (int i = 0; i < letters.size(); ++i) {
        p.setBrush(i < 3 ? white : paleYellow);
        p.drawPath(letters[i]);
    }

    // Dotted arrow continuing from the name, centred on the lower-case letters.
    const qreal textEnd = boundsOf(letters).right();
    const qreal mid = baseline - pixels * 0.28;
    const qreal tip = 190.0;
    const qreal dot = 1.7;
    auto drawDot = [&](QPointF c) {
        p.setBrush(QColor(16, 6, 60, 150));
        p.drawEllipse(c + QPointF(1.0, 1.0), dot, dot);
        p.setBrush(paleYellow);
        p.drawEllipse(c, dot, dot);
    };
    for (qreal x = textEnd + 6.0; x < tip - 1.0; x += 4.5)
        drawDot(QPointF(x, mid));
    for (int k = 1; k <= 3; ++k) {
        drawDot(QPointF(tip - k * 3.6, mid - k * 3.6));
        drawDot(QPointF(tip - k * 3.6, mid + k * 3.6));
    }
    drawDot(QPointF(tip, mid));
    return image;
}

QImage drawPanel(int scale)
{
    const int w = 153 * scale;
    const int h = 30 * scale;
    const int octaves = octavesAt(4, scale);
    QVector<double> r(w * h), g(w * h), b(w * h);
    for (int y = 0; y < h; ++y) {
        const double v = logical(y, scale);
        // Soft darker band two thirds of the way down to the lower edge.
        const double d = (v - 24.5) / 2.6;
        const double band = -13.0 * std::exp(-d * d);
        // The top two logical rows catch a trace of light, like a pressed-in panel's upper lip.
        const double lip = v < 0.5 ? 7.0 : (v < 1.5 ? 3.0 : 0.0);
        for (int x = 0; x < w; ++x) {
            const double n =
                noise::clouds(logical(x, scale) / 18.0, v / 11.0, 0x70616e, octaves) - 0.5;
            const double shade = n * 16.0 + band + lip;
            const int i = y * w + x;
            r[i] = kPanelAverage.red() + shade;
            g[i] = kPanelAverage.green() + shade;
            b[i] = kPanelAverage.blue() + shade * 1.1;
        }
    }

    // Pull the mean onto the target so the status text keeps its intended contrast.
    QImage image(w, h, QImage::Format_RGB32);
    for (int pass = 0; pass < 4; ++pass) {
        double sr = 0, sg = 0, sb = 0;
        for (int y = 0; y < h; ++y) {
            auto *row = reinterpret_cast<QRgb *>(image.scanLine(y));
            for (int x = 0; x < w; ++x) {
                const int i = y * w + x;
                row[x] = qRgb(clampByte(r[i]), clampByte(g[i]), clampByte(b[i]));
                sr += qRed(row[x]);
                sg += qGreen(row[x]);
                sb += qBlue(row[x]);
            }
        }
        const double n = w * h;
        const double dr = kPanelAverage.red() - sr / n;
        const double dg = kPanelAverage.green() - sg / n;
        const double db = kPanelAverage.blue() - sb / n;
        for (int i = 0; i < w * h; ++i) {
            r[i] += dr;
            g[i] += dg;
            b[i] += db;
        }
    }
    return image;
}

namespace {

void paintAboutGround(QPainter &p, const QRect &rect)
{
    QLinearGradient ground(0, 0, 0, rect.height());
    ground.setColorAt(0.0, QColor(0x24, 0x4a, 0xb8));
    ground.setColorAt(1.0, QColor(0x10, 0x26, 0x74));
    p.fillRect(rect, ground);

    p.setPen(QPen(QColor(160, 195, 255, 46), 0.8));
    for (int k = -rect.height(); k < rect.width(); k += 6)
        p.drawLine(QPointF(k, rect.height()), QPointF(k + rect.height(), 0));

    QRadialGradient glow(QPointF(62.5, 98), 64);
    glow.setColorAt(0.0, QColor(150, 190, 255, 110));
    glow.setColorAt(1.0, QColor(150, 190, 255, 0));
    p.fillRect(rect, glow);
}

void paintLogo(QPainter &p, const Fonts &fonts, qreal width)
{
    const qreal baseline = 27.0;
    QVector<QPainterPath> mark =
        textAt(fonts.boldFamily, QFont::Bold, 27.0, QStringLiteral("tzk"), QPointF(0, baseline));
    const qreal gap = 4.0;
    const qreal markRight = boundsOf(mark).right();
    QVector<QPainterPath> word =
        textAt(fonts.lightFamily, QFont::ExtraLight, 19.0, QStringLiteral("design"),
               QPointF(markRight + gap, baseline));
    QRectF all = boundsOf(mark).united(boundsOf(word));
    const QTransform centre = QTransform::fromTranslate((width - all.width()) / 2 - all.x(), 0);
    transformAll(mark, centre);
    transformAll(word, centre);
    all = centre.mapRect(all);

    p.setPen(Qt::NoPen);
    p.setBrush(QColor(5, 15, 60, 140));
    p.drawPath(united(mark).translated(1.2, 1.2));
    p.setBrush(QColor(0xff, 0xff, 0xff));
    p.drawPath(united(mark));
    p.setBrush(QColor(0xc8, 0xdc, 0xff));
    p.drawPath(united(word));

    p.setPen(QPen(QColor(0xc8, 0xdc, 0xff, 200), 1.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(all.left(), baseline + 5.0), QPointF(all.right(), baseline + 5.0));
}

void paintFigure(QPainter &p)
{
    const QColor outline(0x24, 0x1a, 0x20);
    const QColor skin(0xf3, 0xc9, 0xa0);
    const QColor skinShade(0xd9, 0xa0, 0x74);
    const QColor hair(0x4a, 0x2c, 0x1c);
    const qreal cx = 62.5;

    // Shoulders and jacket.
    QPainterPath torso;
    torso.moveTo(6, 164);
    torso.cubicTo(8, 144, 26, 136, 47, 132);
    torso.lineTo(78, 132);
    torso.cubicTo(99, 136, 117, 144, 119, 164);
    torso.closeSubpath();
    QLinearGradient jacket(0, 132, 0, 164);
    jacket.setColorAt(0.0, QColor(0x4a, 0x50, 0x66));
    jacket.setColorAt(1.0, QColor(0x2a, 0x2d, 0x3c));
    p.setPen(QPen(outline, 1.2));
    p.setBrush(jacket);
    p.drawPath(torso);

    // Neck behind the collar.
    QPainterPath neck;
    neck.moveTo(cx - 10, 108);
    neck.lineTo(cx - 10.5, 134);
    neck.quadTo(cx, 140, cx + 10.5, 134);
    neck.lineTo(cx + 10, 108);
    neck.closeSubpath();
    p.setBrush(skinShade);
    p.drawPath(neck);

    // Open shirt and collar.
    QPainterPath shirt;
    shirt.moveTo(cx - 14, 132);
    shirt.lineTo(cx, 160);
    shirt.lineTo(cx + 14, 132);
    shirt.quadTo(cx, 146, cx - 14, 132);
    p.setBrush(QColor(0xf4, 0xf4, 0xf0));
    p.drawPath(shirt);

    QPainterPath tie;
    tie.moveTo(cx - 2.5, 141);
    tie.lineTo(cx + 2.5, 141);
    tie.lineTo(cx + 3.5, 155);
    tie.lineTo(cx, 160);
    tie.lineTo(cx - 3.5, 155);
    tie.closeSubpath();
    p.setBrush(QColor(0xd8, 0x32, 0x3a));
    p.drawPath(tie);

    for (int side : {-1, 1}) {
        QPainterPath flap;
        flap.moveTo(cx + side * 1.5, 140);
        flap.lineTo(cx + side * 14.0, 131);
        flap.lineTo(cx + side * 12.0, 144);
        flap.closeSubpath();
        p.setBrush(QColor(0xff, 0xff, 0xff));
        p.drawPath(flap);

        QPainterPath lapel;
        lapel.moveTo(cx + side * 15.0, 133);
        lapel.lineTo(cx + side * 4.0, 163);
        p.setBrush(Qt::NoBrush);
        p.drawPath(lapel);
    }

    // Ears, then the head over them.
    p.setBrush(skinShade);
    p.drawEllipse(QPointF(cx - 22, 94), 4.5, 7);
    p.drawEllipse(QPointF(cx + 22, 94), 4.5, 7);

    QRadialGradient face(QPointF(cx - 6, 86), 34);
    face.setColorAt(0.0, skin.lighter(106));
    face.setColorAt(1.0, skinShade);
    p.setBrush(face);
    QPainterPath head;
    head.moveTo(cx, 66);
    head.cubicTo(cx + 16, 66, cx + 22, 80, cx + 21.5, 94);
    head.cubicTo(cx + 21, 110, cx + 11, 121, cx, 121);
    head.cubicTo(cx - 11, 121, cx - 21, 110, cx - 21.5, 94);
    head.cubicTo(cx - 22, 80, cx - 16, 66, cx, 66);
    p.drawPath(head);

    // Hair: a cap over the crown with a fringe swept to one side.
    QPainterPath crown;
    crown.moveTo(cx - 22.5, 96);
    crown.cubicTo(cx - 27, 70, cx - 14, 58, cx + 1, 59);
    crown.cubicTo(cx + 17, 59, cx + 28, 70, cx + 22.5, 96);
    crown.cubicTo(cx + 20, 84, cx + 17, 77, cx + 9, 75);
    crown.cubicTo(cx + 2, 80, cx - 9, 81, cx - 15, 76);
    crown.cubicTo(cx - 19, 82, cx - 21, 88, cx - 22.5, 96);
    crown.closeSubpath();
    QLinearGradient hairShade(cx - 20, 60, cx + 20, 90);
    hairShade.setColorAt(0.0, hair.lighter(135));
    hairShade.setColorAt(1.0, hair);
    p.setBrush(hairShade);
    p.drawPath(crown);
    p.setPen(QPen(hair.lighter(170), 1.0, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    QPainterPath shine;
    shine.moveTo(cx - 12, 67);
    shine.quadTo(cx - 4, 62, cx + 6, 63);
    p.drawPath(shine);

    // Eyebrows.
    p.setPen(QPen(hair, 1.8, Qt::SolidLine, Qt::RoundCap));
    for (int side : {-1, 1}) {
        QPainterPath brow;
        brow.moveTo(cx + side * 14.0, 86);
        brow.quadTo(cx + side * 9.5, 82.5, cx + side * 4.5, 84.5);
        p.drawPath(brow);
    }

    // Eyes.
    for (int side : {-1, 1}) {
        const QPointF eye(cx + side * 9.0, 92);
        p.setPen(QPen(outline, 0.9));
        p.setBrush(QColor(0xff, 0xff, 0xff));
        p.drawEllipse(eye, 4.2, 3.2);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x3a, 0x5a, 0x2a));
        p.drawEllipse(eye + QPointF(0.4, 0.3), 2.3, 2.3);
        p.setBrush(outline);
        p.drawEllipse(eye + QPointF(0.4, 0.3), 1.2, 1.2);
        p.setBrush(QColor(0xff, 0xff, 0xff));
        p.drawEllipse(eye + QPointF(1.2, -0.6), 0.7, 0.7);
    }

    // Nose.
    p.setPen(QPen(skinShade.darker(125), 1.2, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    QPainterPath nose;
    nose.moveTo(cx + 0.5, 94);
    nose.quadTo(cx - 3.5, 101, cx - 1.5, 102.5);
    nose.lineTo(cx + 2.5, 102.5);
    p.drawPath(nose);

    // Cheeks.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xf0, 0x78, 0x78, 60));
    p.drawEllipse(QPointF(cx - 13, 103), 4.5, 2.8);
    p.drawEllipse(QPointF(cx + 13, 103), 4.5, 2.8);

    // Smile.
    QPainterPath mouth;
    mouth.moveTo(cx - 7.5, 107);
    mouth.quadTo(cx, 109.5, cx + 7.5, 107);
    mouth.quadTo(cx, 116.5, cx - 7.5, 107);
    p.setPen(QPen(outline, 1.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(QColor(0x9c, 0x2c, 0x30));
    p.drawPath(mouth);
    QPainterPath teeth;
    teeth.moveTo(cx - 6, 107.6);
    teeth.quadTo(cx, 109.8, cx + 6, 107.6);
    teeth.quadTo(cx, 111.0, cx - 6, 107.6);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xff, 0xff, 0xff));
    p.drawPath(teeth);
}

} // namespace

QImage drawAbout(const Fonts &fonts, int scale)
{
    const QRect frame(0, 0, 125, 163);
    QImage image(frame.size() * scale, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(scale, scale);
    paintAboutGround(p, frame);
    paintLogo(p, fonts, frame.width());
    // The figure is drawn at a nominal size and grown from the bottom edge to fill the frame.
    p.translate(62.5, 163);
    p.scale(1.12, 1.12);
    p.translate(-62.5, -163);
    paintFigure(p);
    return image;
}

QImage drawReload(const Fonts &fonts, int scale)
{
    QImage image(56 * scale, 36 * scale, QImage::Format_RGB32);
    image.fill(kReloadMatte);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(scale, scale);

    const QRectF face(1.5, 2.5, 53.0, 31.0);
    QLinearGradient body(0, face.top(), 0, face.bottom());
    body.setColorAt(0.0, QColor(0x78, 0xa4, 0xff));
    body.setColorAt(0.45, QColor(0x2c, 0x5c, 0xe0));
    body.setColorAt(1.0, QColor(0x14, 0x32, 0x9c));
    p.setPen(QPen(QColor(0x0a, 0x1e, 0x66), 1.0));
    p.setBrush(body);
    p.drawEllipse(face);

    // Glossy light on the upper half makes the oval read as a raised button.
    QLinearGradient gloss(0, face.top() + 1, 0, face.center().y());
    gloss.setColorAt(0.0, QColor(255, 255, 255, 120));
    gloss.setColorAt(1.0, QColor(255, 255, 255, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(gloss);
    p.drawEllipse(QRectF(face.left() + 6, face.top() + 1.5, face.width() - 12, 14));

    QVector<QPainterPath> word =
        textAt(fonts.boldFamily, QFont::Bold, 14.0, QStringLiteral("y\u00fckle"), QPointF(0, 0));
    const QRectF ink = boundsOf(word);
    // Centre on the x-height so the descender of 'y' does not push the word upwards.
    const qreal xHeight = 14.0 * 0.56;
    const QTransform place = QTransform::fromTranslate(face.center().x() - ink.center().x(),
                                                       face.center().y() + xHeight / 2 + 0.5);
    transformAll(word, place);
    const QPainterPath text = united(word);
    p.setBrush(QColor(0x06, 0x14, 0x50, 170));
    p.drawPath(text.translated(1.0, 1.0));
    p.setBrush(QColor(0xff, 0xff, 0xff));
    p.drawPath(text);
    return image;
}

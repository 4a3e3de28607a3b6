// Draws Zembra's application icon for desktop icon themes and checks what it writes.
//   make_icon <output-dir>
// writes <output-dir>/hicolor/scalable/apps/<id>.svg and <output-dir>/hicolor/NxN/apps/<id>.png.
// Every PNG is the SVG rendered by QSvgRenderer, so the two cannot drift apart. Sizes that
// are not a multiple of the design grid get their own snapped layout of the same drawing.

#include "checker.h"
#include "icon_svg.h"
#include "pictures.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <QSvgRenderer>
#include <QTextStream>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

QTextStream out(stdout);

const QString kAppId = QStringLiteral("org.example.Zembra");
const int kSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};

// The raster artwork's face: DejaVu is intended, Liberation only stands in.
QString loadBoldFamily()
{
    const QString dir = QStringLiteral("/usr/share/fonts/truetype/");
    for (const char *file : {"dejavu/DejaVuSans-Bold.ttf", "liberation2/LiberationSans-Bold.ttf"}) {
        const int id = QFontDatabase::addApplicationFont(dir + QLatin1String(file));
        const QStringList families = QFontDatabase::applicationFontFamilies(id);
        if (id >= 0 && !families.isEmpty()) {
            QFont font(families.first());
            font.setWeight(QFont::Bold);
            // A fallback face would put other letters in the committed SVG without a word.
            if (QFontInfo(font).family() != families.first())
                continue;
            out << "font: " << file << " -> " << families.first() << "\n";
            return families.first();
        }
    }
    return {};
}

QImage render(const QByteArray &svg, int size)
{
    QSvgRenderer renderer(svg);
    if (!renderer.isValid())
        return {};
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter);
    painter.end();
    return image.convertToFormat(QImage::Format_ARGB32);
}

bool near(QRgb c, const QColor &want, int tolerance)
{
    return std::abs(qRed(c) - want.red()) <= tolerance &&
           std::abs(qGreen(c) - want.green()) <= tolerance &&
           std::abs(qBlue(c) - want.blue()) <= tolerance;
}

int countNear(const QImage &image, const QColor &want, int tolerance)
{
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            n += near(image.pixel(x, y), want, tolerance) ? 1 : 0;
    return n;
}

// Where a colour sits, as the mean position of its pixels in fractions of the side.
QPointF centroid(const QImage &image, const QColor &colour)
{
    double x = 0, y = 0;
    int n = 0;
    for (int py = 0; py < image.height(); ++py) {
        for (int px = 0; px < image.width(); ++px) {
            if (near(image.pixel(px, py), colour, 24)) {
                x += px + 0.5;
                y += py + 0.5;
                ++n;
            }
        }
    }
    return n == 0 ? QPointF(-1, -1) : QPointF(x / n / image.width(), y / n / image.height());
}

void checkPng(Checker &check, const QString &path, int size, const QByteArray &scalable)
{
    const QString name = QStringLiteral("%1x%1 png").arg(size);
    QImageReader reader(path);
    const QImage image = reader.read().convertToFormat(QImage::Format_ARGB32);
    check.expect(!image.isNull() && image.size() == QSize(size, size), name,
                 QStringLiteral("reads back at %1x%2").arg(image.width()).arg(image.height()));
    if (image.size() != QSize(size, size))
        return;

    bool opaque = true;
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x)
            opaque = opaque && qAlpha(image.pixel(x, y)) == 255;
    check.expect(opaque, name, QStringLiteral("opaque edge to edge"));

    // Each flat colour must survive; a renderer that skipped the <use> layers or the marks
    // would lose one of them.
    const std::pair<const char *, QColor> keys[] = {
        {"cyan ground", kIconGround}, {"black lettering", kIconInk},   {"yellow e", kIconYellow},
        {"green bra", kIconGreen},    {"dark-blue marks", kIconMarks},
    };
    for (const auto &[what, colour] : keys)
        check.expect(countNear(image, colour, 24) > 0, name,
                     QStringLiteral("shows its %1").arg(QLatin1String(what)));

    // The border ring holds only the ground and whole-pixel marks: a blend there is a mark
    // off the pixel grid, or lettering pushed out to the edge.
    int blended = 0;
    for (int i = 0; i < size; ++i) {
        for (const QRgb c : {image.pixel(i, 0), image.pixel(i, size - 1), image.pixel(0, i),
                             image.pixel(size - 1, i)})
            blended += c == kIconGround.rgb() || c == kIconMarks.rgb() ? 0 : 1;
    }
    check.expect(blended == 0, name,
                 QStringLiteral("border is ground and crisp marks (%1 blended)").arg(blended));

    // Below the design size every pixel is one flat colour: any blend is an edge that fell
    // between pixels, the blur these sizes are drawn in whole pixels to avoid.
    if (size < kIconDesignGrid) {
        int blends = 0;
        for (int y = 0; y < size; ++y) {
            for (int x = 0; x < size; ++x) {
                const QRgb c = image.pixel(x, y);
                blends += std::none_of(std::begin(keys), std::end(keys),
                                       [c](const auto &key) { return c == key.second.rgb(); });
            }
        }
        check.expect(blends == 0, name,
                     QStringLiteral("only flat colours (%1 blended pixels)").arg(blends));
    }

    // Snapping, whole-pixel letters and a ring never under a pixel may move edges a little,
    // not the letters: each colour must sit where it sits in the scalable drawing.
    const QImage reference = render(scalable, 256);
    for (const auto &[what, colour] : keys) {
        const QPointF off = centroid(image, colour) - centroid(reference, colour);
        const double pixels = std::hypot(off.x(), off.y()) * size;
        check.expect(pixels <= std::max(1.5, 0.05 * size), name,
                     QStringLiteral("%1 where the scalable icon has it (%2 px off)")
                         .arg(QLatin1String(what))
                         .arg(pixels, 0, 'f', 2));
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output-dir>\n", argv[0]);
        return 2;
    }
    const QDir hicolor(QString::fromLocal8Bit(argv[1]) + QStringLiteral("/hicolor"));

    const QString family = loadBoldFamily();
    if (family.isEmpty()) {
        out << "FAIL  no bold sans font (DejaVu or Liberation) found\n";
        return 1;
    }

    Checker check(out);
    auto write = [&](const QString &relative, const QByteArray &bytes) {
        const QString path = hicolor.filePath(relative);
        QFile file(path);
        const bool ok = QDir().mkpath(QFileInfo(path).path()) &&
                        file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                        file.write(bytes) == bytes.size() && file.flush();
        check.expect(ok, relative,
                     ok ? QStringLiteral("written")
                        : QStringLiteral("not written: ") + file.errorString());
        return ok ? path : QString();
    };

    const QByteArray scalable = iconSvg(family, kIconDesignGrid);
    const bool svgWritten =
        !write(QStringLiteral("scalable/apps/%1.svg").arg(kAppId), scalable).isEmpty();
    check.expect(QSvgRenderer(scalable).isValid(), QStringLiteral("svg"),
                 QStringLiteral("parses as SVG"));
    if (!svgWritten || check.failures() > 0)
        return 1;

    for (const int size : kSizes) {
        const QByteArray svg = size % kIconDesignGrid == 0 ? scalable : iconSvg(family, size);
        const QImage image = render(svg, size);
        QByteArray png;
        {
            QBuffer buffer(&png);
            buffer.open(QIODevice::WriteOnly);
            // Opaque throughout, so RGB: a quarter smaller and nothing lost.
            image.convertToFormat(QImage::Format_RGB32).save(&buffer, "png");
        }
        const QString path = write(QStringLiteral("%1x%1/apps/%2.png").arg(size).arg(kAppId), png);
        if (!path.isEmpty())
            checkPng(check, path, size, scalable);
    }

    if (check.failures() > 0) {
        out << check.failures() << " check(s) failed\n";
        return 1;
    }
    out << "all checks passed\n";
    return 0;
}

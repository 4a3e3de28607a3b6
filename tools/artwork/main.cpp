// Draws Zembra's artwork into the assets folder and checks every file it writes.
//   make_artwork <output-dir>
// Every picture is a PNG, which Qt GUI decodes itself: the program needs no image format
// plugin and no JPEG library. ImageMagick's convert makes the two palette pictures, the
// icon and the reload button; Qt writes the others. Each comes twice: plain, and as its
// "@2x" partner, which Qt picks on screens of more than one device pixel to the logical one.

#include "checker.h"
#include "pictures.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImageReader>
#include <QImageWriter>
#include <QPair>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QTextStream>

#include <cmath>
#include <cstdio>
#include <functional>

namespace {

QTextStream out(stdout);

const QString kFontDir = QStringLiteral("/usr/share/fonts/truetype/");

// First font file that loads wins; DejaVu is the intended face, Liberation a stand-in.
QString addFirstFont(const QStringList &files)
{
    for (const QString &file : files) {
        const int id = QFontDatabase::addApplicationFont(kFontDir + file);
        if (id < 0)
            continue;
        const QStringList families = QFontDatabase::applicationFontFamilies(id);
        if (!families.isEmpty()) {
            out << "font: " << file << " -> " << families.first() << "\n";
            return families.first();
        }
    }
    return {};
}

// The font must resolve to the loaded face, not a fallback, and carry every glyph drawn.
bool fontCovers(const QString &family, QFont::Weight weight, const QString &text)
{
    QFont font(family);
    font.setPixelSize(20);
    font.setWeight(weight);
    if (QFontInfo(font).family() != family) {
        out << "FAIL  font " << family << " resolves to " << QFontInfo(font).family() << "\n";
        return false;
    }
    const QFontMetrics metrics(font);
    for (const uint ucs4 : text.toUcs4()) {
        if (!metrics.inFontUcs4(ucs4)) {
            out << "FAIL  font " << family << " lacks U+" << QString::number(ucs4, 16) << "\n";
            return false;
        }
    }
    return true;
}

bool runConvert(const QStringList &args, QString *error)
{
    QProcess process;
    process.start(QStringLiteral("convert"), args);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        *error = QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
        if (error->isEmpty())
            *error = process.errorString();
        return false;
    }
    return true;
}

bool writePng(const QImage &image, const QString &path, QString *error)
{
    QImageWriter writer(path, "png");
    writer.setQuality(0); // the smallest file; PNG loses nothing at any setting
    if (!writer.write(image)) {
        *error = writer.errorString();
        return false;
    }
    return true;
}

// The pictures were first published as quality 93 JPEGs. Keeping their decoded pixels
// keeps the windows exactly as they were; the PNG then stores them losslessly.
bool writeJpegLookPng(const QImage &image, const QString &path, QString *error)
{
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(93);
    if (!writer.write(image)) {
        *error = writer.errorString();
        return false;
    }
    QImage decoded;
    if (!decoded.loadFromData(jpeg, "jpeg")) {
        *error = QStringLiteral("cannot read back the JPEG");
        return false;
    }
    return writePng(decoded.convertToFormat(QImage::Format_RGB32), path, error);
}

// Bit depth and colour type from a PNG's header, which QImageReader does not report.
QPair<int, int> pngDepthAndColourType(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {-1, -1};
    const QByteArray head = file.read(26);
    if (head.size() < 26 || !head.startsWith("\x89PNG\r\n\x1a\n") || head.mid(12, 4) != "IHDR")
        return {-1, -1};
    return {quint8(head[24]), quint8(head[25])};
}

struct Loaded {
    QImage image;
    QByteArray format;
};

Loaded load(const QString &path)
{
    QImageReader reader(path);
    reader.setDecideFormatFromContent(true);
    Loaded loaded;
    loaded.format = reader.format();
    loaded.image = reader.read();
    return loaded;
}

QString sizeText(const QImage &image)
{
    return QStringLiteral("%1x%2").arg(image.width()).arg(image.height());
}

void expectShape(Checker &check, const QString &name, const Loaded &loaded,
                 const QByteArray &format, const QSize &size)
{
    check.expect(!loaded.image.isNull() && loaded.format == format, name,
                 QStringLiteral("reads as %1 (reader saw '%2')")
                     .arg(QString::fromLatin1(format), QString::fromLatin1(loaded.format)));
    check.expect(loaded.image.size() == size, name,
                 QStringLiteral("size %1, want %2x%3")
                     .arg(sizeText(loaded.image))
                     .arg(size.width())
                     .arg(size.height()));
}

QSet<QRgb> coloursOf(const QImage &image)
{
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    QSet<QRgb> colours;
    for (int y = 0; y < argb.height(); ++y)
        for (int x = 0; x < argb.width(); ++x)
            colours.insert(argb.pixel(x, y));
    return colours;
}

bool hasColourNear(const QSet<QRgb> &colours, QColor want, int tolerance)
{
    for (const QRgb c : colours) {
        if (qAlpha(c) == 255 && std::abs(qRed(c) - want.red()) <= tolerance &&
            std::abs(qGreen(c) - want.green()) <= tolerance &&
            std::abs(qBlue(c) - want.blue()) <= tolerance)
            return true;
    }
    return false;
}

void checkIcon(Checker &check, const QString &path, int scale)
{
    const QString name = QFileInfo(path).fileName();
    const Loaded loaded = load(path);
    expectShape(check, name, loaded, "png", QSize(32, 32) * scale);
    const auto [depth, colourType] = pngDepthAndColourType(path);
    check.expect(
        depth == 4 && colourType == 3, name,
        QStringLiteral("4-bit palette (bit depth %1, colour type %2)").arg(depth).arg(colourType));
    const QSet<QRgb> colours = coloursOf(loaded.image);
    check.expect(colours.size() <= 16 && colours.size() >= 6, name,
                 QStringLiteral("%1 colours (at most 16)").arg(colours.size()));
    // Palette reduction must not merge the small coloured areas into their neighbours.
    const std::pair<const char *, QColor> keys[] = {
        {"black lettering", kIconInk}, {"yellow fill", kIconYellow},    {"green fill", kIconGreen},
        {"cyan ground", kIconGround},  {"dark-blue marks", kIconMarks},
    };
    for (const auto &[what, colour] : keys)
        check.expect(hasColourNear(colours, colour, 40), name,
                     QStringLiteral("keeps its %1").arg(QLatin1String(what)));
}

void checkPicture(Checker &check, const QString &path, const QSize &size, int minColours)
{
    const QString name = QFileInfo(path).fileName();
    const Loaded loaded = load(path);
    expectShape(check, name, loaded, "png", size);
    check.expect(
        coloursOf(loaded.image).size() >= minColours, name,
        QStringLiteral("has drawn detail (%1 colours)").arg(coloursOf(loaded.image).size()));
}

void checkPanel(Checker &check, const QString &path)
{
    const QString name = QFileInfo(path).fileName();
    const QImage image = load(path).image.convertToFormat(QImage::Format_RGB32);
    double r = 0, g = 0, b = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb c = image.pixel(x, y);
            r += qRed(c);
            g += qGreen(c);
            b += qBlue(c);
        }
    }
    const double n = std::max(1, image.width() * image.height());
    r /= n;
    g /= n;
    b /= n;
    const bool near = std::abs(r - kPanelAverage.red()) <= 4 &&
                      std::abs(g - kPanelAverage.green()) <= 4 &&
                      std::abs(b - kPanelAverage.blue()) <= 4;
    check.expect(near, name,
                 QStringLiteral("average colour %1,%2,%3 (want %4,%5,%6 within 4)")
                     .arg(r, 0, 'f', 1)
                     .arg(g, 0, 'f', 1)
                     .arg(b, 0, 'f', 1)
                     .arg(kPanelAverage.red())
                     .arg(kPanelAverage.green())
                     .arg(kPanelAverage.blue()));
}

void checkReload(Checker &check, const QString &path, int scale)
{
    const QString name = QFileInfo(path).fileName();
    const Loaded loaded = load(path);
    const QSize size = QSize(56, 36) * scale;
    expectShape(check, name, loaded, "png", size);
    const QImage &image = loaded.image;
    check.expect(image.hasAlphaChannel(), name, QStringLiteral("has an alpha channel"));
    if (image.size() != size)
        return;
    const int right = size.width() - 1;
    const int bottom = size.height() - 1;
    const bool cornersClear =
        qAlpha(image.pixel(0, 0)) == 0 && qAlpha(image.pixel(right, 0)) == 0 &&
        qAlpha(image.pixel(0, bottom)) == 0 && qAlpha(image.pixel(right, bottom)) == 0;
    check.expect(cornersClear, name, QStringLiteral("corners are transparent"));

    int clear = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            clear += qAlpha(image.pixel(x, y)) == 0 ? 1 : 0;
    // Outside an oval filling the picture lies a bit over a third of it.
    const double share = clear / double(image.width() * image.height());
    check.expect(share > 0.25 && share < 0.45, name,
                 QStringLiteral("%1% transparent around the oval").arg(qRound(share * 100)));

    const QRgb rim = image.pixel(QPoint(28, 31) * scale);
    check.expect(qAlpha(rim) == 255 && qBlue(rim) > qRed(rim) + 60, name,
                 QStringLiteral("oval face is opaque blue"));
    check.expect(hasColourNear(coloursOf(image), QColor(255, 255, 255), 6), name,
                 QStringLiteral("carries white lettering"));
}

// Mean difference per channel, transparent parts counting as black.
double meanDifference(const QImage &a, const QImage &b)
{
    const QImage p = a.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QImage q = b.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    double sum = 0;
    for (int y = 0; y < p.height(); ++y) {
        for (int x = 0; x < p.width(); ++x) {
            const QRgb c = p.pixel(x, y);
            const QRgb d = q.pixel(x, y);
            sum += std::abs(qRed(c) - qRed(d)) + std::abs(qGreen(c) - qGreen(d)) +
                   std::abs(qBlue(c) - qBlue(d)) + std::abs(qAlpha(c) - qAlpha(d));
        }
    }
    return sum / (4.0 * std::max(1, p.width() * p.height()));
}

// Detail finer than a plain pixel: how far each pixel of a doubled picture strays from the
// mean of the 2x2 square it shares with three others, squared and averaged.
double finerDetail(const QImage &doubled)
{
    const QImage image = doubled.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    double sum = 0;
    for (int y = 0; y + 1 < image.height(); y += 2) {
        for (int x = 0; x + 1 < image.width(); x += 2) {
            const QRgb square[] = {image.pixel(x, y), image.pixel(x + 1, y), image.pixel(x, y + 1),
                                   image.pixel(x + 1, y + 1)};
            for (const int shift : {0, 8, 16, 24}) {
                auto channel = [shift](QRgb c) { return double((c >> shift) & 0xff); };
                double mean = 0;
                for (const QRgb c : square)
                    mean += channel(c) / 4.0;
                for (const QRgb c : square)
                    sum += (channel(c) - mean) * (channel(c) - mean);
            }
        }
    }
    return sum / std::max(1, image.width() * image.height());
}

// The "@2x" picture must be the plain one's design: brought down to its size it differs by
// little more than the plain picture's JPEG look. Where the design has edges, it must hold
// detail the plain picture enlarged does not.
void checkDoubled(Checker &check, const QString &plainPath, const QString &doubledPath,
                  bool hasEdges)
{
    const QString name = QFileInfo(doubledPath).fileName();
    // In full colour: Qt 6.4 crashes scaling a palette picture smoothly.
    const QImage plain = load(plainPath).image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QImage doubled =
        load(doubledPath).image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    if (plain.isNull() || doubled.size() != plain.size() * 2) {
        check.expect(false, name, QStringLiteral("twice the plain picture's size"));
        return;
    }
    const double apart = meanDifference(
        doubled.scaled(plain.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation), plain);
    check.expect(apart < 6.0, name,
                 QStringLiteral("same design as the plain picture (%1 apart per channel)")
                     .arg(apart, 0, 'f', 2));
    if (!hasEdges)
        return;
    const double own = finerDetail(doubled);
    const double enlarged =
        finerDetail(plain.scaled(doubled.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    check.expect(own > 1.5 * enlarged, name,
                 QStringLiteral("finer detail %1, the plain picture enlarged %2")
                     .arg(own, 0, 'f', 1)
                     .arg(enlarged, 0, 'f', 1));
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
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    if (!QDir().mkpath(dir.path())) {
        std::fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }

    Fonts fonts;
    fonts.boldFamily = addFirstFont({QStringLiteral("dejavu/DejaVuSans-Bold.ttf"),
                                     QStringLiteral("liberation2/LiberationSans-Bold.ttf")});
    fonts.lightFamily = addFirstFont({QStringLiteral("dejavu/DejaVuSans-ExtraLight.ttf"),
                                      QStringLiteral("dejavu/DejaVuSans.ttf"),
                                      QStringLiteral("liberation2/LiberationSans-Regular.ttf")});
    if (fonts.boldFamily.isEmpty() || fonts.lightFamily.isEmpty()) {
        out << "FAIL  no usable sans font under " << kFontDir << "\n";
        return 1;
    }
    if (!fontCovers(fonts.boldFamily, QFont::Bold, QStringLiteral("zembratkdsign y\u00fckle")) ||
        !fontCovers(fonts.lightFamily, QFont::ExtraLight, QStringLiteral("design")))
        return 1;

    QTemporaryDir scratch;
    if (!scratch.isValid()) {
        out << "FAIL  no scratch folder: " << scratch.errorString() << "\n";
        return 1;
    }

    Checker check(out);
    QString error;
    auto produced = [&](const QString &name, bool ok) {
        check.expect(ok, name,
                     ok ? QStringLiteral("written") : QStringLiteral("not written: ") + error);
        return ok;
    };

    for (const int scale : {1, 2}) {
        const QString suffix = scale == 1 ? QString() : QStringLiteral("@%1x").arg(scale);
        auto fileName = [&](const char *picture) {
            return QLatin1String(picture) + suffix + QStringLiteral(".png");
        };
        auto target = [&](const char *picture) { return dir.filePath(fileName(picture)); };
        // The plain pictures were first published as JPEGs and keep that look; the finer ones
        // never were, and are stored as drawn.
        auto writeDrawn = [&](const QImage &image, const QString &path) {
            return scale == 1 ? writeJpegLookPng(image, path, &error)
                              : writePng(image, path, &error);
        };

        const QString icon = target("icon");
        const QString iconSource = scratch.filePath(fileName("icon"));
        // No dithering: scattered dots would blur lettering only a few pixels tall. Sixteen
        // colours in four bits, as the icon always was; -strip keeps out the time stamps.
        if (produced(
                fileName("icon"),
                drawIcon(fonts, scale).save(iconSource, "png") &&
                    runConvert({iconSource, QStringLiteral("+dither"), QStringLiteral("-colors"),
                                QStringLiteral("16"), QStringLiteral("-strip"),
                                QStringLiteral("-define"), QStringLiteral("png:bit-depth=4"),
                                QStringLiteral("-define"), QStringLiteral("png:color-type=3"),
                                QStringLiteral("png:") + icon},
                               &error)))
            checkIcon(check, icon, scale);

        const QString banner = target("banner");
        if (produced(fileName("banner"), writeDrawn(drawBanner(fonts, scale), banner)))
            checkPicture(check, banner, QSize(196, 46) * scale, 500);

        const QString panel = target("panel");
        if (produced(fileName("panel"), writeDrawn(drawPanel(scale), panel))) {
            checkPicture(check, panel, QSize(153, 30) * scale, 24);
            checkPanel(check, panel);
        }

        const QString about = target("about");
        if (produced(fileName("about"), writeDrawn(drawAbout(fonts, scale), about)))
            checkPicture(check, about, QSize(125, 163) * scale, 500);

        const QString reload = target("reload");
        const QString reloadSource = scratch.filePath(fileName("reload"));
        const QString reloadGif =
            scratch.filePath(QStringLiteral("reload") + suffix + QStringLiteral(".gif"));
        const QString matte = kReloadMatte.name();
        // The matte is made transparent before quantising so no other colour can merge into
        // it. The palette is the one convert's GIF coder picks, as it always was; the PNG keeps
        // it.
        if (produced(fileName("reload"),
                     drawReload(fonts, scale).save(reloadSource, "png") &&
                         runConvert({reloadSource, QStringLiteral("-transparent"), matte,
                                     QStringLiteral("+dither"), QStringLiteral("-colors"),
                                     QStringLiteral("255"), QStringLiteral("-transparent-color"),
                                     matte, QStringLiteral("gif:") + reloadGif},
                                    &error) &&
                         runConvert({reloadGif, QStringLiteral("-strip"),
                                     QStringLiteral("png8:") + reload},
                                    &error))) {
            checkReload(check, reload, scale);
            check.expect(load(reload).image.convertToFormat(QImage::Format_ARGB32) ==
                             load(reloadGif).image.convertToFormat(QImage::Format_ARGB32),
                         fileName("reload"),
                         QStringLiteral("same pixels as the quantised picture"));
        }
    }

    // The panel is a soft texture all over: its finer picture is smoother, not sharper.
    const std::pair<const char *, bool> doubled[] = {
        {"icon", true}, {"banner", true}, {"panel", false}, {"about", true}, {"reload", true},
    };
    for (const auto &[picture, hasEdges] : doubled)
        checkDoubled(check, dir.filePath(QLatin1String(picture) + QStringLiteral(".png")),
                     dir.filePath(QLatin1String(picture) + QStringLiteral("@2x.png")), hasEdges);

    if (check.failures() > 0) {
        out << check.failures() << " check(s) failed\n";
        return 1;
    }
    out << "all checks passed\n";
    return 0;
}

// Draws Zembra's artwork into the assets folder and checks every file it writes.
//   make_artwork <output-dir>
// Every picture is a PNG, which Qt GUI decodes itself: the program needs no image format
// plugin and no JPEG library. ImageMagick's convert makes the two palette pictures, the
// icon and the reload button; Qt writes the others.

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

class Checker {
public:
    void expect(bool ok, const QString &file, const QString &what)
    {
        out << (ok ? "ok    " : "FAIL  ") << file << ": " << what << "\n";
        if (!ok)
            ++failures_;
    }
    int failures() const { return failures_; }

private:
    int failures_ = 0;
};

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

void checkIcon(Checker &check, const QString &path)
{
    const QString name = QFileInfo(path).fileName();
    const Loaded loaded = load(path);
    expectShape(check, name, loaded, "png", QSize(32, 32));
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

void checkReload(Checker &check, const QString &path)
{
    const QString name = QFileInfo(path).fileName();
    const Loaded loaded = load(path);
    expectShape(check, name, loaded, "png", QSize(56, 36));
    const QImage &image = loaded.image;
    check.expect(image.hasAlphaChannel(), name, QStringLiteral("has an alpha channel"));
    if (image.size() != QSize(56, 36))
        return;
    const bool cornersClear = qAlpha(image.pixel(0, 0)) == 0 && qAlpha(image.pixel(55, 0)) == 0 &&
                              qAlpha(image.pixel(0, 35)) == 0 && qAlpha(image.pixel(55, 35)) == 0;
    check.expect(cornersClear, name, QStringLiteral("corners are transparent"));

    int clear = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            clear += qAlpha(image.pixel(x, y)) == 0 ? 1 : 0;
    // Outside an oval filling the picture lies a bit over a third of it.
    const double share = clear / double(image.width() * image.height());
    check.expect(share > 0.25 && share < 0.45, name,
                 QStringLiteral("%1% transparent around the oval").arg(qRound(share * 100)));

    const QRgb rim = image.pixel(28, 31);
    check.expect(qAlpha(rim) == 255 && qBlue(rim) > qRed(rim) + 60, name,
                 QStringLiteral("oval face is opaque blue"));
    check.expect(hasColourNear(coloursOf(image), QColor(255, 255, 255), 6), name,
                 QStringLiteral("carries white lettering"));
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

    Checker check;
    QString error;
    auto produced = [&](const QString &name, bool ok) {
        check.expect(ok, name,
                     ok ? QStringLiteral("written") : QStringLiteral("not written: ") + error);
        return ok;
    };

    const QString icon = dir.filePath(QStringLiteral("icon.png"));
    const QString iconSource = scratch.filePath(QStringLiteral("icon.png"));
    // No dithering: scattered dots would blur lettering only a few pixels tall. Sixteen
    // colours in four bits, as the icon always was; -strip keeps out the time stamps.
    if (produced(QStringLiteral("icon.png"),
                 drawIcon(fonts).save(iconSource, "png") &&
                     runConvert({iconSource, QStringLiteral("+dither"), QStringLiteral("-colors"),
                                 QStringLiteral("16"), QStringLiteral("-strip"),
                                 QStringLiteral("-define"), QStringLiteral("png:bit-depth=4"),
                                 QStringLiteral("-define"), QStringLiteral("png:color-type=3"),
                                 QStringLiteral("png:") + icon},
                                &error)))
        checkIcon(check, icon);

    const QString banner = dir.filePath(QStringLiteral("banner.png"));
    if (produced(QStringLiteral("banner.png"), writeJpegLookPng(drawBanner(fonts), banner, &error)))
        checkPicture(check, banner, QSize(196, 46), 500);

    const QString panel = dir.filePath(QStringLiteral("panel.png"));
    if (produced(QStringLiteral("panel.png"), writeJpegLookPng(drawPanel(), panel, &error))) {
        checkPicture(check, panel, QSize(153, 30), 24);
        checkPanel(check, panel);
    }

    const QString about = dir.filePath(QStringLiteral("about.png"));
    if (produced(QStringLiteral("about.png"), writeJpegLookPng(drawAbout(fonts), about, &error)))
        checkPicture(check, about, QSize(125, 163), 500);

    const QString reload = dir.filePath(QStringLiteral("reload.png"));
    const QString reloadSource = scratch.filePath(QStringLiteral("reload.png"));
    const QString reloadGif = scratch.filePath(QStringLiteral("reload.gif"));
    const QString matte = kReloadMatte.name();
    // The matte is made transparent before quantising so no other colour can merge into it.
    // The palette is the one convert's GIF coder picks, as it always was; the PNG keeps it.
    if (produced(
            QStringLiteral("reload.png"),
            drawReload(fonts).save(reloadSource, "png") &&
                runConvert({reloadSource, QStringLiteral("-transparent"), matte,
                            QStringLiteral("+dither"), QStringLiteral("-colors"),
                            QStringLiteral("255"), QStringLiteral("-transparent-color"), matte,
                            QStringLiteral("gif:") + reloadGif},
                           &error) &&
                runConvert({reloadGif, QStringLiteral("-strip"), QStringLiteral("png8:") + reload},
                           &error))) {
        checkReload(check, reload);
        check.expect(load(reload).image.convertToFormat(QImage::Format_ARGB32) ==
                         load(reloadGif).image.convertToFormat(QImage::Format_ARGB32),
                     QStringLiteral("reload.png"),
                     QStringLiteral("same pixels as the quantised picture"));
    }

    if (check.failures() > 0) {
        out << check.failures() << " check(s) failed\n";
        return 1;
    }
    out << "all checks passed\n";
    return 0;
}

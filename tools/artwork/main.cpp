// Draws Zembra's artwork into the assets folder and checks every file it writes.
//   make_artwork <output-dir>
// Qt writes the JPEGs itself; ImageMagick's convert produces the palette ICO and the GIF,
// which Qt cannot write.

#include "pictures.h"

#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImageReader>
#include <QImageWriter>
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

bool writeJpeg(const QImage &image, const QString &path, QString *error)
{
    QImageWriter writer(path, "jpeg");
    writer.setQuality(93);
    if (!writer.write(image)) {
        *error = writer.errorString();
        return false;
    }
    return true;
}

struct Loaded {
    QImage image;
    QByteArray format;
    int frames = 0;
};

Loaded load(const QString &path)
{
    QImageReader reader(path);
    reader.setDecideFormatFromContent(true);
    Loaded loaded;
    loaded.format = reader.format();
    loaded.frames = reader.imageCount();
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
    expectShape(check, name, loaded, "ico", QSize(32, 32));
    check.expect(loaded.frames == 1, name, QStringLiteral("%1 image(s) inside").arg(loaded.frames));
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

void checkJpeg(Checker &check, const QString &path, const QSize &size, int minColours)
{
    const QString name = QFileInfo(path).fileName();
    const Loaded loaded = load(path);
    expectShape(check, name, loaded, "jpeg", size);
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
    expectShape(check, name, loaded, "gif", QSize(56, 36));
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

    const QString icon = dir.filePath(QStringLiteral("icon.ico"));
    const QString iconSource = scratch.filePath(QStringLiteral("icon.png"));
    // No dithering: scattered dots would blur lettering only a few pixels tall.
    if (produced(QStringLiteral("icon.ico"),
                 drawIcon(fonts).save(iconSource, "png") &&
                     runConvert({iconSource, QStringLiteral("+dither"), QStringLiteral("-colors"),
                                 QStringLiteral("16"), QStringLiteral("ico:") + icon},
                                &error)))
        checkIcon(check, icon);

    const QString banner = dir.filePath(QStringLiteral("banner.jpg"));
    if (produced(QStringLiteral("banner.jpg"), writeJpeg(drawBanner(fonts), banner, &error)))
        checkJpeg(check, banner, QSize(196, 46), 500);

    const QString panel = dir.filePath(QStringLiteral("panel.jpg"));
    if (produced(QStringLiteral("panel.jpg"), writeJpeg(drawPanel(), panel, &error))) {
        checkJpeg(check, panel, QSize(153, 30), 24);
        checkPanel(check, panel);
    }

    const QString about = dir.filePath(QStringLiteral("about.jpg"));
    if (produced(QStringLiteral("about.jpg"), writeJpeg(drawAbout(fonts), about, &error)))
        checkJpeg(check, about, QSize(125, 163), 500);

    const QString reload = dir.filePath(QStringLiteral("reload.gif"));
    const QString reloadSource = scratch.filePath(QStringLiteral("reload.png"));
    const QString matte = kReloadMatte.name();
    // The matte is made transparent before quantising so no other colour can merge into it.
    if (produced(QStringLiteral("reload.gif"),
                 drawReload(fonts).save(reloadSource, "png") &&
                     runConvert({reloadSource, QStringLiteral("-transparent"), matte,
                                 QStringLiteral("+dither"), QStringLiteral("-colors"),
                                 QStringLiteral("255"), QStringLiteral("-transparent-color"), matte,
                                 QStringLiteral("gif:") + reload},
                                &error)))
        checkReload(check, reload);

    if (check.failures() > 0) {
        out << check.failures() << " check(s) failed\n";
        return 1;
    }
    out << "all checks passed\n";
    return 0;
}

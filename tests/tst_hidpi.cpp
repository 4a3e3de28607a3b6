// The pictures on a screen of more than one device pixel to the logical one (QT_SCALE_FACTOR,
// 2 unless the run sets it): each must show the detail of a picture drawn for such screens,
// at the place and size it has on a plain screen.

#include "main_window/frm_ana.h"
#include "mapped_decoders.h"
#include "recording_player.h"
#include "secondary_windows/frm_browser.h"
#include "secondary_windows/frm_hak.h"
#include "window_services/fonts.h"
#include "window_services/status_panel.h"
#include "window_services/style.h"

#include <QApplication>
#include <QImageReader>
#include <QLabel>
#include <QPainter>
#include <QTest>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <vector>

namespace {

// The picture a plain screen shows.
QImage plainPicture(const QString &name)
{
    QImageReader reader(QStringLiteral(":/assets/%1.png").arg(name), "png");
    reader.setAutoDetectImageFormat(false);
    return reader.read();
}

// The plain picture at logical `at`, enlarged by `scale` as a painter draws it.
QImage enlarged(const QImage &picture, QPoint at, qreal scale, const QSize &deviceSize,
                const QColor &ground, bool smooth)
{
    QImage out(deviceSize, QImage::Format_RGB32);
    out.fill(ground);
    QPainter painter(&out);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, smooth);
    painter.scale(scale, scale);
    painter.drawImage(at, picture);
    return out;
}

// Calls f(x, y, cell) for each device pixel whose centre lies in `logical`, with the logical
// pixel holding it.
template <typename F>
void forEachDevicePixel(const QImage &image, qreal scale, const QRect &logical, F f)
{
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QPoint cell(int(std::floor((x + 0.5) / scale)),
                              int(std::floor((y + 0.5) / scale)));
            if (logical.contains(cell))
                f(x, y, cell - logical.topLeft());
        }
    }
}

struct Cells {
    QImage means;       // each logical pixel's mean colour: the picture brought to plain size
    double finer = 0.0; // mean squared distance of the device pixels from those means
};

Cells cellsOf(const QImage &device, qreal scale, const QRect &logical)
{
    const QImage image = device.convertToFormat(QImage::Format_RGB32);
    // Per logical pixel: the sums of red, green and blue and their count, then the means.
    std::vector<std::array<double, 4>> sums(size_t(logical.width() * logical.height()));
    auto sumOf = [&](QPoint cell) -> std::array<double, 4> & {
        return sums[size_t(cell.y() * logical.width() + cell.x())];
    };
    forEachDevicePixel(image, scale, logical, [&](int x, int y, QPoint cell) {
        const QRgb c = image.pixel(x, y);
        auto &s = sumOf(cell);
        s = {s[0] + qRed(c), s[1] + qGreen(c), s[2] + qBlue(c), s[3] + 1};
    });
    Cells cells{QImage(logical.size(), QImage::Format_RGB32)};
    for (size_t i = 0; i < sums.size(); ++i) {
        auto &s = sums[i];
        s = {s[0] / s[3], s[1] / s[3], s[2] / s[3], s[3]};
        cells.means.setPixel(int(i) % logical.width(), int(i) / logical.width(),
                             qRgb(qRound(s[0]), qRound(s[1]), qRound(s[2])));
    }
    double squares = 0.0;
    int count = 0;
    forEachDevicePixel(image, scale, logical, [&](int x, int y, QPoint cell) {
        const QRgb c = image.pixel(x, y);
        const auto &mean = sumOf(cell);
        for (const double d : {qRed(c) - mean[0], qGreen(c) - mean[1], qBlue(c) - mean[2]})
            squares += d * d;
        ++count;
    });
    cells.finer = squares / std::max(1, count);
    return cells;
}

// Mean absolute difference per colour channel over the device pixels of `logical`.
double meanDifference(const QImage &a, const QImage &b, qreal scale, const QRect &logical)
{
    const QImage p = a.convertToFormat(QImage::Format_RGB32);
    const QImage q = b.convertToFormat(QImage::Format_RGB32);
    double sum = 0.0;
    int count = 0;
    forEachDevicePixel(p, scale, logical, [&](int x, int y, QPoint) {
        const QRgb c = p.pixel(x, y);
        const QRgb d = q.pixel(x, y);
        sum += std::abs(qRed(c) - qRed(d)) + std::abs(qGreen(c) - qGreen(d)) +
               std::abs(qBlue(c) - qBlue(d));
        ++count;
    });
    return sum / (3.0 * std::max(1, count));
}

// The widget grabbed again showing the plain picture instead, enlarged as Qt enlarges it.
QImage showingPlain(QWidget *widget, const QImage &plain)
{
    const QPixmap pixmap = QPixmap::fromImage(plain);
    if (auto *label = qobject_cast<QLabel *>(widget))
        label->setPixmap(pixmap);
    else if (auto *panel = qobject_cast<StatusPanel *>(widget))
        panel->setBackground(pixmap);
    else
        qWarning("%s shows no picture", qPrintable(widget->objectName()));
    return widget->grab().toImage();
}

} // namespace

class TestHiDpi : public QObject {
    Q_OBJECT

    RecordingPlayer player;
    std::unique_ptr<QWidget> window;

    bool showWindow(const QString &name)
    {
        if (name == "frmAna")
            window = std::make_unique<frmAna>(player);
        else if (name == "frmHak")
            window = std::make_unique<frmHak>();
        else
            window = std::make_unique<frmBrowser>(static_cast<WebViewFactory *>(nullptr));
        window->show();
        return QTest::qWaitForWindowExposed(window.get());
    }

private slots:
    void initTestCase()
    {
        Fonts::install();
        Style::install();
        QVERIFY2(qApp->devicePixelRatio() > 1.0, "QT_SCALE_FACTOR must be above 1");
    }

    void cleanup()
    {
        window.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // First, before any other test has drawn anything: finding the finer pictures must not
    // bring in the image format plugins either.
    void showsWithoutImageFormatPlugins()
    {
        for (const char *name : {"frmAna", "frmHak", "frmBrowser"}) {
            QVERIFY(showWindow(name));
            window->grab();
            window->windowIcon().pixmap(QSize(32, 32), 2.0);
        }
        QCOMPARE(mappedImageDecoders(), QStringList());
    }

    void picturesAreDrawnForTheScreen_data()
    {
        QTest::addColumn<QString>("windowName");
        QTest::addColumn<QString>("widgetName"); // none: the window icon, at twice its size
        QTest::addColumn<bool>("hasEdges");      // the panel is a soft texture all over
        // How far, per channel, the plain picture may lie from what is shown brought back to
        // plain size. The finer pictures are drawn afresh, without the plain ones' JPEG look;
        // the panel's shades lie so close together that it allows less.
        QTest::addColumn<double>("maxApart");
        // Each row is named after its picture.
        const auto row = [](const char *picture, const char *window, const char *widget,
                            bool hasEdges, double maxApart) {
            QTest::newRow(picture) << window << widget << hasEdges << maxApart;
        };
        row("banner", "frmAna", "Image1", true, 12.0);
        row("panel", "frmAna", "PicStatus", false, 2.0);
        row("about", "frmHak", "Picture1", true, 12.0);
        row("reload", "frmBrowser", "Image1", true, 12.0);
        // Window managers ask for icons in sizes of their own, whatever the program's scale.
        row("icon", "frmAna", "", true, 12.0);
    }

    // Brought back to logical pixels, what is shown must be the plain picture in its plain
    // place. In device pixels it must differ from the plain picture enlarged: by the painter,
    // sharp or smooth, and by the widget itself. Where the design has edges it must also vary
    // more within each logical pixel than the enlargements by the widget and the smooth
    // painter do (the sharp painter's steps within a logical pixel, where it enlarges by a
    // fraction, are no detail).
    void picturesAreDrawnForTheScreen()
    {
        const QString picture = QTest::currentDataTag();
        QFETCH(QString, windowName);
        QFETCH(QString, widgetName);
        QFETCH(bool, hasEdges);
        QFETCH(double, maxApart);
        const QImage plain = plainPicture(picture);
        QVERIFY(!plain.isNull());
        QVERIFY(showWindow(windowName));

        QImage shown;      // device pixels
        qreal scale = 1.0; // device pixels to the logical one
        QPoint at;         // the picture's top-left corner, logical
        QRect visible;     // the part of the picture in view, logical
        QColor ground;     // what shows through its transparent parts
        std::vector<QImage> enlargements;
        if (widgetName.isEmpty()) {
            const QPixmap icon = window->windowIcon().pixmap(plain.size(), 2.0);
            QCOMPARE(icon.size(), plain.size() * 2);
            shown = icon.toImage();
            scale = 2.0;
            visible = plain.rect();
            ground = Qt::black;
        } else {
            auto *widget = window->findChild<QWidget *>(widgetName);
            QVERIFY(widget);
            shown = widget->grab().toImage();
            scale = shown.devicePixelRatio();
            at = widget->contentsRect().topLeft();
            visible = QRect(at, plain.size()).intersected(widget->contentsRect());
            ground = widget->palette().color(widget->backgroundRole());
            enlargements.push_back(showingPlain(widget, plain));
        }
        QVERIFY(scale > 1.0);
        const QImage sharp = enlarged(plain, at, scale, shown.size(), ground, false);
        enlargements.push_back(enlarged(plain, at, scale, shown.size(), ground, true));

        const Cells cells = cellsOf(shown, scale, visible);
        const QImage flat = enlarged(plain, QPoint(), 1.0, plain.size(), ground, false)
                                .copy(visible.translated(-at));
        const double apart = meanDifference(cells.means, flat, 1.0, flat.rect());
        double closest = meanDifference(shown, sharp, scale, visible);
        double finest = 0.0;
        for (const QImage &enlargement : enlargements) {
            closest = std::min(closest, meanDifference(shown, enlargement, scale, visible));
            finest = std::max(finest, cellsOf(enlargement, scale, visible).finer);
        }
        const QString figures = QStringLiteral("scale %1: %2 off the plain picture at plain size, "
                                               "%3 off its closest enlargement; finer detail %4, "
                                               "the enlargements' at most %5")
                                    .arg(scale)
                                    .arg(apart, 0, 'f', 2)
                                    .arg(closest, 0, 'f', 2)
                                    .arg(cells.finer, 0, 'f', 1)
                                    .arg(finest, 0, 'f', 1);
        qInfo("%s", qPrintable(figures));
        QVERIFY2(apart < maxApart, qPrintable(figures));
        QVERIFY2(closest > 0.3, qPrintable(figures));
        if (hasEdges)
            QVERIFY2(cells.finer > 1.25 * finest, qPrintable(figures));
    }
};

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_SCALE_FACTOR"))
        qputenv("QT_SCALE_FACTOR", "2");
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true); // as QTEST_MAIN does
    TestHiDpi test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_hidpi.moc"

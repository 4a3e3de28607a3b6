// The pictures on a screen of more than one device pixel to a logical one (QT_SCALE_FACTOR, 2
// unless set): each must show detail a plain screen's picture cannot, at the place and size it
// has there.

#include "main_window/frm_ana.h"
#include "recording_player.h"
#include "secondary_windows/frm_browser.h"
#include "secondary_windows/frm_hak.h"
#include "window_services/fonts.h"
#include "window_services/style.h"

#include <QApplication>
#include <QFile>
#include <QImageReader>
#include <QPainter>
#include <QTest>

#include <array>
#include <cmath>
#include <memory>
#include <vector>

namespace {

// Image format plugins and the JPEG library mapped into this process.
QStringList mappedImageDecoders()
{
    QFile maps(QStringLiteral("/proc/self/maps"));
    if (!maps.open(QIODevice::ReadOnly))
        return {QStringLiteral("(cannot read /proc/self/maps)")};
    QStringList found;
    for (const QByteArray &line : maps.readAll().split('\n')) {
        if (line.contains("/imageformats/") || line.contains("libjpeg"))
            found << QString::fromLocal8Bit(line.mid(line.indexOf('/')));
    }
    found.removeDuplicates();
    return found;
}

// The picture a plain screen shows.
QImage plainPicture(const QString &name)
{
    QImageReader reader(QStringLiteral(":/assets/%1.png").arg(name), "png");
    reader.setAutoDetectImageFormat(false);
    return reader.read();
}

// The plain picture placed at `at` (logical) and enlarged by `scale`, as a painter draws it.
QImage enlarged(const QImage &picture, QPoint at, qreal scale, const QSize &size,
                const QColor &ground, bool smooth)
{
    QImage out(size, QImage::Format_RGB32);
    out.fill(ground);
    QPainter painter(&out);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, smooth);
    painter.scale(scale, scale);
    painter.drawImage(at, picture);
    return out;
}

// Device pixels grouped by the logical pixel that holds their centre.
struct Cells {
    QImage means;        // each logical pixel's mean colour: the picture at plain size
    double finer = 0.0;  // mean squared deviation from that mean, summed over r, g and b
};

Cells cellsOf(const QImage &device, qreal scale, const QRect &logical)
{
    const QImage image = device.convertToFormat(QImage::Format_RGB32);
    auto cellAt = [&](int x, int y) {
        return QPoint(int(std::floor((x + 0.5) / scale)), int(std::floor((y + 0.5) / scale)));
    };
    std::vector<std::array<double, 4>> sums(size_t(logical.width() * logical.height()));
    auto slot = [&](QPoint cell) -> std::array<double, 4> & {
        const QPoint p = cell - logical.topLeft();
        return sums[size_t(p.y() * logical.width() + p.x())];
    };
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QPoint cell = cellAt(x, y);
            if (!logical.contains(cell))
                continue;
            const QRgb c = image.pixel(x, y);
            auto &s = slot(cell);
            s[0] += qRed(c);
            s[1] += qGreen(c);
            s[2] += qBlue(c);
            s[3] += 1;
        }
    }
    Cells cells;
    cells.means = QImage(logical.size(), QImage::Format_RGB32);
    cells.means.fill(Qt::black);
    for (int y = 0; y < logical.height(); ++y) {
        for (int x = 0; x < logical.width(); ++x) {
            const auto &s = sums[size_t(y * logical.width() + x)];
            if (s[3] > 0)
                cells.means.setPixel(x, y,
                                     qRgb(qRound(s[0] / s[3]), qRound(s[1] / s[3]),
                                          qRound(s[2] / s[3])));
        }
    }
    double squares = 0.0;
    int counted = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QPoint cell = cellAt(x, y);
            if (!logical.contains(cell))
                continue;
            const auto &s = slot(cell);
            const QRgb c = image.pixel(x, y);
            const double dr = qRed(c) - s[0] / s[3];
            const double dg = qGreen(c) - s[1] / s[3];
            const double db = qBlue(c) - s[2] / s[3];
            squares += dr * dr + dg * dg + db * db;
            ++counted;
        }
    }
    cells.finer = counted > 0 ? squares / counted : 0.0;
    return cells;
}

// Mean absolute difference per colour channel.
double meanDifference(const QImage &a, const QImage &b)
{
    if (a.size() != b.size())
        return 255.0;
    double sum = 0.0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y);
            const QRgb q = b.pixel(x, y);
            sum += std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) +
                   std::abs(qBlue(p) - qBlue(q));
        }
    }
    return sum / (3.0 * a.width() * a.height());
}

// What a picture looks like where it is shown, in device pixels, and where it lies there.
struct Shown {
    QImage device;   // device pixels, with the picture's logical origin at `at`
    qreal scale = 1; // device pixels per logical pixel
    QPoint at;       // the picture's top-left corner, logical
    QRect visible;   // the part of the picture in view, logical
    QColor ground;   // what shows through its transparent parts
};

} // namespace

class TestHiDpi : public QObject {
    Q_OBJECT

    RecordingPlayer player;
    std::unique_ptr<QWidget> window;

    bool showWindow(const QString &name)
    {
        if (name == QLatin1String("frmAna"))
            window = std::make_unique<frmAna>(player);
        else if (name == QLatin1String("frmHak"))
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
            QVERIFY(showWindow(QLatin1String(name)));
            window->grab();
            window->windowIcon().pixmap(QSize(32, 32), 2.0);
        }
        QCOMPARE(mappedImageDecoders(), QStringList());
    }

    void picturesCarryFinerDetail_data()
    {
        QTest::addColumn<QString>("picture");
        QTest::addColumn<QString>("windowName");
        QTest::addColumn<QString>("widgetName");
        QTest::newRow("banner") << "banner" << "frmAna" << "Image1";
        QTest::newRow("panel") << "panel" << "frmAna" << "PicStatus";
        QTest::newRow("about") << "about" << "frmHak" << "Picture1";
        QTest::newRow("reload") << "reload" << "frmBrowser" << "Image1";
        // Window managers ask for icons by their own sizes, whatever the program's scale.
        QTest::newRow("window icon") << "icon" << "frmAna" << "";
    }

    // The grab, taken back to logical pixels, must be the plain picture at its plain place;
    // within each logical pixel it must vary more than the plain picture enlarged does, with
    // smoothing or without.
    void picturesCarryFinerDetail()
    {
        QFETCH(QString, picture);
        QFETCH(QString, windowName);
        QFETCH(QString, widgetName);
        const QImage plain = plainPicture(picture);
        QVERIFY(!plain.isNull());
        QVERIFY(showWindow(windowName));

        Shown shown;
        if (widgetName.isEmpty()) {
            const QPixmap icon = window->windowIcon().pixmap(plain.size(), 2.0);
            QCOMPARE(icon.size(), plain.size() * 2);
            shown.device = icon.toImage();
            shown.scale = 2.0;
            shown.visible = plain.rect();
            shown.ground = Qt::black;
        } else {
            auto *widget = window->findChild<QWidget *>(widgetName);
            QVERIFY(widget);
            shown.device = widget->grab().toImage();
            shown.scale = shown.device.devicePixelRatio();
            shown.at = widget->contentsRect().topLeft();
            shown.visible = QRect(shown.at, plain.size()).intersected(widget->contentsRect());
            shown.ground = widget->palette().color(widget->backgroundRole());
        }
        QVERIFY(shown.scale > 1.0);

        const Cells grabbed = cellsOf(shown.device, shown.scale, shown.visible);
        const Cells sharp =
            cellsOf(enlarged(plain, shown.at, shown.scale, shown.device.size(), shown.ground, false),
                    shown.scale, shown.visible);
        const Cells smooth =
            cellsOf(enlarged(plain, shown.at, shown.scale, shown.device.size(), shown.ground, true),
                    shown.scale, shown.visible);

        // Flattened onto the same ground, so transparent parts compare too.
        const QImage flat = enlarged(plain, QPoint(), 1.0, plain.size(), shown.ground, false)
                                .copy(QRect(shown.visible.topLeft() - shown.at, shown.visible.size()));
        const double design = meanDifference(grabbed.means, flat);
        const double finer = grabbed.finer;
        const QString figures =
            QStringLiteral("scale %1: off the plain picture by %2 per channel; detail finer than "
                           "a logical pixel %3, enlarged plain picture %4 (sharp) and %5 (smooth)")
                .arg(shown.scale)
                .arg(design, 0, 'f', 2)
                .arg(finer, 0, 'f', 1)
                .arg(sharp.finer, 0, 'f', 1)
                .arg(smooth.finer, 0, 'f', 1);
        qInfo("%s: %s", qPrintable(picture), qPrintable(figures));
        QVERIFY2(design < 8.0, qPrintable(figures));
        QVERIFY2(finer > 2.0 * std::max(sharp.finer, smooth.finer), qPrintable(figures));
    }
};

int main(int argc, char *argv[])
{
    // Twice the plain size unless the run asks for another scale.
    if (qEnvironmentVariableIsEmpty("QT_SCALE_FACTOR"))
        qputenv("QT_SCALE_FACTOR", "2");
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true); // as QTEST_MAIN does
    TestHiDpi test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_hidpi.moc"

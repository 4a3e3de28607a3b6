// What an X window manager or task switcher gets as the windows' icon: the
// _NET_WM_ICON property itself, read back from a real X server.
#include "main_window/frm_ana.h"
#include "recording_player.h"
#include "secondary_windows/frm_browser.h"
#include "secondary_windows/frm_hak.h"
#include "window_services/fonts.h"

#include <QApplication>
#include <QTest>

#include <QImage>

#include <algorithm>
#include <memory>

#include <xcb/xcb.h>

namespace {

// The pictures the property offers, in its order: width and height, then the pixels.
QList<QImage> iconImages(WId window)
{
    auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11)
        return {};
    xcb_connection_t *c = x11->connection();
    const char name[] = "_NET_WM_ICON";
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&free)> atom(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 1, sizeof name - 1, name), nullptr), free);
    if (!atom)
        return {};
    std::unique_ptr<xcb_get_property_reply_t, decltype(&free)> reply(
        xcb_get_property_reply(
            c,
            xcb_get_property(c, 0, xcb_window_t(window), atom->atom, XCB_ATOM_CARDINAL, 0, 1 << 20),
            nullptr),
        free);
    if (!reply || reply->format != 32)
        return {};
    const auto *data = static_cast<const quint32 *>(xcb_get_property_value(reply.get()));
    const qsizetype length = xcb_get_property_value_length(reply.get()) / 4;
    QList<QImage> images;
    for (qsizetype at = 0; at + 2 <= length;) {
        const int width = int(data[at]), height = int(data[at + 1]);
        if (at + 2 + qsizetype(width) * height > length)
            return {}; // cut short: no picture a window manager could read
        QImage image(width, height, QImage::Format_ARGB32);
        for (int y = 0; y < height; ++y)
            std::copy_n(data + at + 2 + qsizetype(y) * width, width,
                        reinterpret_cast<quint32 *>(image.scanLine(y)));
        images << image;
        at += 2 + qsizetype(width) * height;
    }
    return images;
}

} // namespace

class TestX11Icon : public QObject {
    Q_OBJECT

    RecordingPlayer player;

private slots:
    void initTestCase()
    {
        QCOMPARE(QGuiApplication::platformName(), "xcb");
        Fonts::install();
    }

    void windowsOfferEverySizeDrawn_data()
    {
        QTest::addColumn<QString>("window");
        QTest::newRow("main window") << "frmAna";
        QTest::newRow("about window") << "frmHak";
        QTest::newRow("update window") << "frmBrowser";
    }

    // Each picture as drawn, at its own pixels, whatever the screens' scale: a
    // 64 px picture for twice the scale is a 64 px one to X, which knows no
    // scale, and none is enlarged or shrunk to another size.
    void windowsOfferEverySizeDrawn()
    {
        QFETCH(QString, window);
        std::unique_ptr<QWidget> w;
        if (window == "frmAna")
            w = std::make_unique<frmAna>(player);
        else if (window == "frmHak")
            w = std::make_unique<frmHak>();
        else
            w = std::make_unique<frmBrowser>(static_cast<WebViewFactory *>(nullptr));
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        QCoreApplication::processEvents();
        QList<QImage> offered = iconImages(w->winId());
        std::sort(offered.begin(), offered.end(),
                  [](const QImage &a, const QImage &b) { return a.width() < b.width(); });
        QList<QImage> drawn;
        for (const char *name : {"icon", "icon-48", "icon@2x", "icon-128"})
            drawn << QImage(QString(":/assets/%1.png").arg(name))
                         .convertToFormat(QImage::Format_ARGB32);
        QCOMPARE(offered.size(), drawn.size());
        for (qsizetype i = 0; i < drawn.size(); ++i) {
            QCOMPARE(offered[i].size(), drawn[i].size());
            QVERIFY2(offered[i] == drawn[i],
                     qPrintable(QString("the %1 px picture differs").arg(drawn[i].width())));
        }
    }
};

QTEST_MAIN(TestX11Icon)
#include "tst_x11_icon.moc"

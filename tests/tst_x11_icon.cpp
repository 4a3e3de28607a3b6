// What an X window manager or task switcher gets as the windows' icon: the
// _NET_WM_ICON property itself, read back from a real X server.
#include "main_window/frm_ana.h"
#include "recording_player.h"
#include "secondary_windows/frm_browser.h"
#include "secondary_windows/frm_hak.h"
#include "window_services/fonts.h"

#include <QApplication>
#include <QTest>

#include <memory>

#include <xcb/xcb.h>

namespace {

// The sizes the property offers, in its order: width and height, then the pixels.
QList<QSize> iconSizes(WId window)
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
    QList<QSize> sizes;
    for (qsizetype at = 0; at + 2 <= length;) {
        const QSize size(int(data[at]), int(data[at + 1]));
        sizes << size;
        at += 2 + qsizetype(size.width()) * size.height();
    }
    return sizes;
}

} // namespace

class TestX11Icon : public QObject {
    Q_OBJECT

    RecordingPlayer player;

private slots:
    void initTestCase()
    {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        Fonts::install();
    }

    void windowsOfferEverySizeDrawn_data()
    {
        QTest::addColumn<QString>("window");
        QTest::newRow("main window") << "frmAna";
        QTest::newRow("about window") << "frmHak";
        QTest::newRow("update window") << "frmBrowser";
    }

    // Drawn at each size, not enlarged: a 64 px picture for twice the scale is a
    // 32 px one to X, which knows no scale.
    void windowsOfferEverySizeDrawn()
    {
        QFETCH(QString, window);
        std::unique_ptr<QWidget> w;
        if (window == QLatin1String("frmAna"))
            w = std::make_unique<frmAna>(player);
        else if (window == QLatin1String("frmHak"))
            w = std::make_unique<frmHak>();
        else
            w = std::make_unique<frmBrowser>(static_cast<WebViewFactory *>(nullptr));
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        QCoreApplication::processEvents();
        QList<QSize> sizes = iconSizes(w->winId());
        std::sort(sizes.begin(), sizes.end(),
                  [](const QSize &a, const QSize &b) { return a.width() < b.width(); });
        QCOMPARE(sizes, (QList<QSize>{{32, 32}, {48, 48}, {64, 64}, {128, 128}}));
    }
};

QTEST_MAIN(TestX11Icon)
#include "tst_x11_icon.moc"

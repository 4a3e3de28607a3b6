#include "window_services/window_icon.h"

#include "window_services/pictures.h"

#include <QEvent>
#include <QGuiApplication>
#include <QImage>
#include <QWidget>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <utility>
#include <vector>

namespace {

// X knows no device pixel ratio: a window manager takes each entry of
// _NET_WM_ICON at its pixels. Qt fills it with the icon scaled by the screens'
// ratio, which at twice the scale offers none of the pictures as drawn, and
// enlarged ones besides; so the property is written again from the drawings,
// each time Qt has written it.
std::vector<quint32> x11IconData(const QList<QImage> &drawings)
{
    std::vector<quint32> data;
    for (const QImage &drawn : drawings) {
        const QImage image = drawn.convertToFormat(QImage::Format_ARGB32);
        data.push_back(quint32(image.width()));
        data.push_back(quint32(image.height()));
        for (int y = 0; y < image.height(); ++y) {
            const auto *line = reinterpret_cast<const quint32 *>(image.constScanLine(y));
            data.insert(data.end(), line, line + image.width());
        }
    }
    return data;
}

void writeX11Icon(QWidget *window, const std::vector<quint32> &data)
{
    auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !x11->connection())
        return;
    xcb_connection_t *c = x11->connection();
    const char name[] = "_NET_WM_ICON";
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> atom(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, sizeof name - 1, name), nullptr), std::free);
    if (!atom)
        return;
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, xcb_window_t(window->winId()), atom->atom,
                        XCB_ATOM_CARDINAL, 32, quint32(data.size()), data.data());
    xcb_flush(c);
}

class X11IconKeeper : public QObject {
public:
    X11IconKeeper(QWidget *window, std::vector<quint32> data)
        : QObject(window)
        , data_(std::move(data))
    {
        window->installEventFilter(this);
        if (window->testAttribute(Qt::WA_WState_Created))
            writeX11Icon(window, data_);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        // Qt writes its own on making the window and again as it hands the
        // widget's icon on to it.
        const bool rewritten =
            event->type() == QEvent::WinIdChange || event->type() == QEvent::WindowIconChange;
        auto *window = static_cast<QWidget *>(watched);
        if (rewritten && watched == parent() && window->testAttribute(Qt::WA_WState_Created))
            writeX11Icon(window, data_);
        return false;
    }

private:
    const std::vector<quint32> data_;
};

} // namespace

void setProgramIcon(QWidget *window)
{
    // Each picture decoded once, for both.
    const QList<QImage> drawings = Pictures::iconDrawings();
    window->setWindowIcon(Pictures::windowIcon(drawings));
    if (QGuiApplication::platformName() == QLatin1String("xcb"))
        new X11IconKeeper(window, x11IconData(drawings));
}

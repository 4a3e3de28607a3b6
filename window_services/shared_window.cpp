#include "window_services/shared_window.h"

#include "window_services/fonts.h"
#include "window_services/window_icon.h"

void setUpSecondaryWindow(QWidget *window, const char *name, const QString &title,
                          const QSize &clientSize)
{
    window->setObjectName(QLatin1String(name));
    window->setAttribute(Qt::WA_QuitOnClose, true); // a tool window would not count
    window->setWindowTitle(title);
    setProgramIcon(window);
    window->setFont(Fonts::windowDefault());
    window->setFixedSize(clientSize);
}

SharedWindow::SharedWindow(Factory factory)
    : factory_(std::move(factory))
{
}

SharedWindow::~SharedWindow()
{
    delete window_.data();
}

bool SharedWindow::isLoaded() const
{
    // A closed window waits for its deferred deletion; it counts as unloaded already.
    return window_ && window_->isVisible();
}

void SharedWindow::show()
{
    if (!isLoaded()) {
        if (!factory_)
            return;
        if (window_)
            window_->deleteLater(); // unloaded already, and perhaps still busy
        window_ = factory_();
        if (!window_)
            return;
        // No owner: it neither follows the main window nor stays on top of it.
        window_->setAttribute(Qt::WA_DeleteOnClose);
        window_->show();
    }
    // A minimised window is still loaded; bringing it to the front means
    // restoring it first, or it stays an icon the user may have no way to reach.
    if (window_->isMinimized())
        window_->setWindowState((window_->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window_->raise();
    window_->activateWindow();
}

void SharedWindow::unload()
{
    if (!window_)
        return;
    // Gone from view at once, deleted once the event loop is back: the window may be
    // inside an event loop of its own (a box it runs), which must not return into a
    // deleted window.
    window_->hide();
    window_->deleteLater();
}

#include "shared_window.h"

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
        delete window_.data();
        window_ = factory_();
        if (!window_)
            return;
        // No owner: it neither follows the main window nor stays on top of it.
        window_->setAttribute(Qt::WA_DeleteOnClose);
        window_->show();
    }
    window_->raise();
    window_->activateWindow();
}

void SharedWindow::unload()
{
    if (window_)
        delete window_.data();
}

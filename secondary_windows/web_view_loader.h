#pragma once

#include <QString>

class WebViewFactory;

namespace WebViewLoader {

// Loads the web view module from beside the program on first use; null when it
// cannot be loaded. The module stays loaded for the rest of the run.
WebViewFactory *factory();
WebViewFactory *factoryFrom(const QString &modulePath);

} // namespace WebViewLoader

#pragma once

#include <QObject>
#include <QString>

#include <functional>

class WebViewFactory;

namespace WebViewLoader {

// The web view module beside the program.
QString modulePath();

// Loads the module on first use; null when it cannot be loaded. The module stays
// loaded for the rest of the run.
WebViewFactory *factoryFrom(const QString &modulePath);

// What factoryFrom() gave, if it was called before and loaded the module; null
// otherwise. Never loads anything.
WebViewFactory *loadedFactory(const QString &modulePath);

// Maps the module and the web engine's libraries on a worker thread, which takes
// the user-interface thread tens of milliseconds otherwise, then calls `ready`
// on the user-interface thread with what factoryFrom() gives, unless `receiver`
// is gone by then.
void loadInBackground(const QString &modulePath, QObject *receiver,
                      std::function<void(WebViewFactory *)> ready);

} // namespace WebViewLoader

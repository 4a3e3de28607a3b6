#include "secondary_windows/web_view_loader.h"

#include "secondary_windows/web_view.h"

#include <QCoreApplication>
#include <QHash>
#include <QLibrary>
#include <QMutex>
#include <QOpenGLContext>
#include <QPluginLoader>
#include <QPointer>
#include <QThreadPool>

// Exported by Qt GUI; it is how QGuiApplication installs the context that
// Qt::AA_ShareOpenGLContexts asks for.
Q_GUI_EXPORT void qt_gl_set_global_share_context(QOpenGLContext *context);

namespace {

// The web engine composites through a context shared with Qt's, and warns on
// the terminal when its library is mapped without one. Asking Qt for it at
// start-up would load OpenGL in every run (about 70 ms and 55 MiB here), so it
// is made here, before the engine's library, on whichever thread maps it.
// Says whether there is one.
bool ensureGlobalShareContext()
{
    static QMutex mutex;
    const QMutexLocker lock(&mutex);
    if (QOpenGLContext::globalShareContext())
        return true;
    auto *context = new QOpenGLContext;
    context->setFormat(QSurfaceFormat::defaultFormat());
    if (!context->create()) {
        delete context; // no OpenGL here: the engine draws without it
        return false;
    }
    // Lives as long as the application, on its thread.
    context->moveToThread(QCoreApplication::instance()->thread());
    QMetaObject::invokeMethod(QCoreApplication::instance(),
                              [context] { context->setParent(QCoreApplication::instance()); });
    qt_gl_set_global_share_context(context);
    return true;
}

// Kept: the engine must never be unloaded.
QHash<QString, QPluginLoader *> &loaders()
{
    static QHash<QString, QPluginLoader *> all;
    return all;
}

} // namespace

QString WebViewLoader::modulePath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/zembra_webview");
}

WebViewFactory *WebViewLoader::loadedFactory(const QString &modulePath)
{
    QPluginLoader *loader = loaders().value(modulePath);
    return loader && loader->isLoaded() ? qobject_cast<WebViewFactory *>(loader->instance())
                                        : nullptr;
}

WebViewFactory *WebViewLoader::factoryFrom(const QString &modulePath)
{
    QPluginLoader *&loader = loaders()[modulePath];
    if (!loader) {
        ensureGlobalShareContext();
        loader = new QPluginLoader(modulePath);
    }
    return qobject_cast<WebViewFactory *>(loader->instance());
}

void WebViewLoader::loadInBackground(const QString &modulePath, QObject *receiver,
                                     std::function<void(WebViewFactory *)> ready)
{
    QPointer<QObject> guard(receiver);
    auto deliver = [modulePath, guard, ready = std::move(ready)] {
        if (guard)
            ready(factoryFrom(modulePath));
    };
    // The global pool is waited for when the application ends, so the worker
    // never posts to an application that is gone.
    QThreadPool::globalInstance()->start([modulePath, deliver = std::move(deliver)] {
        // Only mapped here; the plugin object is made on the user-interface
        // thread, where its objects must live. Mapping again there is cheap.
        // Without a shared context the engine tries to make one itself as its
        // library is mapped, and ends the program when that is not on the
        // user-interface thread (Qt 6.8), so then it is mapped there instead.
        if (ensureGlobalShareContext()) {
            QLibrary library(modulePath);
            library.setLoadHints(QLibrary::PreventUnloadHint);
            library.load();
        }
        QMetaObject::invokeMethod(QCoreApplication::instance(), deliver, Qt::QueuedConnection);
    });
}

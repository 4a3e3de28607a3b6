#include "web_view_loader.h"

#include "web_view.h"

#include <QCoreApplication>
#include <QHash>
#include <QPluginLoader>

WebViewFactory *WebViewLoader::factory()
{
    return factoryFrom(QCoreApplication::applicationDirPath() + QStringLiteral("/zembra_webview"));
}

WebViewFactory *WebViewLoader::factoryFrom(const QString &modulePath)
{
    static QHash<QString, QPluginLoader *> loaders;
    QPluginLoader *&loader = loaders[modulePath];
    if (!loader)
        loader = new QPluginLoader(modulePath); // kept: the engine must never be unloaded
    return qobject_cast<WebViewFactory *>(loader->instance());
}

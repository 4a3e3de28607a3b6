#pragma once

#include "secondary_windows/web_view.h"

#include <QObject>

// The web engine's half of the update-notice window, built as a loadable module.
class WebEngineViewPlugin : public QObject, public WebViewFactory {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID ZembraWebViewFactory_iid)
    Q_INTERFACES(WebViewFactory)
public:
    WebView *createWebView(QWidget *parent) override;
};

#pragma once

#include <QUrl>
#include <QtPlugin>

#include <functional>

class QWidget;

// The embedded browser as the update-notice window needs it. The implementation
// lives in a plugin so that the web engine is loaded only when first needed.
class WebView {
public:
    virtual ~WebView() = default;
    virtual QWidget *widget() = 0;
    virtual void navigate(const QUrl &url) = 0;
    virtual void refresh() = 0;
    // Called once at the end of every load, also of a reload or a followed link.
    virtual void setLoadFinishedHandler(std::function<void(bool ok)> handler) = 0;
};

class WebViewFactory {
public:
    virtual ~WebViewFactory() = default;
    // The view's widget is parented to `parent`; the caller owns the returned object.
    virtual WebView *createWebView(QWidget *parent) = 0;
};

#define ZembraWebViewFactory_iid "org.zembra.WebViewFactory/1"
Q_DECLARE_INTERFACE(WebViewFactory, ZembraWebViewFactory_iid)

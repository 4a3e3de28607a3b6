#include "secondary_windows/web_view_plugin.h"

#include "secondary_windows/engine_sandbox.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QPointer>
#include <QTimer>
#include <QWebEngineDownloadRequest>
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QWebEngineView>
#include <QtWebEngineCoreVersion>
#if QTWEBENGINECORE_VERSION >= QT_VERSION_CHECK(6, 8, 0)
#include <QWebEnginePermission>
#endif

namespace {

// Remote, untrusted content: it may not reach local files or open anything.
class GuardedPage : public QWebEnginePage {
public:
    using QWebEnginePage::QWebEnginePage;

protected:
    bool acceptNavigationRequest(const QUrl &url, NavigationType, bool) override
    {
        const QString scheme = url.scheme();
        return scheme == QLatin1String("http") || scheme == QLatin1String("https") ||
               scheme == QLatin1String("about") || scheme == QLatin1String("data");
    }
    QWebEnginePage *createWindow(WebWindowType) override { return nullptr; }

    // The window shows the maker's page and nothing else: a page's own boxes
    // are never shown, since a modal one stops the whole program while it is up
    // and a page can open them forever. Alerts vanish, questions are answered
    // "cancel", and leaving the page is never asked.
    void javaScriptAlert(const QUrl &, const QString &) override {}
    bool javaScriptConfirm(const QUrl &, const QString &message) override
    {
        // The engine asks its leave-this-page question through here too.
        return message == leaveQuestion();
    }
    bool javaScriptPrompt(const QUrl &, const QString &, const QString &, QString *) override
    {
        return false;
    }
    // Nor a file chooser: it would hand the page a local file, and it runs modal too.
    QStringList chooseFiles(FileSelectionMode, const QStringList &, const QStringList &) override
    {
        return {};
    }
    // A page's console is not the user's terminal.
    void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel, const QString &, int,
                                  const QString &) override
    {
    }

private:
    static QString leaveQuestion()
    {
        return QCoreApplication::translate(
            "QWebEnginePage",
            "Are you sure you want to leave this page? Changes that you made may not be saved.");
    }
};

// Camera, microphone, location, notifications and the rest: always no.
void denyPermissions(QWebEnginePage *page)
{
#if QTWEBENGINECORE_VERSION >= QT_VERSION_CHECK(6, 8, 0)
    QObject::connect(page, &QWebEnginePage::permissionRequested, page,
                     [](QWebEnginePermission permission) { permission.deny(); });
#else
    QObject::connect(page, &QWebEnginePage::featurePermissionRequested, page,
                     [page](const QUrl &origin, QWebEnginePage::Feature feature) {
                         page->setFeaturePermission(origin, feature,
                                                    QWebEnginePage::PermissionDeniedByUser);
                     });
#endif
}

class EngineView final : public WebView {
public:
    explicit EngineView(QWidget *parent)
        : view_(new QWebEngineView(parent))
    {
        // No storage name: off the record, so nothing is written to disk.
        auto *profile = new QWebEngineProfile;
        profile->setHttpCacheType(QWebEngineProfile::MemoryHttpCache);
        profile->setPersistentCookiesPolicy(QWebEngineProfile::NoPersistentCookies);
        QObject::connect(profile, &QWebEngineProfile::downloadRequested,
                         [](QWebEngineDownloadRequest *download) { download->cancel(); });

        QWebEngineSettings *settings = profile->settings();
        settings->setAttribute(QWebEngineSettings::LocalContentCanAccessFileUrls, false);
        settings->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, false);
        settings->setAttribute(QWebEngineSettings::JavascriptCanOpenWindows, false);
        settings->setAttribute(QWebEngineSettings::PluginsEnabled, false);
        settings->setAttribute(QWebEngineSettings::ScreenCaptureEnabled, false);
        settings->setAttribute(QWebEngineSettings::FullScreenSupportEnabled, false);

        auto *page = new GuardedPage(profile, view_);
        profile->setParent(page); // the profile must outlive its page's teardown
        denyPermissions(page);
        QObject::connect(page, &QWebEnginePage::loadingChanged, page,
                         [this](const QWebEngineLoadingInfo &info) { loadingChanged(info); });
        view_->setPage(page);
        view_->setContextMenuPolicy(Qt::NoContextMenu);
    }

    ~EngineView() override
    {
        // The view and its page stay until the window deletes its children, after
        // this object: nothing of them may call back in here.
        if (view_)
            QObject::disconnect(view_->page(), &QWebEnginePage::loadingChanged, view_->page(),
                                nullptr);
        finished_ = nullptr;
    }

    QWidget *widget() override { return view_; }
    void navigate(const QUrl &url) override { view_->load(url); }
    void refresh() override { view_->reload(); }
    void setLoadFinishedHandler(std::function<void(bool)> handler) override
    {
        finished_ = std::move(handler);
    }

private:
    void loadingChanged(const QWebEngineLoadingInfo &info)
    {
        if (!finished_)
            return;
        if (info.status() == QWebEngineLoadingInfo::LoadStartedStatus) {
            ++started_;
            return;
        }
        if (info.status() == QWebEngineLoadingInfo::LoadStoppedStatus) {
            // A load cut short by a newer one (a reload, a click) is no outcome:
            // the newer load reports for both. One that stops with nothing after
            // it (a reply with no content, a file to save) ended without a page.
            const int at = started_;
            QTimer::singleShot(StoppedGrace, &alive_, [this, at] {
                if (started_ == at && finished_)
                    finished_(false);
            });
            return;
        }
        // An error page with a body still "succeeds" for the engine; an HTTP
        // error status is a failed load all the same.
        const bool httpError = info.errorDomain() == QWebEngineLoadingInfo::HttpStatusCodeDomain &&
                               info.errorCode() >= 400;
        finished_(info.status() == QWebEngineLoadingInfo::LoadSucceededStatus && !httpError);
    }

    // How long a stopped load waits for the newer load that may have stopped it.
    static constexpr int StoppedGrace = 250;

    int started_ = 0;
    QPointer<QWebEngineView> view_;
    QObject alive_; // what waits on this object goes with it
    std::function<void(bool)> finished_;
};

} // namespace

WebView *WebEngineViewPlugin::createWebView(QWidget *parent)
{
    // No view rather than an engine that ends the program as it starts.
    if (!EngineSandbox::engineCanStart())
        return nullptr;
    // The engine's start-up report is for its developers, not the user's terminal;
    // QT_LOGGING_RULES still turns it on.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.webenginecontext.info=false"));
    return new EngineView(parent);
}

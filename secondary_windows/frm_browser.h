#pragma once

#include <QUrl>
#include <QWidget>

#include <memory>

class ClickableImage;
class StatusPanel;
class WebView;
class WebViewFactory;

// The update-notice window: the maker's update page in an embedded browser, with
// the state of its loading in a status panel.
class frmBrowser : public QWidget {
    Q_OBJECT
public:
    // The address is fixed in the program; tests point it at a local server.
    explicit frmBrowser(WebViewFactory *views, const QUrl &address = updateAddress(),
                        QWidget *parent = nullptr);
    ~frmBrowser() override;

    static QUrl updateAddress();
    static QString loadingText();
    static QString loadedText();
    static QString failedText();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void Form_Load();
    void brwWebBrowser_DownloadComplete(bool ok);
    void Image1_Click();

    const QUrl startingAddress_;
    StatusPanel *picStatus_;
    QWidget *browserArea_;
    ClickableImage *image1_;
    std::unique_ptr<WebView> browser_;
    bool loaded_ = false;
};

// The program without any web view, the floor for what the web view costs.
#include "main_window/zembra_app.h"
#include "secondary_windows/frm_browser.h"

int main(int argc, char *argv[])
{
    return ZembraApp::run(argc, argv,
                          [] { return new frmBrowser(static_cast<WebViewFactory *>(nullptr)); });
}

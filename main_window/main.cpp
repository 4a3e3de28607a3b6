#include "app_setup.h"
#include "effects/sound_engine.h"
#include "effects/sounds.h"
#include "fonts.h"
#include "frm_ana.h"
#include "style.h"

#include <QApplication>

#if defined(ZEMBRA_LINKED_WEBVIEW) || defined(ZEMBRA_WITHOUT_WEBVIEW)
// Benchmark builds only: the same program with the web engine linked in, or with
// no web view at all, to weigh what loading it on first use saves.
#include "frm_browser.h"
#include "web_view_plugin.h"
#endif

int main(int argc, char *argv[])
{
#ifdef ZEMBRA_LINKED_WEBVIEW
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
#endif
    AppSetup::beforeApplication();
    QApplication app(argc, argv);
    Fonts::install();
    Style::install();
    SoundEngine player;
    Sounds::setPlayer(&player);
    frmAna window;
#if defined(ZEMBRA_LINKED_WEBVIEW)
    static WebEngineViewPlugin linked;
    window.browserWindow().setFactory([] { return new frmBrowser(&linked); });
#elif defined(ZEMBRA_WITHOUT_WEBVIEW)
    window.browserWindow().setFactory([] { return new frmBrowser(nullptr); });
#endif
    window.show();
    Sounds::preloadAll();
    const int code = app.exec();
    Sounds::setPlayer(nullptr);
    return code;
}

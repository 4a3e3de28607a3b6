// The program with the web engine linked in rather than loaded on first use, to
// weigh what loading it later saves at start-up and in memory.
#include "main_window/zembra_app.h"
#include "secondary_windows/frm_browser.h"
#include "secondary_windows/web_view_plugin.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    // What a program linking the engine is told to do before its application.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    static WebEngineViewPlugin linked;
    return ZembraApp::run(argc, argv, [] { return new frmBrowser(&linked); });
}

#include "main_window/zembra_app.h"

#include "effects/sound_engine.h"
#include "effects/sounds.h"
#include "main_window/app_setup.h"
#include "main_window/frm_ana.h"
#include "window_services/fonts.h"
#include "window_services/style.h"

#include <QApplication>

int ZembraApp::run(int argc, char *argv[], SharedWindow::Factory browserFactory)
{
    AppSetup::beforeApplication();
    QApplication app(argc, argv);
    Fonts::install();
    Style::install();
    SoundEngine player;
    frmAna window(player);
    if (browserFactory)
        window.browserWindow().setFactory(std::move(browserFactory));
    window.show();
    Sounds(player).preloadAll();
    return app.exec();
}

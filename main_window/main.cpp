#include "effects/sdl_player.h"
#include "effects/sounds.h"
#include "fonts.h"
#include "frm_ana.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // The web engine, loaded later from a module, needs this set before start-up.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    Fonts::install();
    SdlEffectPlayer player;
    Sounds::setPlayer(&player);
    frmAna window;
    window.show();
    const int code = app.exec();
    Sounds::setPlayer(nullptr);
    return code;
}

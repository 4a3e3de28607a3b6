#include "effects/sdl_player.h"
#include "effects/sounds.h"
#include "fonts.h"
#include "frm_ana.h"

#include <QApplication>

int main(int argc, char *argv[])
{
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

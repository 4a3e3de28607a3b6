#include "main_window/zembra_app.h"

#include <QtGlobal>

// The program behind the entry in main.cpp, which loads this module for
// everything but a press from the command line.
extern "C" Q_DECL_EXPORT int zembra_run(int argc, char *argv[])
{
    return ZembraApp::run(argc, argv);
}

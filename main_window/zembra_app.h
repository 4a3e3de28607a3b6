#pragma once

#include "window_services/shared_window.h"

namespace ZembraApp {

// The whole program: application, player and main window, until the user ends
// it. `browserFactory` makes the update-notice window; by default it loads the
// web view module beside the program.
int run(int argc, char *argv[], SharedWindow::Factory browserFactory = {});

} // namespace ZembraApp

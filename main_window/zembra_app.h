#pragma once

#include "window_services/shared_window.h"

class frmAna;
class PressService;

namespace ZembraApp {

// The whole program: application, player and main window, until the user ends
// it. `browserFactory` makes the update-notice window; by default it loads the
// web view module beside the program.
int run(int argc, char *argv[], SharedWindow::Factory browserFactory = {});

// Offers `service` on the session bus once the event loop runs, and gives it up
// on every way out before the closing sound plays out, so that another copy
// answers a press at once rather than this one, which no longer can.
void offerPressService(frmAna &window, PressService &service);

// The event loop, until no window of the program remains; then the closing
// sound, started on the way out, is heard to its end. Returns the loop's code.
int exec(const frmAna &window);

} // namespace ZembraApp

#pragma once

namespace AppSetup {

// What must be settled before the QApplication exists.
void beforeApplication();

// Name, version and desktop entry, so that docks and compositors match the
// windows to the installed entry and icon.
void describeApplication();

// Qt's own texts (context menus, standard buttons, --help) in Turkish, as the
// rest of the program is.
void installTranslations();

} // namespace AppSetup

#pragma once

namespace AppSetup {

// What must be settled before the QApplication exists.
void beforeApplication();

} // namespace AppSetup

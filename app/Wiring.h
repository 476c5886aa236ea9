#pragma once

namespace app::gui {
class DtaMain;
}

namespace app {

//! Wires into the main window what lives in the libraries above it: the settings window behind "Einstellungen",
//! the signing subsystem's windows behind the menu "RKSV" (status receipts, DEP export, DEP check) and the receipt
//! picker, converting through the signing service, behind "Beleg auswählen".
void wireMainWindow(gui::DtaMain& window);

} // namespace app

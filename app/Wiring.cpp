#include "app/Wiring.h"

#include "app/gui/DtaMain.h"
#include "app/gui/OperationForms.h"
#include "db/gui/DlgBondruck.h"
#include "rksv/Rksv.h"
#include "rksv/gui/DlgDepExport.h"
#include "rksv/gui/DlgDepPruefen.h"
#include "rksv/gui/DlgStatusbelege.h"
#include "settings/DtaEinstellungen.h"

namespace app {

void wireMainWindow(gui::DtaMain& window)
{
    window.setEinstellungenOpener([](gui::DtaMain& owner) {
        // Opens on the main window's company; what is chosen in it stays there.
        settings::gui::DtaEinstellungen dialog(&owner, owner.accFnr(), [&owner] { owner.GetLoginValues(); });
        dialog.exec();
    });
    // The signing subsystem's windows behind the menu "RKSV"; the export and the status receipts read the
    // program-wide connection.
    window.setRksvWindows({[](gui::DtaMain& owner) {
                               rksv::gui::DlgStatusbelege dialog(&owner);
                               dialog.exec();
                           },
                           [](gui::DtaMain& owner) {
                               rksv::gui::DlgDepExport dialog(&owner);
                               dialog.exec();
                           },
                           [](gui::DtaMain& owner) {
                               rksv::gui::DlgDepPruefen dialog(&owner);
                               dialog.exec();
                           }});
    // The receipt form is made when first chosen; its picker is wired in then.
    window.setFormSetup([&window](int, widgets::MySubDataWindow& form) {
        auto* receiptForm = dynamic_cast<gui::Sub9*>(&form);
        if (!receiptForm) {
            return;
        }
        receiptForm->setBondruck([&window](QWidget* owner) {
            return db::gui::PshBondruck(owner, window.accFnr(), [](const std::string& jws, std::string& error) {
                // Through the signing service, which is ready only with the installation's AES basis; the picker asks
                // on a thread of its own.
                rksv::RKSV service(nullptr);
                std::optional<std::string> text;
                if (service.accReady()) {
                    if (auto converted = service.ConvertJWSCompactToText(jws); !converted.empty()) {
                        text = std::move(converted);
                    }
                }
                if (!text) {
                    error =
                        service.accMsgFirst().empty() ? "Die Signatureinheit ist nicht bereit." : service.accMsgFirst();
                }
                service.Close();
                return text;
            });
        });
    });
}

} // namespace app

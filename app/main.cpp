#include "app/WindowList.h"
#include "app/gui/Application.h"
#include "app/gui/DtaMain.h"
#include "app/gui/OperationForms.h"
#include "db/gui/DlgBondruck.h"
#include "rksv/Jws.h"
#include "settings/DtaEinstellungen.h"

#include <iostream>

int main(int argc, char** argv)
{
    std::string why;
    if (app::gui::needsXDisplay() && !app::xDisplayReachable(why)) {
        std::cerr << "vexa-quorvex: " << why << '\n';
        return 2;
    }
    app::gui::Application application(argc, argv);
    // The settings window and the receipt picker live in libraries above the main window's: wired together here.
    application.setMainWindowSetup([](app::gui::DtaMain& window) {
        window.setEinstellungenOpener([](app::gui::DtaMain& owner) {
            settings::DtaEinstellungen dialog(&owner, [&owner] { owner.GetLoginValues(); });
            dialog.exec();
        });
        if (auto* receiptForm = dynamic_cast<app::gui::Sub9*>(window.form(9))) {
            receiptForm->setBondruck([&window](QWidget* owner) {
                return db::PshBondruck(owner, window.accFnr(), [](const std::string& jws, std::string& error) {
                    auto code = rksv::jwsToMachineCode(jws);
                    if (!code) {
                        error = "Der gespeicherte Beleg ist keine gültige Signatur (JWS).";
                    }
                    return code;
                });
            });
        }
    });
    return application.run();
}

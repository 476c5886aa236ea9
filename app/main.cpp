#include "app/WindowList.h"
#include "app/gui/Application.h"
#include "app/gui/DtaMain.h"
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
    // The settings window lives in its own library above the main window's: wired together here.
    application.setMainWindowSetup([](app::gui::DtaMain& window) {
        window.setEinstellungenOpener([](app::gui::DtaMain& owner) {
            settings::DtaEinstellungen dialog(&owner, [&owner] { owner.GetLoginValues(); });
            dialog.exec();
        });
    });
    return application.run();
}

#include "app/Wiring.h"
#include "app/gui/Application.h"
#include "base/WindowList.h"

#include <iostream>

int main(int argc, char** argv)
{
    std::string why;
    if (app::gui::needsXDisplay() && !base::xDisplayReachable(why)) {
        std::cerr << "vexa-quorvex: " << why << '\n';
        return 2;
    }
    app::gui::Application application(argc, argv);
    application.setMainWindowSetup(app::wireMainWindow);
    return application.run();
}

#include "app/Wiring.h"
#include "app/gui/Application.h"
#include "base/WindowList.h"

#include <fontconfig/fontconfig.h>
#include <iostream>
#include <thread>

int main(int argc, char** argv)
{
    const app::gui::SessionBusShortcut bus; // before any thread: it may set an environment variable
    // The font configuration (some forty files parsed) is the longest single step before the first window. It is
    // read on the second core while the program asks the X server for what it needs before the application is made
    // (it waits for the answers) and while the application connects to the display; it is ready when the first
    // text is measured. fontconfig's initialisation is safe from any thread.
    std::thread fonts([] { static_cast<void>(FcInit()); });
    std::string why;
    if (app::gui::needsXDisplay() && !base::xDisplayReachable(why)) {
        fonts.join();
        std::cerr << "vexa-quorvex: " << why << '\n';
        return 2;
    }
    auto titles = base::topLevelWindowTitles(); // for the single-instance check
    app::gui::Application application(argc, argv);
    base::releaseDisplayCheck(); // only now: the application has its own connection
    application.setOpenWindowTitles(std::move(titles));
    fonts.join();
    application.setMainWindowSetup(app::wireMainWindow);
    return application.run();
}

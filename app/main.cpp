#include "app/Wiring.h"
#include "app/gui/Application.h"
#include "base/BuildInfo.h"
#include "base/Program.h"
#include "base/WindowList.h"

#include <CLI/CLI.hpp>

#include <fontconfig/fontconfig.h>
#include <iostream>
#include <optional>
#include <string_view>
#include <thread>

namespace {

constexpr std::string_view USAGE =
    R"(vexa-quorvex - Meldungen an FinanzOnline nach der Registrierkassensicherheitsverordnung (RKSV)

Aufruf im Installationsordner (dem Ordner mit INSTALLATION.INI): das Programm liest seine Installation, ihre
Datenbank und ihre Login-Daten aus dem Arbeitsordner.

  vexa-quorvex [Qt-Optionen]
      Öffnet das Hauptfenster. Qt-Optionen wie -display <Anzeige>, -platform <Name> oder -style <Stil> gelten wie in
      jedem Qt-Programm.

  vexa-quorvex --help | -h
      Diese Hilfe.

  vexa-quorvex --version
      Die Version des Programms.

Aus dem Anwendungsmenü startet vexa-quorvex-starten das Programm im Installationsordner (siehe dort --help).
Die RKSV-Werkzeuge ohne Fenster (DEP-Export, DEP-Prüfung, Statusabfragen): vexa-quorvex-rksv --help
)";

//! For `--help` (-h) or `--version` the text on standard output and the exit code; no display is needed. Every other
//! argument is Qt's (QApplication reads -display, -platform, -style …).
std::optional<int> answerWithoutWindow(int argc, char** argv)
{
    CLI::App app("Vexa-Quorvex", "vexa-quorvex");
    app.set_help_flag();
    app.allow_extras();
    bool help = false;
    bool version = false;
    app.add_flag("-h,--help", help);
    app.add_flag("--version", version);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError&) {
        return std::nullopt; // not ours: Qt's arguments
    }
    if (help) {
        std::cout << USAGE;
        return 0;
    }
    if (version) {
        std::cout << "vexa-quorvex V" << base::PROGRAM_VERSION << " (" << base::buildIdentifier() << ")\n";
        return 0;
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char** argv)
{
    if (const auto answered = answerWithoutWindow(argc, argv)) {
        return *answered;
    }
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

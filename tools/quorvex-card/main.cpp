// quorvex-card --readers <folder> --reader <name> --pin <pin> [--serial <hex>] [--ca-dir <folder>] [--intermediate]
// quorvex-card --readers <folder> --reader <name> --unlock
// Makes a test card for the software signature unit in <folder>/<name>/, or unlocks the card there that three wrong
// PINs in a row locked.

#include "rksv/units/SoftwareUnit.h"

#include <iostream>
#include <string>
#include <string_view>

namespace {

constexpr std::string_view USAGE =
    "Aufruf: quorvex-card --readers <Ordner> --reader <Name> --pin <PIN> [--serial <hex>] [--ca-dir <Ordner>]\n"
    "                     [--intermediate]\n"
    "        quorvex-card --readers <Ordner> --reader <Name> --unlock\n"
    "  --intermediate  die Karte von einer Zwischen-CA ausstellen lassen, die die Test-CA ausstellt\n"
    "                  (chain.pem: erst die Zwischen-CA, dann die Test-CA)\n"
    "  --unlock        die Karte entsperren, die drei falsche PINs hintereinander gesperrt haben\n";

} // namespace

int main(int argc, char** argv)
{
    std::string readers;
    std::string reader;
    std::string pin;
    std::string serialHex;
    std::string caDir;
    bool pinGiven = false;
    bool cardOptionGiven = false;
    bool unlock = false;
    auto issuer = rksv::TestCardIssuer::RootCa;
    for (int i = 1; i < argc; ++i) {
        const std::string_view option = argv[i];
        if (option == "--help" || option == "-h") {
            std::cout << USAGE;
            return 0;
        }
        if (option == "--unlock") {
            unlock = true;
            continue;
        }
        if (option == "--intermediate") {
            issuer = rksv::TestCardIssuer::IntermediateCa;
            cardOptionGiven = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::cerr << "Fehlender Wert für " << option << ".\n" << USAGE;
            return 2;
        }
        const std::string value = argv[++i];
        if (option == "--readers") {
            readers = value;
        } else if (option == "--reader") {
            reader = value;
        } else if (option == "--pin") {
            pin = value;
            pinGiven = true;
        } else if (option == "--serial") {
            serialHex = value;
            cardOptionGiven = true;
        } else if (option == "--ca-dir") {
            caDir = value;
            cardOptionGiven = true;
        } else {
            std::cerr << "Unbekannte Option " << option << ".\n" << USAGE;
            return 2;
        }
    }
    std::string error;
    if (unlock) {
        if (readers.empty() || reader.empty() || pinGiven || cardOptionGiven) {
            std::cerr << "--unlock braucht --readers und --reader und verträgt keine Angaben für eine neue Karte.\n"
                      << USAGE;
            return 2;
        }
        if (!rksv::unlockCard(readers, reader, error)) {
            std::cerr << "Fehler: " << error << '\n';
            return 1;
        }
        std::cout << "Karte in Kartenleser " << reader << " (" << readers << ") entsperrt.\n";
        return 0;
    }
    if (readers.empty() || reader.empty() || !pinGiven) {
        std::cerr << "--readers, --reader und --pin sind nötig.\n" << USAGE;
        return 2;
    }
    std::string serial;
    if (!rksv::createTestCard(readers, reader, pin, serialHex, caDir, serial, error, issuer)) {
        std::cerr << "Fehler: " << error << '\n';
        return 1;
    }
    std::cout << "Testkarte mit Seriennummer " << serial << " in Kartenleser " << reader << " (" << readers
              << ") angelegt.\n";
    return 0;
}

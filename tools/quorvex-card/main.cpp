// quorvex-card --readers <folder> --reader <name> --pin <pin> [--serial <hex>] [--ca-dir <folder>]
// Makes a test card for the software signature unit in <folder>/<name>/.

#include "rksv/SoftwareUnit.h"

#include <iostream>
#include <string>
#include <string_view>

namespace {

constexpr std::string_view USAGE =
    "Aufruf: quorvex-card --readers <Ordner> --reader <Name> --pin <PIN> [--serial <hex>] [--ca-dir <Ordner>]\n";

} // namespace

int main(int argc, char** argv)
{
    std::string readers;
    std::string reader;
    std::string pin;
    std::string serialHex;
    std::string caDir;
    bool pinGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view option = argv[i];
        if (option == "--help" || option == "-h") {
            std::cout << USAGE;
            return 0;
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
        } else if (option == "--ca-dir") {
            caDir = value;
        } else {
            std::cerr << "Unbekannte Option " << option << ".\n" << USAGE;
            return 2;
        }
    }
    if (readers.empty() || reader.empty() || !pinGiven) {
        std::cerr << "--readers, --reader und --pin sind nötig.\n" << USAGE;
        return 2;
    }
    std::string serial;
    std::string error;
    if (!rksv::createTestCard(readers, reader, pin, serialHex, caDir, serial, error)) {
        std::cerr << "Fehler: " << error << '\n';
        return 1;
    }
    std::cout << "Testkarte mit Seriennummer " << serial << " in Kartenleser " << reader << " (" << readers
              << ") angelegt.\n";
    return 0;
}

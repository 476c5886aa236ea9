#pragma once

#include "base/Program.h"

#include <optional>
#include <string>
#include <vector>

namespace base {

//! What the installation file gives the program before its main window opens.
struct Installation
{
    std::vector<Company> companies;
    std::string hostProduct;
    std::string companyNumber;
    Connections connections;
    std::string kassa;
};

//! Outcome of reading the installation file: the data, or the German text of what makes the file unusable.
struct InstallationResult
{
    std::optional<Installation> installation;
    std::string error;
};

//! The provider code of a signature card's trust service provider as FinanzOnline takes it ("AT1" … "AT99"), as
//! "Signatur" names it after ";vda=".
inline constexpr const char* VDA_PATTERN = "AT[1-9][0-9]?";

//! Name of the installation file in the working directory.
inline constexpr const char* INSTALLATION_FILE = "INSTALLATION.INI";

/**
 * Reads INSTALLATION.INI from `folder` (name matched without regard to case). Section "Installation" holds
 * "Produkt", "Firmennummer", "FinanzOnline-Host", "FinanzOnline-CA", "FinanzOnline-Verbindung",
 * "FinanzOnline-Verbindungsaufbau", "FinanzOnline-Zeitlimit", "FinanzOnline-Sitzungspfad", "Signatur",
 * "Datenbank" and "Kassa" (the current till id, the first company/till's number when missing); each section "Firma1",
 * "Firma2", … (ordered by its number) one company with "Name", "Nummer", "Test" (J/N, "J" when missing) and "Tid".
 * Without the file: one company "Firma", number "01", test transmission, no host product. A file that exists but is
 * unusable gives the error text, which names the file (also a provider code in "Signatur" that FinanzOnline refuses,
 * see VDA_PATTERN).
 */
[[nodiscard]] InstallationResult loadInstallation(const std::string& folder);

//! The installation without a file.
Installation defaultInstallation();

//! Puts an installation into the program-wide state.
void applyInstallation(const Installation& installation);

} // namespace base

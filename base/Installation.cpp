#include "base/Installation.h"

#include "base/Cp1252.h"
#include "base/Files.h"
#include "base/StringUtil.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <regex>
#include <unordered_set>
#include <utility>

namespace base {
namespace {

constexpr const char* DEFAULT_COMPANY_NUMBER = "0001";

// Number of a section "Firma<n>", 0 for any other section.
int companyIndex(const std::string& section)
{
    if (!startsWithNoCase(section, "Firma") || section.size() == 5) {
        return 0;
    }
    int n = 0;
    const auto* first = section.data() + 5;
    const auto* last = section.data() + section.size();
    const auto [end, ec] = std::from_chars(first, last, n);
    return ec == std::errc() && end == last && n > 0 ? n : 0;
}

std::string asciiLower(std::string text)
{
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

bool usableAsFileName(const std::string& number)
{
    return number != "." && number != ".." && number.find('/') == std::string::npos
           && number.find('\\') == std::string::npos;
}

} // namespace

Installation defaultInstallation()
{
    Installation installation;
    installation.companies.push_back({"Firma", "01", "J", ""});
    installation.companyNumber = DEFAULT_COMPANY_NUMBER;
    return installation;
}

namespace {

// The provider code of a PKCS#11 card as "Signatur" gives it ("PKCS11:<module>;…;vda=AT1"); nothing when it names none.
std::optional<std::string> vdaSetting(const std::string& signatur)
{
    if (!signatur.starts_with("PKCS11:")) {
        return std::nullopt;
    }
    for (const auto& part : String2Array(signatur.substr(7), ";")) {
        if (part.starts_with("vda=")) {
            return part.substr(4);
        }
    }
    return std::nullopt;
}

} // namespace

InstallationResult loadInstallation(const std::string& folder)
{
    const auto path = findFileNoCase(folder + INSTALLATION_FILE);
    if (!path) {
        return {defaultInstallation(), {}};
    }
    const auto unusable = [&](const std::string& problem) {
        return InstallationResult{std::nullopt, "Die Installationsdatei " + *path + " ist unbrauchbar:\n" + problem};
    };
    std::string reason;
    const auto bytes = readRegularFile(*path, reason);
    if (!bytes) {
        return unusable("Sie kann nicht gelesen werden. " + reason);
    }

    // Read once: a lookup per entry in the file's text would make a file of many companies take quadratic time.
    const IniContent ini(*bytes);
    Installation installation;
    installation.hostProduct = trim(ini.GetString("Installation", "Produkt"));
    installation.companyNumber = trim(ini.GetString("Installation", "Firmennummer"));
    if (installation.companyNumber.empty()) {
        installation.companyNumber = DEFAULT_COMPANY_NUMBER;
    } else if (utf8Length(installation.companyNumber) != 4) {
        return unusable("Die Firmennummer \"" + installation.companyNumber
                        + "\" hat nicht genau vier Zeichen (Abschnitt \"Installation\", Eintrag \"Firmennummer\").");
    }
    auto& connections = installation.connections;
    if (const auto host = trim(ini.GetString("Installation", "FinanzOnline-Host")); !host.empty()) {
        connections.fonHost = host;
    }
    connections.fonCaFile = trim(ini.GetString("Installation", "FinanzOnline-CA"));
    connections.fonConnectTo = trim(ini.GetString("Installation", "FinanzOnline-Verbindung"));
    for (auto [entry, seconds] : {std::pair{"FinanzOnline-Verbindungsaufbau", &connections.fonConnectSeconds},
                                  std::pair{"FinanzOnline-Zeitlimit", &connections.fonExchangeSeconds}}) {
        const auto text = trim(ini.GetString("Installation", entry));
        if (text.empty()) {
            continue;
        }
        const int value = std::atoi(text.c_str());
        if (value < 1 || value > 3600 || text.find_first_not_of("0123456789") != std::string::npos) {
            return unusable("Der Eintrag \"" + std::string(entry)
                            + "\" im Abschnitt \"Installation\" muss eine Zahl von 1 bis "
                              "3600 (Sekunden) sein, nicht \""
                            + text + "\".");
        }
        *seconds = value;
    }
    if (const auto path = trim(ini.GetString("Installation", "FinanzOnline-Sitzungspfad")); !path.empty()) {
        const bool plain = std::all_of(path.begin(), path.end(), [](char c) { return c > ' ' && c < 0x7F; });
        if (!path.starts_with('/') || !plain || path.find_first_of("?#") != std::string::npos) {
            return unusable("Der Eintrag \"FinanzOnline-Sitzungspfad\" im Abschnitt \"Installation\" muss ein Pfad "
                            "sein, der mit \"/\" beginnt, ohne Leerzeichen, wie \"/fonws/ws/sessionService\", nicht \""
                            + path + "\".");
        }
        connections.fonSessionPath = path;
    }
    connections.signatur = trim(ini.GetString("Installation", "Signatur"));
    if (const auto vda = vdaSetting(connections.signatur); vda && !std::regex_match(*vda, std::regex(VDA_PATTERN))) {
        return unusable("Der Eintrag \"Signatur\" im Abschnitt \"Installation\" nennt den Anbieter \"vda=" + *vda
                        + "\": FinanzOnline nimmt nur AT1 bis AT99 (ohne führende Null).");
    }
    connections.datenbank = trim(ini.GetString("Installation", "Datenbank"));
    connections.weitereDatenbanken.clear();
    for (int i = 2; i <= 9; ++i) {
        if (auto other = trim(ini.GetString("Installation", "Datenbank" + std::to_string(i))); !other.empty()) {
            connections.weitereDatenbanken.push_back(std::move(other));
        }
    }
    installation.kassa = trim(ini.GetString("Installation", "Kassa"));

    std::vector<std::pair<int, std::string>> sections;
    for (const auto& section : ini.SectionNames()) {
        if (const int n = companyIndex(section)) {
            sections.emplace_back(n, section);
        }
    }
    std::sort(sections.begin(), sections.end());
    if (sections.empty()) {
        return unusable("Sie nennt keine Firma/Kassa (Abschnitte \"Firma1\", \"Firma2\", ...).");
    }
    std::unordered_set<std::string> numbers; // folded as equalsNoCase compares
    for (std::size_t i = 0; i < sections.size(); ++i) {
        const auto& [n, section] = sections[i];
        if (i > 0 && sections[i - 1].first == n) {
            return unusable("Die Abschnitte \"" + sections[i - 1].second + "\" und \"" + section
                            + "\" tragen dieselbe Nummer.");
        }
        Company company;
        company.name = trim(ini.GetString(section, "Name"));
        company.number = trim(ini.GetString(section, "Nummer"));
        company.testFlag = toUpper(trim(ini.GetString(section, "Test")));
        company.tid = trim(ini.GetString(section, "Tid"));
        if (company.testFlag.empty()) {
            company.testFlag = "J";
        }
        if (company.number.empty()) {
            return unusable("Im Abschnitt \"" + section + "\" fehlt die Nummer der Firma/Kassa (Eintrag \"Nummer\").");
        }
        if (!usableAsFileName(company.number)) {
            return unusable("Die Nummer \"" + company.number + "\" im Abschnitt \"" + section
                            + "\" enthält Zeichen, die in einem Dateinamen nicht stehen dürfen.");
        }
        if (!numbers.insert(asciiLower(company.number)).second) {
            return unusable("Die Nummer \"" + company.number + "\" ist mehrfach vergeben (Abschnitt \"" + section
                            + "\").");
        }
        installation.companies.push_back(std::move(company));
    }
    return {std::move(installation), {}};
}

void applyInstallation(const Installation& installation)
{
    auto& p = program();
    p.CompanyList = installation.companies;
    p.HostProduct = installation.hostProduct;
    p.CompanyNumber = installation.companyNumber;
    p.connections = installation.connections;
    p.TestFlag = p.CompanyList.empty() ? std::string() : p.CompanyList.front().testFlag;
    p.Kassa = !installation.kassa.empty() || p.CompanyList.empty() ? installation.kassa : p.CompanyList.front().number;
}

} // namespace base

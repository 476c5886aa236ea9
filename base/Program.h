#pragma once

#include "base/IniFile.h"
#include "base/Version.h"

#include <string>
#include <string_view>
#include <vector>

namespace base {

//! One company/till the installation serves: name, number (also the prefix of its INI file), test flag ("J" for
//! test transmission) and a fixed participant id or any other text.
struct Company
{
    std::string name;
    std::string number;
    std::string testFlag;
    std::string tid;
};

//! Where this installation reaches FinanzOnline, the signing component and the cash-register database.
struct Connections
{
    std::string fonHost = "finanzonline.bmf.gv.at";
    std::string fonCaFile;        //!< extra CA file for the TLS check, "" for the system's only
    std::string fonConnectTo;     //!< "address:port" the TCP connection goes to instead, "" for the host itself
    int fonConnectSeconds = 30;   //!< time-out for connecting to FinanzOnline
    int fonExchangeSeconds = 120; //!< time-out for one whole exchange (request and answer)
    //! path of FinanzOnline's session service (login, logout) on the host
    std::string fonSessionPath = "/fonws/ws/sessionService";
    std::string signatur;  //!< signing component and its settings, "" for the built-in default
    std::string datenbank; //!< ODBC connection string, "" for the data source named by the host product
    //! Further servers of the same data ("Datenbank2" … "Datenbank9", a cluster's other nodes), tried in order when
    //! the one in use cannot be reached.
    std::vector<std::string> weitereDatenbanken;
};

//! The program-wide state, created at start-up and alive until the program ends.
struct Program
{
    std::vector<Company> CompanyList;
    IniFile CurrentIni;
    std::string TestFlag;
    std::string HostProduct;
    std::string CompanyNumber;
    //! Absolute working directory at start-up, ending with "/"; INI and marker files are looked for in it.
    std::string DefaultDir;
    Connections connections;
    //! The current till id that the status receipts are checked for: the entry "Kassa" of the installation file,
    //! else the number of the first company/till.
    std::string Kassa;
};

//! The one instance.
Program& program();

//! The program version and the "Version" entry a new company INI file gets (the version cut after the first
//! digit behind the point).
inline constexpr std::string_view PROGRAM_VERSION = PROJECT_VERSION;
inline constexpr std::string_view INI_VERSION = PROGRAM_VERSION.substr(0, PROGRAM_VERSION.find('.') + 2);

//! Item of the company combo: shown text and value.
struct ComboItem
{
    std::string text;
    std::string value;
};

//! The company's INI file (DefaultDir + number + "QUORVEX.INI"), kept readable by its owner only (it holds the PIN);
//! a file that does not exist yet is created with the entry "Version" = "1.0" in section "QUORVEX".
IniFile CompanyIni(const std::string& number);
//! Makes CurrentIni the company's INI file (CompanyIni).
void IniOpen(const std::string& number);
//! One item per company in list order: number, a blank and name; value the number.
std::vector<ComboItem> FillCombo();
//! True when the fixed participant id of company `item` (1-based) begins with two decimal digits.
bool IsTid(int item);
//! Marker files in DefaultDir (name matched without regard to case): "DOVEXA", "DODEBUG".
bool IsVexa();
bool IsDebug();
//! "T" when the marker file "DOTEST" exists or TestFlag begins with "J", else "P".
std::string ArtUebermittlung();
//! The same for a company's own test flag instead of the program-wide one.
std::string ArtUebermittlung(const std::string& testFlag);
//! True when a host product is named.
bool IsVexaProject();
//! Customer text for lists: "first surname, street, postcode town" with the gaps of empty parts closed.
std::string GetKndText(const std::string& surname,
                       const std::string& firstName,
                       const std::string& street,
                       const std::string& postcode,
                       const std::string& town);
//! `def` when the value is empty, blank or begins with "NULL"; else the value.
std::string Nvl(const std::string& value, const std::string& def = "");
//! `def` when the value is zero; else the value.
double Nvl(double value, double def = 0);
//! Mouse cursor to the wait cursor, or back to the arrow.
void CursorWait();
void CursorArrow();
//! True when the title, cut to 255 characters, begins with "Vexa-Quorvex" in any mix of case.
bool IsOwnTitle(const std::string& title);
//! Single-instance check: true, after the message "Das Programm läuft bereits", when one of the top-level windows
//! of the display has the program's title. The overload without titles reads them from the X display.
[[nodiscard]] bool ChkWinList(const std::vector<std::string>& titles);
[[nodiscard]] bool ChkWinList();

//! The "Vexa-Quorvex" every window title of the program begins with.
inline constexpr const char* TITLE_PREFIX = "Vexa-Quorvex";

} // namespace base

#include "base/Program.h"

#include "base/Cp1252.h"
#include "base/Dialogs.h"
#include "base/Files.h"
#include "base/StringUtil.h"
#include "base/WindowList.h"

#include <cctype>

namespace base {
namespace {

bool markerExists(const char* name)
{
    return findFileNoCase(program().DefaultDir + name).has_value();
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

} // namespace

Program& program()
{
    static Program instance;
    return instance;
}

IniFile CompanyIni(const std::string& number)
{
    IniFile ini(program().DefaultDir + number + "QUORVEX.INI");
    ini.SetOwnerOnly();
    if (!ini.Exists()) {
        ini.WriteString("QUORVEX", "Version", std::string(INI_VERSION));
    }
    return ini;
}

void IniOpen(const std::string& number)
{
    program().CurrentIni = CompanyIni(number);
}

std::vector<ComboItem> FillCombo()
{
    std::vector<ComboItem> items;
    for (const auto& company : program().CompanyList) {
        items.push_back({company.number + " " + company.name, company.number});
    }
    return items;
}

bool IsTid(int item)
{
    const auto& list = program().CompanyList;
    if (item < 1 || static_cast<std::size_t>(item) > list.size()) {
        return false;
    }
    const auto& tid = list[static_cast<std::size_t>(item) - 1].tid;
    return tid.size() >= 2 && isDigit(tid[0]) && isDigit(tid[1]);
}

bool IsVexa()
{
    return markerExists("DOVEXA");
}

bool IsDebug()
{
    return markerExists("DODEBUG");
}

std::string ArtUebermittlung()
{
    return ArtUebermittlung(program().TestFlag);
}

std::string ArtUebermittlung(const std::string& testFlag)
{
    return markerExists("DOTEST") || testFlag.starts_with('J') ? "T" : "P";
}

bool IsVexaProject()
{
    return !program().HostProduct.empty();
}

std::string GetKndText(const std::string& surname,
                       const std::string& firstName,
                       const std::string& street,
                       const std::string& postcode,
                       const std::string& town)
{
    const auto name = trim(trim(firstName) + " " + trim(surname));
    const auto text = name + ", " + trim(street) + ", " + trim(postcode) + " " + trim(town);
    return replaceAll(text, ", ,", "");
}

std::string Nvl(const std::string& value, const std::string& def)
{
    return isBlank(value) || value.starts_with("NULL") ? def : value;
}

double Nvl(double value, double def)
{
    return value == 0 ? def : value;
}

void CursorWait()
{
    dialogs().SetWaitCursor(true);
}

void CursorArrow()
{
    dialogs().SetWaitCursor(false);
}

bool IsOwnTitle(const std::string& title)
{
    // The platform reads a title into a buffer of 256 characters.
    return startsWithNoCase(utf8Left(title, 255), TITLE_PREFIX);
}

bool ChkWinList(const std::vector<std::string>& titles)
{
    for (const auto& title : titles) {
        if (IsOwnTitle(title)) {
            dialogs().TextBox(TITLE_PREFIX, "Das Programm läuft bereits", MB_OK | MB_ICONSTOP);
            return true;
        }
    }
    return false;
}

bool ChkWinList()
{
    return ChkWinList(topLevelWindowTitles());
}

} // namespace base

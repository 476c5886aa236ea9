#include "rksv/StatusReceipts.h"

#include "base/StringUtil.h"
#include "base/TextFormat.h"
#include "db/MySqlTable.h"
#include "rksv/Numbering.h"

#include <algorithm>

namespace rksv {
namespace {

// Programs with fixed-size text buffers have left NUL characters in RKSV_JWS; they are no part of the JWS.
std::string jwsOf(const db::DbBon& bons)
{
    return base::trim(base::withoutNul(bons.FieldGet("RKSV_JWS")));
}

std::vector<std::string> columns()
{
    return {"KASSA", "BONNR", "TYP", "DATUM", "ZEIT", "RKSV_JWS", "RKSV_TYP"};
}

// "DD.MM.YYYY" of the receipt's date; the text as stored when the database gave something that is no date.
std::string dateOf(const db::DbBon& bons)
{
    const auto stored = bons.FieldGet("DATUM");
    const auto date = SQL2D(stored);
    return date ? base::formatDate(*date) : base::trim(stored);
}

} // namespace

bool RKSVMyStartbelegExists(const std::string& kassa, std::shared_ptr<db::Connection> connection)
{
    db::DbBon bons(columns(), std::move(connection));
    bons.Where("kassa = ? and typ = 'B'", {base::trim(kassa)});
    bons.OrderBy(TILL_ORDER);
    bool exists = false;
    if (bons.GoBottom()) {
        exists = !jwsOf(bons).empty() && base::trim(bons.FieldGet("RKSV_TYP")) != "E";
    }
    bons.Close();
    return exists;
}

std::string RKSVMyCheckAusfall(const std::string& kassa, long limit, std::shared_ptr<db::Connection> connection)
{
    db::DbBon bons(columns(), std::move(connection));
    bons.Where("kassa = ? and typ = 'B' and bonnr < " + std::to_string(limit), {base::trim(kassa)});
    bons.OrderBy(TILL_ORDER);
    std::string since;
    for (bool more = bons.GoBottom(); more; more = bons.Skip(-1)) {
        const auto jws = jwsOf(bons);
        if (jws.empty() || !RKSVMyJwsAusfall(jws)) {
            break;
        }
        since = dateOf(bons) + " " + base::trim(bons.FieldGet("ZEIT"));
    }
    bons.Close();
    return since;
}

std::string RKSVMyBelegText(const std::string& type, bool copy)
{
    static constexpr struct
    {
        const char* code;
        const char* name;
    } NAMES[] = {
        {"A", "Startbeleg"},
        {"M", "Monatsbeleg"},
        {"J", "Jahresbeleg"},
        {"S", "Sammelbeleg"},
        {"E", "Schlussbeleg"},
    };
    for (const auto& entry : NAMES) {
        if (type == entry.code) {
            return std::string(entry.name) + (copy ? " (Kopie)" : "");
        }
    }
    return std::string("RECHNUNG ") + (copy ? "(Kopie)" : "");
}

} // namespace rksv

#include "rksv/StatusReceipts.h"

#include "base/StringUtil.h"
#include "base/TextFormat.h"
#include "db/MySqlTable.h"
#include "rksv/Numbering.h"
#include "rksv/Rksv.h"

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

SignResult signStatusReceipt(RKSV& service,
                             const std::string& kassa,
                             const std::string& type,
                             const std::string& pin,
                             std::chrono::year_month_day date,
                             const std::string& time)
{
    const auto till = base::trim(kassa);
    service.clearMessages();
    if (pin.empty()) {
        return {false, "Bitte die PIN der Signaturkarte eingeben", {}};
    }
    std::string registered;
    {
        db::DbCrd cards({"CRDID", "KASSA", "SERNR"}, service.connection());
        cards.Where("kassa = ?", {till});
        cards.OrderBy({"crdid"});
        if (cards.GoBottom()) {
            registered = base::trim(cards.FieldGet("SERNR"));
        }
    }
    std::string serial;
    const long readers = service.GetReadersCount();
    for (long position = 0; position < readers; ++position) {
        if (service.GetReaderAt(position).empty()) {
            continue;
        }
        const auto card = service.GetCardInReader();
        if (card.empty()) {
            continue;
        }
        const bool tillsCard = !registered.empty() && base::equalsNoCase(card, registered);
        if (serial.empty() || tillsCard) {
            serial = card;
        }
        if (tillsCard) {
            break;
        }
    }
    if (serial.empty()) {
        return {false, "Keine Signaturkarte in einem Reader - bitte die Karte der Kassa " + till + " einlegen", {}};
    }
    // The PIN is checked here once; a new card is registered for the till.
    if (!service.MySernrExists(serial, pin, till)) {
        return {false, service.accMsgFirst(), {}};
    }
    return service.sign({type, till, 0, "", date, time, {}, serial, pin});
}

} // namespace rksv

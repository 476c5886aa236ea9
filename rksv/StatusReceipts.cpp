#include "rksv/StatusReceipts.h"

#include "base/ErrorLog.h"
#include "base/StringUtil.h"
#include "base/TextFormat.h"
#include "db/Database.h"
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

// The run is read backwards from the till's last receipt below the limit in TILL_ORDER (the key last, NULLs where
// the table cursor has them), as one query for any run of ordinary length; a longer run goes on with pages eight
// times as large, so a run of any length costs a few queries, never one per receipt.
std::string RKSVMyCheckAusfall(const std::string& kassa, long limit, std::shared_ptr<db::Connection> connection)
{
    if (!connection) {
        connection = db::programConnection();
    }
    if (!connection) {
        throw base::PlatformError("Keine Datenbankverbindung für die Prüfung des Ausfalls");
    }
    const bool oracle = connection->kind() == db::Kind::Oracle;
    const std::string sql = "SELECT DATUM, ZEIT, RKSV_JWS FROM BONS WHERE KASSA = ? AND TYP = 'B' AND BONNR < ? "
                            "ORDER BY DATUM DESC, BONNR DESC, BONID DESC "
                            + std::string(oracle ? "OFFSET ? ROWS FETCH NEXT ? ROWS ONLY" : "LIMIT ? OFFSET ?");
    std::string since;
    long offset = 0;
    for (long page = 1024;; page *= 8) {
        const std::vector<db::Text> parameters =
            oracle ? std::vector<db::Text>{base::trim(kassa),
                                           std::to_string(limit),
                                           std::to_string(offset),
                                           std::to_string(page)}
                   : std::vector<db::Text>{
                       base::trim(kassa), std::to_string(limit), std::to_string(page), std::to_string(offset)};
        db::Statement rows(*connection);
        rows.execute(sql, parameters);
        long read = 0;
        while (rows.fetch()) {
            ++read;
            const auto jws = base::trim(base::withoutNul(rows.get(2).value_or("")));
            if (jws.empty() || !RKSVMyJwsAusfall(jws)) {
                return since;
            }
            const auto stored = rows.get(0).value_or("");
            const auto date = SQL2D(stored);
            since = (date ? base::formatDate(*date) : base::trim(stored)) + " " + base::trim(rows.get(1).value_or(""));
        }
        if (read < page) {
            return since;
        }
        offset += page;
    }
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
        // A module that does not answer is no missing card: its reason follows.
        const auto problem = service.accReady() ? (*service.accRKSV())->DeviceProblem() : std::string();
        return {false,
                "Keine Signaturkarte in einem Reader - bitte die Karte der Kassa " + till + " einlegen"
                    + (problem.empty() ? "" : "\r\n" + problem),
                {}};
    }
    // The PIN is checked here once; a new card is registered for the till.
    if (!service.MySernrExists(serial, pin, till)) {
        return {false, service.accMsgFirst(), {}};
    }
    return service.sign({type, till, 0, "", date, time, {}, serial, pin});
}

} // namespace rksv

#pragma once

#include "db/Odbc.h"

#include <chrono>
#include <memory>
#include <string>

namespace rksv {

class RKSV;
struct SignResult;

/**
 * Whether the till already has a start receipt, judged by its last receipt (TYP 'B', in the till's order TILL_ORDER):
 * false when the till has no receipt, when the last one carries no signature (empty RKSV_JWS: signing was never
 * switched on, so a start receipt is still due) or when it is a closing receipt (RKSV_TYP "E": the till may be put into
 * service again); true otherwise. Connection nullptr: the program-wide one. A failing query throws base::PlatformError.
 */
[[nodiscard]] bool RKSVMyStartbelegExists(const std::string& kassa,
                                          std::shared_ptr<db::Connection> connection = nullptr);

/**
 * Since when the till's security device has failed: among the till's receipts (TYP 'B') with a number below
 * `limit`, the run of failure-marked receipts at the end (RKSVMyJwsAusfall, NUL characters of RKSV_JWS removed
 * first). The result is the date ("DD.MM.YYYY") and time text of the earliest receipt of that run, joined by a
 * blank ("03.02.2026 10:15:00"); "" when the last receipt below the limit is not failure-marked or there is none.
 * Connection nullptr: the program-wide one. A failing query throws base::PlatformError.
 */
[[nodiscard]] std::string
RKSVMyCheckAusfall(const std::string& kassa, long limit, std::shared_ptr<db::Connection> connection = nullptr);

/**
 * Signs the status receipt `type` ("A", "M", "J", "S", "E") the operator ordered for the till, through the signing step
 * of MySignAll: the same lock, numbering, chain, storage and QR image as the status receipts signing inserts by itself.
 * The card is the one in the service's readers: the till's latest registered card where a reader holds it, otherwise
 * the card of the first reader holding one, registered for the till when it is new (MySernrExists). `pin` is the card's
 * PIN, checked once before anything is signed. Refused (nothing stored, the reason in the result's message): no card in
 * any reader, a wrong PIN, a card the till may not use, and every refusal of the signing step. A failing query throws
 * base::PlatformError.
 */
[[nodiscard]] SignResult signStatusReceipt(RKSV& service,
                                           const std::string& kassa,
                                           const std::string& type,
                                           const std::string& pin,
                                           std::chrono::year_month_day date,
                                           const std::string& time);

} // namespace rksv

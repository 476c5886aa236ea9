#pragma once

#include "db/Odbc.h"

#include <memory>
#include <string>

namespace rksv {

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
 * The name of a receipt kind: "Startbeleg" (A), "Monatsbeleg" (M), "Jahresbeleg" (J), "Sammelbeleg" (S),
 * "Schlussbeleg" (E), and "RECHNUNG " for any other code. With `copy` the name is marked as a copy: a status
 * receipt becomes e.g. "Startbeleg (Kopie)", any other receipt "RECHNUNG (Kopie)".
 */
std::string RKSVMyBelegText(const std::string& type, bool copy = false);

} // namespace rksv

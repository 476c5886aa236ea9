#pragma once

#include "fonws/Submission.h"

#include <optional>
#include <string>

namespace fonws {

//! FinanzOnline's answer to a status query (`abfrage_ergebnis`), its texts as sent.
struct StatusResult
{
    std::string status;          //!< AKTIVIERT, REGISTRIERT, IN_BETRIEB or AUSFALL
    std::string tsRegistrierung; //!< xs:dateTime of the registration
    std::string tsStatus;        //!< xs:dateTime since which the status holds

    bool operator==(const StatusResult&) const = default;
};

//! The `abfrage_ergebnis` of an RKDB answer, found in FinanzOnline's RKDB namespace whatever its prefix; nothing
//! when the answer has none (a refused query, a fault, a malformed text) or lacks one of its three values.
[[nodiscard]] std::optional<StatusResult> readStatusResult(const std::string& answerXml);

/**
 * The result in plain German for the result box, e.g. "Registrierkasse KASSE-01: in Betrieb seit 03.02.2026 10:15".
 * `operation` says which unit was asked for (Status_Kasse a cash register, anything else a signature unit), `id` is
 * the id or serial as the user entered it. The time is Vienna's: a time without zone is taken as Vienna's already,
 * one with "Z" or an offset is converted. An unknown status or an unreadable time is shown as sent.
 */
[[nodiscard]] std::string describeStatus(Operation operation, const std::string& id, const StatusResult& result);

//! "03.02.2026 10:15" in Vienna's time for an xs:dateTime; "" when the text is not one.
[[nodiscard]] std::string viennaTime(const std::string& dateTime);

} // namespace fonws

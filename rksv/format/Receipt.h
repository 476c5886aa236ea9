#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rksv {

//! The signed data of one receipt, field by field in the order they appear in the text
//! `_R1-AT<n>_<Kassen-ID>_<Belegnummer>_<Datum-Uhrzeit>_<five amounts>_<counter>_<serial>_<chaining value>`.
struct ReceiptData
{
    //! Algorithm suite and trust service provider, e.g. `R1-AT1`; `R1-AT0` for a closed system.
    std::string kassenAlgorithmus = "R1-AT0";
    std::string kassenId;
    std::string belegnummer;
    //! Local time `yyyy-MM-ddTHH:mm:ss`, no zone.
    std::string belegDatumUhrzeit;
    //! Amounts in euro cents, negative for returns.
    std::int64_t betragSatzNormal = 0;
    std::int64_t betragSatzErmaessigt1 = 0;
    std::int64_t betragSatzErmaessigt2 = 0;
    std::int64_t betragSatzNull = 0;
    std::int64_t betragSatzBesonders = 0;
    //! Encrypted turnover counter as standard Base64, or the training / storno marker.
    std::string standUmsatzZaehler;
    //! Serial number of the signing certificate in hex, or `U:<UID>-K<n>` on a closed system.
    std::string zertifikatSeriennummer;
    //! Chaining value (Base64 of 8 bytes).
    std::string sigVorigerBeleg;

    //! Sum of the five amounts in cents: what this receipt adds to the turnover counter.
    std::int64_t betragSumme() const;

    bool operator==(const ReceiptData&) const = default;
};

//! Euro cents as the receipt writes them: decimal comma, two decimals, `-` for negatives (`-1234,56`).
std::string formatAmount(std::int64_t cents);
//! The reverse of formatAmount; nothing for any other spelling (`1.234,56`, `1,5`, `+1,00`, `01,00`, `-0,00`, blanks).
[[nodiscard]] std::optional<std::int64_t> parseAmount(std::string_view text);

//! True for `yyyy-MM-ddTHH:mm:ss` with a plausible month, day, hour, minute and second.
[[nodiscard]] bool isValidDateTime(std::string_view text);

//! The signed data text of the receipt. Nothing, with a German reason in `fehler` (if given), when a field is empty
//! where it must not be, holds `_` or a line break, the algorithm field is not `R1-AT<n>` or the date is malformed.
[[nodiscard]] std::optional<std::string> buildSignedData(const ReceiptData& receipt, std::string* fehler = nullptr);

//! Parses the signed data text back. Nothing, with a German reason in `fehler` (if given), unless the text has exactly
//! the 13 segments (the first empty), the prefix `R1-AT<n>`, a valid date and amounts in the receipt's spelling.
[[nodiscard]] std::optional<ReceiptData> parseSignedData(std::string_view text, std::string* fehler = nullptr);

//! Splits at every `_`; empty pieces are kept, so `_a__b` gives "", "a", "", "b".
std::vector<std::string_view> splitUnderscore(std::string_view text);

} // namespace rksv

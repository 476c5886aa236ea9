#include "rksv/format/Receipt.h"

#include <array>
#include <charconv>
#include <utility>

namespace rksv {

namespace {

constexpr std::size_t SIGNED_DATA_SEGMENTS = 13;
constexpr std::string_view ALGORITHM_PREFIX = "R1-AT";
// 16 digits of euros keep every amount and the sum of five well inside int64.
constexpr std::size_t MAX_EURO_DIGITS = 16;

void setError(std::string* fehler, std::string text)
{
    if (fehler != nullptr) {
        *fehler = std::move(text);
    }
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool allDigits(std::string_view text)
{
    for (const char c : text) {
        if (!isDigit(c)) {
            return false;
        }
    }
    return true;
}

int number(std::string_view digits)
{
    int value = 0;
    std::from_chars(digits.data(), digits.data() + digits.size(), value);
    return value;
}

bool isValidAlgorithm(std::string_view text)
{
    if (!text.starts_with(ALGORITHM_PREFIX)) {
        return false;
    }
    const std::string_view n = text.substr(ALGORITHM_PREFIX.size());
    return !n.empty() && allDigits(n) && (n == "0" || n.front() != '0');
}

// Fields that go between underscores must not break the segment structure.
bool isPlainField(std::string_view text)
{
    return text.find_first_of("_\r\n") == std::string_view::npos;
}

} // namespace

std::int64_t ReceiptData::betragSumme() const
{
    return betragSatzNormal + betragSatzErmaessigt1 + betragSatzErmaessigt2 + betragSatzNull + betragSatzBesonders;
}

std::string formatAmount(std::int64_t cents)
{
    // Through unsigned so that the smallest int64 has a magnitude too.
    const bool negative = cents < 0;
    const std::uint64_t magnitude =
        negative ? 0 - static_cast<std::uint64_t>(cents) : static_cast<std::uint64_t>(cents);
    std::string fraction = std::to_string(magnitude % 100);
    if (fraction.size() < 2) {
        fraction.insert(0, "0");
    }
    return (negative ? "-" : "") + std::to_string(magnitude / 100) + "," + fraction;
}

std::optional<std::int64_t> parseAmount(std::string_view text)
{
    const bool negative = text.starts_with('-');
    if (negative) {
        text.remove_prefix(1);
    }
    const std::size_t comma = text.find(',');
    if (comma == std::string_view::npos || comma == 0 || comma > MAX_EURO_DIGITS || text.size() != comma + 3) {
        return std::nullopt;
    }
    const std::string_view euros = text.substr(0, comma);
    const std::string_view decimals = text.substr(comma + 1);
    if (!allDigits(euros) || !allDigits(decimals) || (euros.size() > 1 && euros.front() == '0')) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    std::from_chars(euros.data(), euros.data() + euros.size(), value);
    value = value * 100 + number(decimals);
    if (negative && value == 0) {
        return std::nullopt;
    }
    return negative ? -value : value;
}

bool isValidDateTime(std::string_view text)
{
    // yyyy-MM-ddTHH:mm:ss
    if (text.size() != 19 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':'
        || text[16] != ':') {
        return false;
    }
    for (const std::size_t at : {0U, 5U, 8U, 11U, 14U, 17U}) {
        const std::size_t length = at == 0 ? 4 : 2;
        if (!allDigits(text.substr(at, length))) {
            return false;
        }
    }
    const int year = number(text.substr(0, 4));
    const int month = number(text.substr(5, 2));
    const int day = number(text.substr(8, 2));
    if (month < 1 || month > 12) {
        return false;
    }
    constexpr std::array<int, 12> DAYS{31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    const int days = month == 2 && !leap ? 28 : DAYS[static_cast<std::size_t>(month - 1)];
    return day >= 1 && day <= days && number(text.substr(11, 2)) <= 23 && number(text.substr(14, 2)) <= 59
           && number(text.substr(17, 2)) <= 59;
}

std::optional<std::string> buildSignedData(const ReceiptData& receipt, std::string* fehler)
{
    if (!isValidAlgorithm(receipt.kassenAlgorithmus)) {
        setError(fehler, "Ungültige Algorithmus-Kennung: " + receipt.kassenAlgorithmus);
        return std::nullopt;
    }
    const std::array<std::pair<const std::string*, const char*>, 5> textFields{{
        {&receipt.kassenId, "Kassen-ID"},
        {&receipt.belegnummer, "Belegnummer"},
        {&receipt.standUmsatzZaehler, "Umsatzzähler"},
        {&receipt.zertifikatSeriennummer, "Zertifikat-Seriennummer"},
        {&receipt.sigVorigerBeleg, "Verkettungswert"},
    }};
    for (const auto& [value, name] : textFields) {
        if (value->empty() || !isPlainField(*value)) {
            setError(fehler, std::string("Feld ") + name + " ist leer oder enthält '_' oder einen Zeilenumbruch.");
            return std::nullopt;
        }
    }
    if (!isValidDateTime(receipt.belegDatumUhrzeit)) {
        setError(fehler, "Ungültiges Belegdatum: " + receipt.belegDatumUhrzeit);
        return std::nullopt;
    }
    std::string text;
    for (const std::string& field : {receipt.kassenAlgorithmus,
                                     receipt.kassenId,
                                     receipt.belegnummer,
                                     receipt.belegDatumUhrzeit,
                                     formatAmount(receipt.betragSatzNormal),
                                     formatAmount(receipt.betragSatzErmaessigt1),
                                     formatAmount(receipt.betragSatzErmaessigt2),
                                     formatAmount(receipt.betragSatzNull),
                                     formatAmount(receipt.betragSatzBesonders),
                                     receipt.standUmsatzZaehler,
                                     receipt.zertifikatSeriennummer,
                                     receipt.sigVorigerBeleg}) {
        text += '_';
        text += field;
    }
    return text;
}

std::optional<ReceiptData> parseSignedData(std::string_view text, std::string* fehler)
{
    if (text.find_first_of("\r\n") != std::string_view::npos) {
        setError(fehler, "Die Belegdaten enthalten einen Zeilenumbruch.");
        return std::nullopt;
    }
    const std::vector<std::string_view> parts = splitUnderscore(text);
    if (parts.size() != SIGNED_DATA_SEGMENTS || !parts[0].empty()) {
        setError(fehler, "Die Belegdaten haben nicht 13 mit '_' getrennte Felder und beginnen nicht mit '_'.");
        return std::nullopt;
    }
    if (!isValidAlgorithm(parts[1])) {
        setError(fehler, "Die Belegdaten beginnen nicht mit '_R1-AT<n>'.");
        return std::nullopt;
    }
    ReceiptData receipt;
    receipt.kassenAlgorithmus = parts[1];
    receipt.kassenId = parts[2];
    receipt.belegnummer = parts[3];
    receipt.belegDatumUhrzeit = parts[4];
    if (!isValidDateTime(receipt.belegDatumUhrzeit)) {
        setError(fehler, "Ungültiges Belegdatum: " + receipt.belegDatumUhrzeit);
        return std::nullopt;
    }
    std::int64_t* const amounts[] = {&receipt.betragSatzNormal,
                                     &receipt.betragSatzErmaessigt1,
                                     &receipt.betragSatzErmaessigt2,
                                     &receipt.betragSatzNull,
                                     &receipt.betragSatzBesonders};
    for (std::size_t i = 0; i < 5; ++i) {
        const std::optional<std::int64_t> cents = parseAmount(parts[5 + i]);
        if (!cents) {
            setError(fehler, "Ungültiger Betrag: " + std::string(parts[5 + i]));
            return std::nullopt;
        }
        *amounts[i] = *cents;
    }
    receipt.standUmsatzZaehler = parts[10];
    receipt.zertifikatSeriennummer = parts[11];
    receipt.sigVorigerBeleg = parts[12];
    for (const std::string_view field : {parts[2], parts[3], parts[10], parts[11], parts[12]}) {
        if (field.empty()) {
            setError(fehler, "Die Belegdaten enthalten ein leeres Feld.");
            return std::nullopt;
        }
    }
    return receipt;
}

std::vector<std::string_view> splitUnderscore(std::string_view text)
{
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find('_', start);
        if (end == std::string_view::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

} // namespace rksv

#include "rksv/units/CardComponent.h"

#include "rksv/format/Jws.h"
#include "rksv/format/OpenSsl.h"
#include "rksv/format/QrImage.h"
#include "rksv/format/Receipt.h"
#include "rksv/format/TurnoverCounter.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <span>

namespace rksv {

namespace {

//! Writes an image atomically. One in the temporary folder is there to be printed: it needs to be complete, not to
//! outlive a crash, so it is not flushed to the disk.
bool writeImage(const std::string& file, std::span<const std::uint8_t> bytes)
{
    std::error_code error;
    const auto temporary = std::filesystem::temp_directory_path(error).lexically_normal();
    const auto folder = std::filesystem::absolute(file, error).lexically_normal().parent_path();
    const auto [end, rest] = std::mismatch(temporary.begin(), temporary.end(), folder.begin(), folder.end());
    const bool inTemporaryFolder = !temporary.empty() && (end == temporary.end() || end->empty());
    return writeFileAtomically(file, bytes, !inTemporaryFolder);
}

//! Domain text of GenerateAes256Key, so the key of a basis differs from any other SHA-256 use of the same text.
constexpr std::string_view AES_KEY_DOMAIN = "Vexa-Quorvex Umsatzzaehler-Schluessel AES-256 v1\n";
constexpr std::size_t AMOUNT_COUNT = 5;

std::optional<std::int64_t> parseCents(std::string_view text)
{
    std::int64_t value = 0;
    const char* end = text.data() + text.size();
    if (text.empty() || text.front() == '+') {
        return std::nullopt;
    }
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end) {
        return std::nullopt;
    }
    return value;
}

bool isDigits(std::string_view text)
{
    return std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
}

} // namespace

std::string receiptDateTime(std::string_view text)
{
    // DD.MM.YYYY hh:mm:ss
    if (text.size() != 19 || text[2] != '.' || text[5] != '.' || text[10] != ' ' || text[13] != ':'
        || text[16] != ':') {
        return {};
    }
    const std::string_view day = text.substr(0, 2);
    const std::string_view month = text.substr(3, 2);
    const std::string_view year = text.substr(6, 4);
    const std::string_view time = text.substr(11);
    if (!isDigits(day) || !isDigits(month) || !isDigits(year) || !isDigits(time.substr(0, 2))
        || !isDigits(time.substr(3, 2)) || !isDigits(time.substr(6, 2))) {
        return {};
    }
    // isValidDateTime only checks ranges; the calendar also rules out a 31 February or a 29 February of 2026.
    const auto number = [](std::string_view digits) {
        int value = 0;
        std::from_chars(digits.data(), digits.data() + digits.size(), value);
        return value;
    };
    const std::chrono::year_month_day date{std::chrono::year(number(year)),
                                           std::chrono::month(static_cast<unsigned>(number(month))),
                                           std::chrono::day(static_cast<unsigned>(number(day)))};
    if (!date.ok()) {
        return {};
    }
    std::string result;
    result.append(year).append("-").append(month).append("-").append(day).append("T").append(time);
    return isValidDateTime(result) ? result : std::string();
}

CardComponent::CardComponent(std::string algorithm)
    : m_algorithm(std::move(algorithm))
{}

bool CardComponent::VerifyJWS(const std::string& jws, const std::string& certificate)
{
    const X509Ptr parsed = certificateFromBase64(certificate);
    return parsed && verifyCompactJwsWithCertificate(jws, parsed.get());
}

bool CardComponent::ConvertJWSCompactToText(const std::string& jws, std::string& text, std::string& error)
{
    text.clear();
    error.clear();
    const auto code = jwsToMachineCode(jws);
    if (!code) {
        error = "Die JWS-Kompaktdarstellung ist ungültig und kann nicht in den maschinenlesbaren Code umgewandelt "
                "werden.";
        return false;
    }
    text = *code;
    return true;
}

bool CardComponent::ExportJWS(const std::string& certificate,
                              const std::string& chain,
                              const std::vector<std::string>& jws,
                              std::string& json)
{
    json.clear();
    // Every value is checked to be a certificate or a compact JWS, so it holds only Base64(URL) characters and '.'.
    if (!certificate.empty() && !certificateFromBase64(certificate)) {
        return false;
    }
    std::vector<std::string_view> issuers;
    for (std::string_view rest = chain; !rest.empty();) {
        const std::size_t separator = rest.find(';');
        issuers.push_back(rest.substr(0, separator));
        rest = separator == std::string_view::npos ? std::string_view() : rest.substr(separator + 1);
    }
    for (const std::string_view issuer : issuers) {
        if (!certificateFromBase64(issuer)) {
            return false;
        }
    }
    for (const std::string& receipt : jws) {
        if (!parseCompactJws(receipt)) {
            return false;
        }
    }
    nlohmann::ordered_json group;
    group["Signaturzertifikat"] = certificate;
    group["Zertifizierungsstellen"] = issuers;
    group["Belege-kompakt"] = jws;
    json = nlohmann::ordered_json{{"Belege-Gruppe", nlohmann::ordered_json::array({std::move(group)})}}.dump();
    return true;
}

bool CardComponent::ExportJWSDelimitedString(const std::string& certificate,
                                             const std::string& chain,
                                             const std::string& jws,
                                             std::string& json)
{
    // The receipt format names no delimiter; a compact JWS consists of Base64URL characters and '.', so any other
    // character (line break, blank, ';', ',', '|') separates two receipts.
    const auto isJwsCharacter = [](unsigned char c) {
        return std::isalnum(c) != 0 || c == '-' || c == '_' || c == '.';
    };
    std::vector<std::string> receipts;
    std::string current;
    for (const char c : jws) {
        if (isJwsCharacter(static_cast<unsigned char>(c))) {
            current += c;
        } else if (!current.empty()) {
            receipts.push_back(std::move(current));
            current.clear();
        }
    }
    if (!current.empty()) {
        receipts.push_back(std::move(current));
    }
    return ExportJWS(certificate, chain, receipts, json);
}

bool CardComponent::RKSVJwsToImage(const std::string& jws, std::string& image, std::string& secondImage)
{
    image.clear();
    secondImage.clear();
    const std::optional<std::string> code = jwsToMachineCode(jws);
    if (!code) {
        return false;
    }
    const std::optional<QrMatrix> qr = encodeQr(*code);
    if (!qr) {
        return false;
    }
    const std::optional<Bytes> png = renderPng(*qr);
    if (!png) {
        return false;
    }
    image = base64Encode(renderBmp(*qr));
    secondImage = base64Encode(*png);
    return true;
}

bool CardComponent::JwsToQrImage(const std::string& jws, std::string& image)
{
    image.clear();
    const std::optional<std::string> code = jwsToMachineCode(jws);
    const std::optional<QrMatrix> qr = code ? encodeQr(*code) : std::nullopt;
    if (!qr) {
        return false;
    }
    image = base64Encode(renderBmp(*qr));
    return true;
}

bool CardComponent::SaveImageToFile(const std::string& image, const std::string& file, const std::string& type)
{
    std::string lowerType = type;
    std::transform(lowerType.begin(), lowerType.end(), lowerType.begin(), [](unsigned char c) {
        return static_cast<char>(std::tolower(c));
    });
    ImageFormat wanted = ImageFormat::Unknown;
    if (lowerType == "mime/bmp") {
        wanted = ImageFormat::Bmp;
    } else if (lowerType == "mime/png") {
        wanted = ImageFormat::Png;
    }
    if (wanted == ImageFormat::Unknown || image.empty() || file.empty()) {
        return false;
    }
    const std::optional<Bytes> bytes = base64Decode(image);
    if (!bytes || imageFormatOf(*bytes) != wanted) {
        return false;
    }
    return writeImage(file, *bytes);
}

bool CardComponent::SaveQrImage(const std::string& jws, const std::string& file)
{
    const std::optional<std::string> code = jwsToMachineCode(jws);
    const std::optional<QrMatrix> qr = code ? encodeQr(*code) : std::nullopt;
    return qr && !file.empty() && writeImage(file, renderBmp(*qr));
}

bool CardComponent::GenerateAes256Key(const std::string& basis, std::string& key, std::string& error)
{
    key.clear();
    error.clear();
    if (basis.empty()) {
        error = "Für den AES-Schlüssel fehlt die Grundlage (leerer Text).";
        return false;
    }
    std::string input(AES_KEY_DOMAIN);
    input += basis;
    key = base64Encode(sha256(asBytes(input)));
    return true;
}

bool CardComponent::SignReceipt(const Receipt& receipt, Signed& out)
{
    return sign(receipt, Kind::Normal, out);
}

bool CardComponent::SignTrainReceipt(const Receipt& receipt, Signed& out)
{
    return sign(receipt, Kind::Training, out);
}

bool CardComponent::SignStornoReceipt(const Receipt& receipt, Signed& out)
{
    return sign(receipt, Kind::Storno, out);
}

bool CardComponent::sign(const Receipt& receipt, Kind kind, Signed& out)
{
    out = Signed();
    const auto fail = [&out](std::string message) {
        out.error = std::move(message);
        return false;
    };

    ReceiptData data;
    data.kassenAlgorithmus = m_algorithm;
    data.kassenId = receipt.kassa;
    data.belegnummer = receipt.bonnr;
    data.belegDatumUhrzeit = receiptDateTime(receipt.dateTime);
    if (data.belegDatumUhrzeit.empty()) {
        return fail("Ungültiges Belegdatum \"" + receipt.dateTime + "\" (erwartet TT.MM.JJJJ hh:mm:ss).");
    }
    if (receipt.amounts.size() != AMOUNT_COUNT) {
        return fail("Der Beleg braucht genau fünf Beträge (Normal, Ermäßigt-1, Ermäßigt-2, Null, Besonders), nicht "
                    + std::to_string(receipt.amounts.size()) + ".");
    }
    std::array<std::int64_t, AMOUNT_COUNT> cents{};
    for (std::size_t i = 0; i < AMOUNT_COUNT; ++i) {
        const auto amount = parseAmount(receipt.amounts[i]);
        if (!amount) {
            return fail("Ungültiger Betrag \"" + receipt.amounts[i] + "\" (erwartet z. B. 12,50).");
        }
        cents[i] = *amount;
    }
    data.betragSatzNormal = cents[0];
    data.betragSatzErmaessigt1 = cents[1];
    data.betragSatzErmaessigt2 = cents[2];
    data.betragSatzNull = cents[3];
    data.betragSatzBesonders = cents[4];

    const auto aesKey = parseAesKey(receipt.aesKey);
    if (!aesKey) {
        return fail("Ungültiger AES-Schlüssel (erwartet 44 Zeichen Base64 für 32 Bytes).");
    }
    const auto counterBefore = parseCents(receipt.turnoverCounter);
    if (!counterBefore) {
        return fail("Ungültiger Umsatzzähler \"" + receipt.turnoverCounter + "\" (erwartet Cent als ganze Zahl).");
    }
    if (kind == Kind::Normal) {
        std::int64_t sum = 0;
        std::int64_t counter = 0;
        for (const std::int64_t amount : cents) {
            if (__builtin_add_overflow(sum, amount, &sum)) {
                return fail("Die Summe der Beträge ist zu groß.");
            }
        }
        if (__builtin_add_overflow(*counterBefore, sum, &counter)) {
            return fail("Der Umsatzzähler läuft über.");
        }
        const auto encrypted = encryptTurnoverCounter(*aesKey, data.kassenId, data.belegnummer, counter);
        if (!encrypted) {
            return fail("Der Umsatzzähler konnte nicht verschlüsselt werden.");
        }
        data.standUmsatzZaehler = *encrypted;
    } else {
        data.standUmsatzZaehler = std::string(kind == Kind::Training ? TRAINING_MARKER : STORNO_MARKER);
    }

    if (receipt.previous.empty()) {
        return fail("Der vorige Beleg (oder die Kassen-ID beim Startbeleg) fehlt.");
    }
    if (!receipt.kassa.empty() && receipt.previous == receipt.kassa) {
        data.sigVorigerBeleg = startChainValue(receipt.kassa);
    } else if (parseCompactJws(receipt.previous)) {
        data.sigVorigerBeleg = chainValue(receipt.previous);
    } else {
        return fail("Der vorige Beleg ist keine gültige JWS-Kompaktdarstellung.");
    }

    std::string reason;
    const auto serial = cardSerial(receipt.reader, reason);
    if (!serial) {
        return fail(reason);
    }
    data.zertifikatSeriennummer = *serial;

    const auto signedData = buildSignedData(data, &reason);
    if (!signedData) {
        return fail("Der Beleg kann nicht signiert werden: " + reason);
    }
    const std::string input = signingInput(*signedData);
    const CardSignature signature = signWithCard(receipt.reader, receipt.pin, input);
    switch (signature.outcome) {
    case CardSignature::Outcome::DeviceFailed:
        out.jws = failedCompactJws(*signedData);
        return true;
    case CardSignature::Outcome::Refused:
        return fail(signature.refusal);
    case CardSignature::Outcome::Signed:
        break;
    }
    if (signature.signature.size() != ES256_SIGNATURE_BYTES) {
        return fail("Die Signatur ist fehlgeschlagen: die Karte gab keine ES256-Signatur zurück.");
    }
    out.jws = input + "." + base64UrlEncode(signature.signature);
    return true;
}

} // namespace rksv

#include "fontest/RkdbRegistry.h"

#include "fontest/XmlText.h"

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>

namespace fontest {

// Return codes and texts of one kind of unit (cash register, signature unit, GGS).
struct UnitCodes
{
    const char* duplicate;
    const char* duplicateMsg;
    const char* unknown;
    const char* unknownMsg;
    const char* decommissioned;
    const char* decommissionedMsg;
    const char* registeredMsg;
};

namespace {

constexpr const char* TEST_MODE_MSG = "Testübermittlung: Die Meldung ist gültig und wurde nicht gespeichert.";
constexpr const char* RECEIPT_FAULTY_MSG = "Der übermittelte Beleg ist fehlerhaft.";
constexpr const char* SATZNR = "satznr";

bool startsWith(const std::string& text, const char* prefix)
{
    return text.rfind(prefix, 0) == 0;
}

std::string groupKey(const XmlElement& record)
{
    return trimmed(record.childText("art_ob")) + "|" + record.childText("ob") + "|" + record.childText("zusatz_ob");
}

bool isHexFlag(const XmlElement& serial)
{
    const auto it = serial.attributes.find("hex");
    return it != serial.attributes.end() && (trimmed(it->second) == "true" || trimmed(it->second) == "1");
}

std::string serialOf(const XmlElement& record)
{
    const XmlElement* serial = record.child("zertifikatsseriennummer");
    return serial ? normaliseSerial(trimmed(serial->text), isHexFlag(*serial)) : std::string();
}

// clang-format off
const UnitCodes CASH_REGISTER{
    "B1", "Die Registrierkasse ist bereits registriert.",
    "B2", "Die Registrierkasse ist nicht registriert.",
    "B3", "Die Registrierkasse wurde bereits außer Betrieb genommen.",
    "Die Registrierkasse wurde registriert."};
const UnitCodes SIGNATURE_UNIT{
    "B10", "Die Signatur- bzw. Siegelerstellungseinheit ist mit diesem Vertrauensdiensteanbieter und dieser "
           "Seriennummer bereits registriert.",
    "B11", "Die Signatur- bzw. Siegelerstellungseinheit ist nicht registriert.",
    "B12", "Die Signatur- bzw. Siegelerstellungseinheit wurde bereits außer Betrieb genommen.",
    "Die Signatur- bzw. Siegelerstellungseinheit wurde registriert."};
const UnitCodes GROUP_UNIT{
    "B20", "Die Signatur- bzw. Siegelerstellungseinheit (GGS) ist für diesen Ordnungsbegriff bereits registriert.",
    "B21", "Die Signatur- bzw. Siegelerstellungseinheit (GGS) ist nicht registriert.",
    "B22", "Die Signatur- bzw. Siegelerstellungseinheit (GGS) wurde bereits außer Betrieb genommen.",
    "Die Signatur- bzw. Siegelerstellungseinheit (GGS) wurde registriert."};
// clang-format on

} // namespace

std::vector<RecordResult> RkdbRegistry::process(const RkdbRequest& request)
{
    std::lock_guard lock(m_mutex);
    Participant& participant = m_participants[request.tid];
    std::vector<RecordResult> results;
    for (const XmlElement& record : request.records) {
        RecordResult result;
        if (record.name == "belegpruefung") {
            result = checkReceipt(participant, record, request.production);
        } else if (request.production || startsWith(record.name, "status_")) {
            // status queries only read, so they answer from the registrations in either mode
            result = production(participant, record);
        } else {
            result.rc = "0";
            result.msg = TEST_MODE_MSG;
        }
        result.satznr = trimmed(record.childText(SATZNR));
        results.push_back(std::move(result));
    }
    return results;
}

RecordResult RkdbRegistry::production(Participant& participant, const XmlElement& record)
{
    const std::string& kind = record.name;
    auto find = [](auto& units, const auto& key) {
        const auto it = units.find(key);
        return it == units.end() ? std::vector<Unit*>{} : std::vector<Unit*>{&it->second};
    };
    if (kind == "registrierung_kasse") {
        return registerUnit(participant.cashRegisters, record.childText("kassenidentifikationsnummer"), CASH_REGISTER);
    }
    if (kind == "registrierung_se") {
        return registerSignatureUnit(participant, record);
    }
    if (kind == "registrierung_ggs") {
        return registerUnit(participant.groupUnits, groupKey(record), GROUP_UNIT);
    }
    if (kind == "ausfall_kasse" || kind == "wiederinbetriebnahme_kasse") {
        return changeState(
            find(participant.cashRegisters, record.childText("kassenidentifikationsnummer")), record, CASH_REGISTER);
    }
    if (kind == "ausfall_se" || kind == "wiederinbetriebnahme_se") {
        return changeState(signatureUnitsWithSerial(participant, serialOf(record)), record, SIGNATURE_UNIT);
    }
    if (kind == "ausfall_ggs" || kind == "wiederinbetriebnahme_ggs") {
        return changeState(find(participant.groupUnits, groupKey(record)), record, GROUP_UNIT);
    }
    if (kind == "status_kasse") {
        return query(find(participant.cashRegisters, record.childText("kassenidentifikationsnummer")), CASH_REGISTER);
    }
    if (kind == "status_see") {
        return query(signatureUnitsWithSerial(participant, serialOf(record)), SIGNATURE_UNIT);
    }
    if (kind == "status_ggs") {
        return query(find(participant.groupUnits, groupKey(record)), GROUP_UNIT);
    }
    RecordResult result;
    result.rc = "-3";
    result.msg = "Es ist ein technischer Fehler aufgetreten.";
    return result;
}

RecordResult
RkdbRegistry::registerUnit(std::map<std::string, Unit>& units, const std::string& key, const UnitCodes& codes)
{
    RecordResult result;
    if (units.count(key)) {
        result.rc = codes.duplicate;
        result.msg = codes.duplicateMsg;
        return result;
    }
    const std::string now = localTimestamp();
    units[key] = Unit{State::InOperation, now, now};
    result.rc = "0";
    result.msg = codes.registeredMsg;
    return result;
}

RecordResult RkdbRegistry::registerSignatureUnit(Participant& participant, const XmlElement& record)
{
    RecordResult result;
    std::string serial;
    if (record.child("zertifikat")) {
        serial = certificateSerial(record.childText("zertifikat"));
        if (serial.empty()) {
            result.rc = "B13";
            result.msg = "Das Zertifikat der Signatur- bzw. Siegelerstellungseinheit kann nicht gelesen werden.";
            return result;
        }
    } else {
        serial = serialOf(record);
    }
    const auto key = std::make_pair(trimmed(record.childText("vda_id")), serial);
    if (participant.signatureUnits.count(key)) {
        result.rc = SIGNATURE_UNIT.duplicate;
        result.msg = SIGNATURE_UNIT.duplicateMsg;
        return result;
    }
    const std::string now = localTimestamp();
    participant.signatureUnits[key] = Unit{State::InOperation, now, now};
    result.rc = "0";
    result.msg = SIGNATURE_UNIT.registeredMsg;
    return result;
}

RecordResult RkdbRegistry::changeState(std::vector<Unit*> units, const XmlElement& record, const UnitCodes& codes)
{
    RecordResult result;
    if (units.empty()) {
        result.rc = codes.unknown;
        result.msg = codes.unknownMsg;
        return result;
    }
    std::erase_if(units, [](const Unit* unit) { return unit->state == State::Decommissioned; });
    if (units.empty()) {
        result.rc = codes.decommissioned;
        result.msg = codes.decommissionedMsg;
        return result;
    }
    State next = State::InOperation;
    result.msg = "Die Wiederinbetriebnahme wurde gemeldet.";
    if (startsWith(record.name, "ausfall")) {
        const bool decommission = record.child("ausserbetriebnahme") != nullptr;
        next = decommission ? State::Decommissioned : State::Failed;
        result.msg = decommission ? "Die Außerbetriebnahme wurde gemeldet." : "Der Ausfall wurde gemeldet.";
    }
    const std::string now = localTimestamp();
    for (Unit* unit : units) {
        unit->state = next;
        unit->changed = now;
    }
    result.rc = "0";
    return result;
}

RecordResult RkdbRegistry::query(std::vector<Unit*> units, const UnitCodes& codes)
{
    RecordResult result;
    if (units.empty()) {
        result.rc = codes.unknown;
        result.msg = codes.unknownMsg;
        return result;
    }
    const Unit* unit = units.front();
    if (unit->state == State::Decommissioned) {
        result.rc = codes.decommissioned;
        result.msg = codes.decommissionedMsg;
        return result;
    }
    result.rc = "0";
    result.msg = "Die Abfrage war erfolgreich.";
    result.query =
        QueryResult{unit->registered, unit->state == State::Failed ? "AUSFALL" : "IN_BETRIEB", unit->changed};
    return result;
}

RecordResult RkdbRegistry::checkReceipt(const Participant& participant, const XmlElement& record, bool production)
{
    RecordResult result;
    Verification verification;
    verification.receipt = record.childText("beleg");
    verification.timestamp = localTimestamp();
    const std::string cashRegister = receiptCashRegisterId(verification.receipt);
    if (!production) {
        verification.pass = true;
        verification.detail = "Testübermittlung: Der Beleg wurde nicht gegen die registrierten Kassen geprüft.";
    } else if (participant.cashRegisters.count(cashRegister)) {
        verification.pass = true;
        verification.detail = "Die Registrierkasse " + cashRegister + " des Belegs ist registriert.";
    } else {
        verification.detail = "Die Registrierkasse " + cashRegister + " des Belegs ist nicht registriert.";
    }
    result.rc = verification.pass ? "0" : "43";
    result.msg = verification.pass ? "Der Beleg wurde geprüft." : RECEIPT_FAULTY_MSG;
    result.verification = std::move(verification);
    return result;
}

std::vector<RkdbRegistry::Unit*> RkdbRegistry::signatureUnitsWithSerial(Participant& participant,
                                                                        const std::string& serial)
{
    std::vector<Unit*> units;
    for (auto& [key, unit] : participant.signatureUnits) {
        if (key.second == serial) {
            units.push_back(&unit);
        }
    }
    return units;
}

std::string normaliseSerial(const std::string& text, bool hex)
{
    std::string digits;
    const bool isHex = hex || text.find_first_of("abcdefABCDEF") != std::string::npos;
    if (isHex) {
        for (char c : text) {
            digits += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
    } else {
        // long division of the decimal text by 16, collecting remainders as hex digits
        std::string decimal = text;
        static const char HEX[] = "0123456789ABCDEF";
        while (!decimal.empty() && decimal.find_first_not_of('0') != std::string::npos) {
            std::string quotient;
            int remainder = 0;
            for (char c : decimal) {
                const int value = remainder * 10 + (c - '0');
                if (!quotient.empty() || value / 16 != 0) {
                    quotient += static_cast<char>('0' + value / 16);
                }
                remainder = value % 16;
            }
            digits.insert(digits.begin(), HEX[remainder]);
            decimal = quotient;
        }
    }
    const auto first = digits.find_first_not_of('0');
    return first == std::string::npos ? std::string("0") : digits.substr(first);
}

std::string certificateSerial(const std::string& base64)
{
    std::string compact;
    for (char c : base64) {
        if (!std::isspace(static_cast<unsigned char>(c))) {
            compact += c;
        }
    }
    if (compact.empty() || compact.size() % 4 != 0) {
        return {};
    }
    std::vector<unsigned char> der(compact.size() / 4 * 3 + 1);
    const int length = EVP_DecodeBlock(
        der.data(), reinterpret_cast<const unsigned char*>(compact.data()), static_cast<int>(compact.size()));
    if (length <= 0) {
        return {};
    }
    const unsigned char* cursor = der.data();
    X509* certificate = d2i_X509(nullptr, &cursor, length);
    if (!certificate) {
        return {};
    }
    std::string serial;
    if (BIGNUM* number = ASN1_INTEGER_to_BN(X509_get0_serialNumber(certificate), nullptr)) {
        if (char* hex = BN_bn2hex(number)) {
            serial = normaliseSerial(hex, true);
            OPENSSL_free(hex);
        }
        BN_free(number);
    }
    X509_free(certificate);
    return serial;
}

std::string receiptCashRegisterId(const std::string& receipt)
{
    // "_R1-AT1_KASSENID_..." splits into "", "R1-AT1", "KASSENID", ...
    std::size_t start = 0;
    for (int field = 0; field < 2; ++field) {
        start = receipt.find('_', start);
        if (start == std::string::npos) {
            return {};
        }
        ++start;
    }
    const auto end = receipt.find('_', start);
    return receipt.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

} // namespace fontest

#pragma once

#include "fontest/RkdbTypes.h"

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace fontest {

struct UnitCodes;

//! The registrations FinanzOnline keeps per participant (tid), in memory for the life of the process, and the
//! business rules for RKDB records. Production requests (P) change and check the registrations; test requests (T)
//! are answered rc 0 and change nothing. Thread-safe.
class RkdbRegistry
{
public:
    //! One result per record, in order. The caller has already checked the session.
    [[nodiscard]] std::vector<RecordResult> process(const RkdbRequest& request);

private:
    enum class State
    {
        InOperation,
        Failed,
        Decommissioned,
    };
    struct Unit
    {
        State state = State::InOperation;
        std::string registered;
        std::string changed;
    };
    struct Participant
    {
        std::map<std::string, Unit> cashRegisters;                          // by kassenidentifikationsnummer
        std::map<std::pair<std::string, std::string>, Unit> signatureUnits; // by vda_id and serial (upper hex)
        std::map<std::string, Unit> groupUnits;                             // by art_ob, ob, zusatz_ob
    };
    RecordResult production(Participant& participant, const XmlElement& record);
    RecordResult registerUnit(std::map<std::string, Unit>& units, const std::string& key, const UnitCodes& codes);
    RecordResult registerSignatureUnit(Participant& participant, const XmlElement& record);
    RecordResult changeState(std::vector<Unit*> units, const XmlElement& record, const UnitCodes& codes);
    RecordResult query(std::vector<Unit*> units, const UnitCodes& codes);
    static RecordResult checkReceipt(const Participant& participant, const XmlElement& record, bool production);
    static std::vector<Unit*> signatureUnitsWithSerial(Participant& participant, const std::string& serial);

    std::map<std::string, Participant> m_participants;
    std::mutex m_mutex;
};

//! A certificate serial number as upper-case hex without leading zeros. The text is hex when `hex` is set or it
//! contains a hex letter, decimal otherwise.
std::string normaliseSerial(const std::string& text, bool hex);

//! The serial number (upper-case hex) of a Base64 DER certificate, or "" when it can't be read.
[[nodiscard]] std::string certificateSerial(const std::string& base64);

//! The Kassen-ID of a receipt in machine-readable form `_R1-AT1_KASSENID_BELEGNR_...`: the second of its
//! `_`-prefixed fields.
std::string receiptCashRegisterId(const std::string& receipt);

} // namespace fontest

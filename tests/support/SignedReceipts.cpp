#include "tests/support/SignedReceipts.h"

#include "rksv/Numbering.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace testsupport {
namespace {

constexpr const char* READER = "Leser 1";
constexpr const char* PIN = "123456";

std::string isoDate(const std::string& date)
{
    return date.substr(6, 4) + "-" + date.substr(3, 2) + "-" + date.substr(0, 2);
}

} // namespace

SignedReceipts::SignedReceipts(const std::string& folder)
    : m_unit(folder)
    , m_reader(std::string(folder) + "/" + READER)
{
    std::string serial;
    std::string error;
    if (!rksv::createTestCard(folder, READER, PIN, "", "", serial, error)) {
        throw std::runtime_error("Testkarte: " + error);
    }
    if (!m_unit.GenerateAes256Key("PLUMOXA|0001|PLUMOXA", m_key, error)) {
        throw std::runtime_error("AES-Schlüssel: " + error);
    }
}

std::string SignedReceipts::sign(const std::string& kassa,
                                 long bonnr,
                                 const std::string& date,
                                 const std::string& time,
                                 const std::string& rksvTyp,
                                 bool failed)
{
    const auto marker = std::filesystem::path(m_reader) / std::string(rksv::SoftwareUnit::FAILED_MARKER);
    if (failed) {
        std::ofstream(marker).put('\n');
    } else {
        std::filesystem::remove(marker);
    }
    // Ordinary receipts of 12,50 each, so the counter moves; status receipts of nothing.
    const bool ordinary = rksvTyp.empty();
    rksv::Component::Receipt receipt;
    receipt.kassa = kassa;
    receipt.reader = READER;
    receipt.pin = PIN;
    receipt.bonnr = std::to_string(bonnr);
    receipt.dateTime = date + " " + time;
    receipt.amounts = {ordinary ? "12,50" : "0,00", "0,00", "0,00", "0,00", "0,00"};
    receipt.turnoverCounter = std::to_string(m_counter[kassa]);
    receipt.previous = m_previous.contains(kassa) ? m_previous[kassa] : kassa;
    receipt.aesKey = m_key;
    rksv::Component::Signed out;
    const bool signedOk = m_unit.SignReceipt(receipt, out);
    std::filesystem::remove(marker);
    if (!signedOk || out.jws.empty()) {
        throw std::runtime_error("Beleg nicht signiert: " + out.error);
    }
    if (rksv::RKSVMyJwsAusfall(out.jws) != failed) {
        throw std::runtime_error("Ausfallvermerk nicht wie verlangt: " + out.jws);
    }
    m_counter[kassa] += ordinary ? 1250 : 0;
    m_previous[kassa] = out.jws;
    return out.jws;
}

std::string SignedReceipts::add(db::Connection& connection,
                                const std::string& kassa,
                                long bonnr,
                                const std::string& date,
                                const std::string& time,
                                const std::string& rksvTyp,
                                bool failed,
                                const std::string& typ)
{
    const auto jws = sign(kassa, bonnr, date, time, rksvTyp, failed);
    insert(connection, kassa, bonnr, date, time, rksvTyp, jws, typ);
    return jws;
}

void SignedReceipts::insert(db::Connection& connection,
                            const std::string& kassa,
                            long bonnr,
                            const std::string& date,
                            const std::string& time,
                            const std::string& rksvTyp,
                            const std::string& jws,
                            const std::string& typ)
{
    connection.execute("INSERT INTO BONS (KASSA, DATUM, ZEIT, BONNR, TYP, RKSV_TYP, RKSV_JWS) VALUES (?, ?, ?, ?, ?, "
                       "?, ?)",
                       {kassa, isoDate(date), time, std::to_string(bonnr), typ, rksvTyp, jws});
}

} // namespace testsupport

#pragma once

#include "db/Odbc.h"
#include "rksv/units/SoftwareUnit.h"

#include <map>
#include <string>

namespace testsupport {

/**
 * Receipts of tills as a till writes them into BONS: each signed by a test card of the software signature unit
 * ("Leser 1" below `folder`), chained to the till's receipt before and carrying a turnover counter. A failed
 * security device is the unit's own: the marker file in the reader folder, present while that receipt is signed.
 * Failures throw std::runtime_error.
 */
class SignedReceipts
{
public:
    explicit SignedReceipts(const std::string& folder);

    //! Signs the till's next receipt and inserts it: date "DD.MM.YYYY", time "hh:mm:ss", RKSV_TYP (status letter or
    //! "") and TYP. Returns the compact JWS as stored.
    std::string add(db::Connection& connection,
                    const std::string& kassa,
                    long bonnr,
                    const std::string& date,
                    const std::string& time,
                    const std::string& rksvTyp = "",
                    bool failed = false,
                    const std::string& typ = "B");

    //! Inserts a receipt with the given RKSV_JWS exactly as given (NUL characters and all), unsigned by this object.
    static void insert(db::Connection& connection,
                       const std::string& kassa,
                       long bonnr,
                       const std::string& date,
                       const std::string& time,
                       const std::string& rksvTyp,
                       const std::string& jws,
                       const std::string& typ = "B");

    //! Signs without storing, for receipts a test wants to alter first.
    std::string sign(const std::string& kassa,
                     long bonnr,
                     const std::string& date,
                     const std::string& time,
                     const std::string& rksvTyp,
                     bool failed);

private:
    rksv::SoftwareUnit m_unit;
    std::string m_reader;
    std::string m_key;
    std::map<std::string, std::string> m_previous; // by till: the last JWS
    std::map<std::string, long> m_counter;         // by till: turnover counter in cents
};

} // namespace testsupport

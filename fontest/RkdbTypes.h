#pragma once

#include "fontest/XmlElement.h"

#include <optional>
#include <string>
#include <vector>

namespace fontest {

//! One rkdbRequest, taken from its schema-valid element.
struct RkdbRequest
{
    std::string tid;
    std::string benid;
    std::string sessionId;
    bool production = false; //!< art_uebermittlung P (true) or T
    std::string paketNr;
    //! The records of the `rkdb` element, or the one status query (status_kasse, status_see, status_ggs).
    std::vector<XmlElement> records;

    //! Reads a schema-valid rkdbRequest element.
    static RkdbRequest fromElement(const XmlElement& element);
};

//! The outcome of a receipt check (Belegprüfung).
struct Verification
{
    bool pass = false;
    std::string detail;  //!< German detailed message
    std::string receipt; //!< the receipt text, echoed in `input`
    std::string timestamp;
};

//! The registration state answered to a status query (abfrage_ergebnis).
struct QueryResult
{
    std::string registered; //!< ts_registrierung
    std::string status;     //!< IN_BETRIEB or AUSFALL
    std::string changed;    //!< ts_status
};

//! One `result` of an rkdbResponse.
struct RecordResult
{
    std::string satznr;
    std::string rc;
    std::string msg;
    std::optional<Verification> verification;
    std::optional<QueryResult> query;
};

} // namespace fontest

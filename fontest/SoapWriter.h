#pragma once

#include "fontest/Control.h"
#include "fontest/RkdbTypes.h"

#include <string>
#include <vector>

namespace fontest {

//! Session namespace of FinanzOnline (always the real host, whatever name the certificate carries).
inline constexpr const char* SESSION_NS = "https://finanzonline.bmf.gv.at/fon/ws/session";
//! RKDB namespace of FinanzOnline.
inline constexpr const char* RKDB_NS = "https://finanzonline.bmf.gv.at/rkdb";
//! The namespace `foreign-rc` answers bind rc and msg to.
inline constexpr const char* FOREIGN_NS = "urn:example:other";

//! Writes SOAP 1.1 answers in one of FinanzOnline's two envelope styles. Every answer starts with Envelope, an
//! empty Header and the Body, so the response (or Fault) element is always the fourth element in document order.
class SoapWriter
{
public:
    //! `foreignRc` binds rc and msg to FOREIGN_NS (with the usual prefix) and sets rc 0.
    SoapWriter(Style style, bool foreignRc);

    std::string loginResponse(const std::string& id, int rc, const std::string& msg) const;
    std::string logoutResponse(int rc, const std::string& msg) const;
    std::string rkdbResponse(const std::string& paketNr,
                             const std::string& timestamp,
                             const std::vector<RecordResult>& results) const;
    //! A SOAP fault; `code` without prefix ("Client", "Server"), the envelope prefix is added. `details` become
    //! the lines of the `detail` element, which is left out when there are none.
    std::string fault(const std::string& code, const std::string& text, const std::vector<std::string>& details) const;

private:
    std::string envelope(const std::string& content) const;
    std::string open(const char* element, const char* ns) const;
    std::string element(const std::string& name, const std::string& value) const;
    std::string rcAndMsg(const std::string& rc, const std::string& msg) const;
    std::string escape(const std::string& text) const;
    std::string verification(const Verification& verification) const;

    Style m_style;
    bool m_foreignRc;
    std::string m_prefix; // "ns5" or "ns0"
};

} // namespace fontest

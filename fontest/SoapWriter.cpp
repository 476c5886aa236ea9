#include "fontest/SoapWriter.h"

#include "fontest/SoapReader.h"
#include "fontest/XmlText.h"

namespace fontest {

SoapWriter::SoapWriter(Style style, bool foreignRc)
    : m_style(style)
    , m_foreignRc(foreignRc)
    , m_prefix(style == Style::Ns5 ? "ns5" : "ns0")
{}

std::string SoapWriter::loginResponse(const std::string& id, int rc, const std::string& msg) const
{
    return envelope(open("loginResponse", SESSION_NS) + element("id", id) + rcAndMsg(std::to_string(rc), msg) + "</"
                    + m_prefix + ":loginResponse>");
}

std::string SoapWriter::logoutResponse(int rc, const std::string& msg) const
{
    return envelope(open("logoutResponse", SESSION_NS) + rcAndMsg(std::to_string(rc), msg) + "</" + m_prefix
                    + ":logoutResponse>");
}

std::string SoapWriter::rkdbResponse(const std::string& paketNr,
                                     const std::string& timestamp,
                                     const std::vector<RecordResult>& results) const
{
    std::string out =
        open("rkdbResponse", RKDB_NS) + element("paket_nr", paketNr) + element("ts_erstellung", timestamp);
    const std::string p = m_prefix + ":";
    for (const RecordResult& result : results) {
        out += "<" + p + "result>" + element("satznr", result.satznr);
        out += "<" + p + "rkdbMessage>" + rcAndMsg(result.rc, result.msg) + "</" + p + "rkdbMessage>";
        if (result.verification) {
            out += verification(*result.verification);
        }
        if (result.query) {
            // the children of abfrage_ergebnis are local, unqualified elements in regKasseWs.xsd
            out += "<" + p + "abfrage_ergebnis><ts_registrierung>" + escape(result.query->registered)
                   + "</ts_registrierung><status>" + escape(result.query->status) + "</status><ts_status>"
                   + escape(result.query->changed) + "</ts_status></" + p + "abfrage_ergebnis>";
        }
        out += "</" + p + "result>";
    }
    out += "</" + p + "rkdbResponse>";
    return envelope(out);
}

std::string
SoapWriter::fault(const std::string& code, const std::string& text, const std::vector<std::string>& details) const
{
    const std::string env = m_style == Style::Ns5 ? "soapenv" : "SOAP-ENV";
    std::string out = "<" + env + ":Fault><faultcode>" + env + ":" + code + "</faultcode><faultstring>" + escape(text)
                      + "</faultstring>";
    if (!details.empty()) {
        out += "<detail>";
        for (std::size_t i = 0; i < details.size(); ++i) {
            out += (i ? "\n" : "") + escape(details[i]);
        }
        out += "</detail>";
    }
    out += "</" + env + ":Fault>";
    return envelope(out);
}

std::string SoapWriter::envelope(const std::string& content) const
{
    if (m_style == Style::Ns5) {
        return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><soapenv:Envelope xmlns:soapenv=\"") + SOAP11_NS
               + "\"><soapenv:Header/><soapenv:Body>" + content + "</soapenv:Body></soapenv:Envelope>";
    }
    return std::string("<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"") + SOAP11_NS + "\"><SOAP-ENV:Header/><SOAP-ENV:Body>"
           + content + "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
}

std::string SoapWriter::open(const char* element, const char* ns) const
{
    const std::string defaultNs = m_style == Style::Ns5 ? " xmlns=\"\"" : "";
    return "<" + m_prefix + ":" + element + defaultNs + " xmlns:" + m_prefix + "=\"" + ns + "\">";
}

std::string SoapWriter::element(const std::string& name, const std::string& value) const
{
    return "<" + m_prefix + ":" + name + ">" + escape(value) + "</" + m_prefix + ":" + name + ">";
}

std::string SoapWriter::rcAndMsg(const std::string& rc, const std::string& msg) const
{
    if (!m_foreignRc) {
        return element("rc", rc) + element("msg", msg);
    }
    // the same prefix, rebound: only a client that reads the namespace notices these are not FinanzOnline's
    const std::string declaration = " xmlns:" + m_prefix + "=\"" + FOREIGN_NS + "\"";
    return "<" + m_prefix + ":rc" + declaration + ">0</" + m_prefix + ":rc><" + m_prefix + ":msg" + declaration + ">"
           + escape(msg) + "</" + m_prefix + ":msg>";
}

std::string SoapWriter::escape(const std::string& text) const
{
    return escapeXml(text, m_style == Style::Ns5);
}

std::string SoapWriter::verification(const Verification& verification) const
{
    const std::string p = m_prefix + ":";
    std::string out = "<" + p + "verificationResultList><" + p + "verificationResult>";
    out += element("verificationId", "VERIFICATION_FROM_CASHBOX");
    out += element("version", "1");
    out += element("verificationName", "Prüfung der Registrierkasse des Belegs");
    out += element("verificationState", verification.pass ? "PASS" : "FAIL");
    out += element("verificationResultDetailedMessage", verification.detail);
    out += "<" + p + "input>" + element("beleg", verification.receipt) + "</" + p + "input>";
    out += element("verificationTimestamp", verification.timestamp);
    out += "</" + p + "verificationResult></" + p + "verificationResultList>";
    return out;
}

} // namespace fontest

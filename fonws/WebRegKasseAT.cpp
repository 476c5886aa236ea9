#include "fonws/WebRegKasseAT.h"

#include "base/Clock.h"
#include "base/ErrorLog.h"
#include "base/Files.h"
#include "base/Program.h"
#include "base/TextFormat.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <utility>

namespace fonws {
namespace {

constexpr const char* SOAP_ENVELOPE = "http://schemas.xmlsoap.org/soap/envelope/";
constexpr const char* RKDB_PATH = "/fonws/ws/rkdb";
constexpr const char* AGENT = "RoDodo";
constexpr const char* CRLF = "\r\n";

// No characters, or only blanks, tabs, CR and LF.
bool isEmptyValue(const std::string& text)
{
    return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

std::string textOf(const Value& value)
{
    if (const auto* date = std::get_if<std::chrono::year_month_day>(&value)) {
        return base::formatDate(*date);
    }
    return std::get<std::string>(value);
}

// The value at a 1-based position of a record; "" when the record is shorter.
std::string at(const Record& record, std::size_t position)
{
    return position <= record.size() ? textOf(record[position - 1]) : std::string();
}

std::optional<std::chrono::year_month_day> dateAt(const Record& record, std::size_t position)
{
    if (position > record.size()) {
        return std::nullopt;
    }
    if (const auto* date = std::get_if<std::chrono::year_month_day>(&record[position - 1])) {
        return *date;
    }
    return base::parseDate(std::get<std::string>(record[position - 1]));
}

std::optional<std::string> timeAt(const Record& record, std::size_t position)
{
    if (position > record.size()) {
        return std::nullopt;
    }
    return at(record, position);
}

// An element line with the escaped value: "<rkdb:tag>value</rkdb:tag>".
std::string element(const std::string& tag, const std::string& value)
{
    return "<rkdb:" + tag + ">" + escapeXml(value) + "</rkdb:" + tag + ">" + CRLF;
}

std::string line(const std::string& text)
{
    return text + CRLF;
}

void writeDebugFile(const char* name, const std::string& answer)
{
    if (!base::IsDebug()) {
        return;
    }
    base::FileWriteOptions options;
    options.durable = false;
    static_cast<void>(base::writeFileDurably(base::currentDirectory() + name, answer, options));
}

std::string unitLine(bool kasse, const std::string& value)
{
    return kasse ? element("kassenidentifikationsnummer", value)
                 : "<rkdb:zertifikatsseriennummer hex=\"true\">" + escapeXml(value) + "</rkdb:zertifikatsseriennummer>"
                       + CRLF;
}

std::string kundeninfo(const Record& record)
{
    const auto value = at(record, 1);
    return isEmptyValue(value) ? std::string() : element("kundeninfo", value);
}

/**
 * The session path that answered a login after the other had answered HTTP 404, per host, connection and configured
 * path, for the rest of the run: the window sends one submission after the other, and each would meet the 404 again
 * and note it again in ERROR.LOG.
 */
class AnsweringPaths
{
public:
    std::string get(const std::string& key, const std::string& configured)
    {
        const std::lock_guard lock(m_mutex);
        const auto found = m_paths.find(key);
        return found == m_paths.end() ? configured : found->second;
    }
    void set(const std::string& key, const std::string& path)
    {
        const std::lock_guard lock(m_mutex);
        m_paths[key] = path;
    }

private:
    std::mutex m_mutex;
    std::map<std::string, std::string> m_paths;
};

AnsweringPaths& answeringPaths()
{
    static AnsweringPaths paths;
    return paths;
}

// FinanzOnline's two namespaces, and the ones named after the configured host, which requests use.
std::vector<std::string> finanzOnlineNamespaces()
{
    const auto& host = base::program().connections.fonHost;
    return {SESSION_NAMESPACE, RKDB_NAMESPACE, "https://" + host + "/fon/ws/session", "https://" + host + "/rkdb"};
}

// True for an answer element in one of those namespaces: where the return code, the message and the session id are.
bool inFinanzOnlineNamespace(const Entry& entry, const std::vector<std::string>& namespaces)
{
    return std::find(namespaces.begin(), namespaces.end(), entry.namespaceUri()) != namespaces.end();
}

} // namespace

std::ostream& operator<<(std::ostream& out, const AnswerPair& pair)
{
    return out << "(\"" << pair.code << "\", \"" << pair.message << "\")";
}

WebRegKasseAT::WebRegKasseAT(const std::string& tid,
                             const std::string& benid,
                             const std::string& pin,
                             const std::string& herstellerId)
{
    Init(tid, benid, pin, herstellerId);
}

WebRegKasseAT& WebRegKasseAT::Init(const std::string& tid,
                                   const std::string& benid,
                                   const std::string& pin,
                                   const std::string& herstellerId)
{
    m_tid = tid;
    m_benid = benid;
    m_pin = pin;
    m_herstellerId = herstellerId;
    m_sessionId.clear();
    m_answerXml.clear();
    m_loginXml.clear();
    m_uebermittlungsart = base::ArtUebermittlung();
    const auto& connections = base::program().connections;
    m_host = connections.fonHost;
    m_configuredSessionPath = connections.fonSessionPath;
    m_pathKey = m_host + "|" + connections.fonConnectTo + "|" + m_configuredSessionPath;
    m_sessionPath = answeringPaths().get(m_pathKey, m_configuredSessionPath);
    m_http = std::make_unique<CHttp>(AGENT);
    m_http->setCaFile(connections.fonCaFile);
    m_http->setConnectTo(connections.fonConnectTo);
    m_http->setTimeouts(connections.fonConnectSeconds, connections.fonExchangeSeconds);
    return *this;
}

std::string WebRegKasseAT::headerBlock(const std::string& action, const std::string& body) const
{
    return std::string("Accept: */*") + CRLF + "Host: " + m_host + ":443" + CRLF + "SOAPAction: \"" + action + "\""
           + CRLF + "Connection: Keep-Alive" + CRLF + "Content-Type: text/xml;charset=UTF-8" + CRLF
           + "Content-Length: " + std::to_string(body.size()) + CRLF + CRLF;
}

std::string WebRegKasseAT::sessionEnvelopeStart() const
{
    return std::string("<soapenv:Envelope xmlns:soapenv=\"") + SOAP_ENVELOPE + "\" xmlns:ses=\"https://" + m_host
           + "/fon/ws/session\">";
}

std::string WebRegKasseAT::postSession(const std::string& body, const std::string& action)
{
    return m_http->GetDocumentByGetOrPost(
        m_host, m_sessionPath, body, headerBlock(action, body), "POST", 443, INTERNET_FLAG_SECURE);
}

std::string WebRegKasseAT::postLogin(const std::string& body, std::string& notFound)
{
    auto answer = postSession(body, "login");
    if (m_http->lastStatus() != 404) {
        return answer;
    }
    // The other one: the WSDL's address, or from there the installation's path (the usual one when the installation
    // names the WSDL's).
    const auto usual =
        m_configuredSessionPath != WSDL_SESSION_PATH ? m_configuredSessionPath : base::Connections().fonSessionPath;
    const auto first = std::exchange(m_sessionPath, m_sessionPath == WSDL_SESSION_PATH ? usual : WSDL_SESSION_PATH);
    const auto where = [this](const std::string& path) { return "\"https://" + m_host + path + "\""; };
    std::string note = "Der Sitzungsdienst von FinanzOnline ist unter " + where(first) + " nicht zu finden (HTTP 404)";
    int status = 404;
    if (m_sessionPath != first) {
        answer = postSession(body, "login");
        status = m_http->lastStatus();
        if (status == 404) {
            note += ", auch nicht unter " + where(m_sessionPath);
        } else if (status == 0) {
            note += "; unter " + where(m_sessionPath) + " kam keine Antwort: " + m_http->ErrorMsg();
        } else {
            note += "; unter " + where(m_sessionPath) + " hat er geantwortet (HTTP " + std::to_string(status)
                    + "). Anmeldung und Abmeldung gehen bis zum Programmende dorthin, auf Dauer mit "
                      "FinanzOnline-Sitzungspfad="
                    + m_sessionPath + " in INSTALLATION.INI";
            answeringPaths().set(m_pathKey, m_sessionPath);
        }
    }
    static_cast<void>(base::noteInErrorLog(note + "."));
    if (status == 404) {
        notFound = note + ". Der Pfad steht in INSTALLATION.INI unter FinanzOnline-Sitzungspfad.";
    }
    return answer;
}

AnswerPair WebRegKasseAT::Login()
{
    const std::string body = sessionEnvelopeStart() + CRLF + "   <soapenv:Header/>" + CRLF + "   <soapenv:Body>" + CRLF
                             + "      <ses:loginRequest>" + CRLF + "         <ses:tid>" + escapeXml(m_tid)
                             + "</ses:tid>" + CRLF + "         <ses:benid>" + escapeXml(m_benid) + "</ses:benid>" + CRLF
                             + "         <ses:pin>" + escapeXml(m_pin) + "</ses:pin>" + CRLF
                             + "         <ses:herstellerid>" + escapeXml(m_herstellerId) + "</ses:herstellerid>" + CRLF
                             + "      </ses:loginRequest>" + CRLF + "   </soapenv:Body>" + CRLF + "</soapenv:Envelope>";
    std::string notFound;
    const auto answer = postLogin(body, notFound);
    if (!notFound.empty()) {
        m_loginXml = answer;
        return {"-1", notFound};
    }
    m_loginXml = answer;
    if (isEmptyValue(answer)) {
        DebOut(NO_ANSWER);
        return {"-1", NO_ANSWER};
    }
    writeDebugFile("_Login.xml", answer);
    const auto list = Xml2Array(answer);
    if (auto id = SessionIdOf(list)) {
        m_sessionId = std::move(*id);
    }
    return ReturnCode(list);
}

AnswerPair WebRegKasseAT::Logout()
{
    const std::string body = sessionEnvelopeStart() + CRLF + "   <soapenv:Header/>" + CRLF + "   <soapenv:Body>" + CRLF
                             + "      <ses:logoutRequest>" + CRLF + "         <ses:tid>" + escapeXml(m_tid)
                             + "</ses:tid>" + CRLF + "         <ses:benid>" + escapeXml(m_benid) + "</ses:benid>" + CRLF
                             + "         <ses:id>" + escapeXml(m_sessionId) + "</ses:id>" + CRLF
                             + "      </ses:logoutRequest>" + CRLF + "   </soapenv:Body>" + CRLF
                             + "</soapenv:Envelope>";
    const auto answer = postSession(body, "logout");
    writeDebugFile("_Logout.xml", answer);
    const auto list = Xml2Array(answer);
    m_http->CloseRemote();
    m_http->Close();
    return ReturnCode(list);
}

std::string WebRegKasseAT::requestStart() const
{
    return std::string("<soapenv:Envelope xmlns:soapenv=\"") + SOAP_ENVELOPE + "\" xmlns:rkdb=\"https://" + m_host
           + "/rkdb\">" + CRLF + line("<soapenv:Header/>") + line("<soapenv:Body>") + line("<rkdb:rkdbRequest>")
           + element("tid", m_tid) + element("benid", m_benid) + element("id", m_sessionId)
           + element("art_uebermittlung", m_uebermittlungsart) + element("erzwinge_asynchron", "false");
}

std::string WebRegKasseAT::requestEnd() const
{
    return line("</rkdb:rkdbRequest>") + line("</soapenv:Body>") + "</soapenv:Envelope>";
}

std::string WebRegKasseAT::DoPostDataStart() const
{
    return requestStart() + line("<rkdb:rkdb>") + element("paket_nr", "1") + element("ts_erstellung", WebServiceDate());
}

std::string WebRegKasseAT::DoPostDataEnd() const
{
    return line("</rkdb:rkdb>") + requestEnd();
}

// A query stands in the request where a notification packet would: it carries its own packet number and time.
std::string WebRegKasseAT::statusQuery(const std::string& tag, const std::string& unit) const
{
    return requestStart() + line("<rkdb:" + tag + ">") + element("paket_nr", "1")
           + element("ts_erstellung", WebServiceDate()) + element("satznr", "1") + unit + line("</rkdb:" + tag + ">")
           + requestEnd();
}

std::string WebRegKasseAT::DoRkdb(const std::string& body)
{
    return m_http->GetDocumentByGetOrPost(
        m_host, RKDB_PATH, body, headerBlock("rkdb", body), "POST", 443, INTERNET_FLAG_SECURE);
}

std::string WebRegKasseAT::WebServiceDate(std::optional<std::chrono::year_month_day> date,
                                          std::optional<std::string> time)
{
    const auto current = base::now();
    const auto day = date.value_or(current.date);
    if (!time) {
        time = base::formatTime(current.time);
    }
    char text[32];
    std::snprintf(text,
                  sizeof text,
                  "%d-%02u-%02uT",
                  static_cast<int>(day.year()),
                  static_cast<unsigned>(day.month()),
                  static_cast<unsigned>(day.day()));
    return text + *time;
}

std::optional<std::string> WebRegKasseAT::SessionIdOf(const FlatList& list)
{
    const auto namespaces = finanzOnlineNamespaces();
    if (list.size() >= 5 && list[3].localName == "loginResponse" && inFinanzOnlineNamespace(list[3], namespaces)
        && list[4].localName == "id" && inFinanzOnlineNamespace(list[4], namespaces) && list[4].hasText()) {
        return list[4].text();
    }
    return std::nullopt;
}

AnswerPair WebRegKasseAT::ReturnCode(const FlatList& list)
{
    return FindReturnCode(list).value_or(AnswerPair{"-1", ""});
}

std::optional<AnswerPair> WebRegKasseAT::FindReturnCode(const FlatList& list)
{
    AnswerPair pair{"-1", ""};
    bool found = false;
    const auto namespaces = finanzOnlineNamespaces();
    for (const auto& entry : list) {
        if (!entry.hasText() || !inFinanzOnlineNamespace(entry, namespaces)) {
            continue;
        }
        if (entry.localName == "rc") {
            pair.code = entry.text();
            found = true;
        }
        if (entry.localName == "msg") {
            pair.message = entry.text();
            found = true;
        }
    }
    return found ? std::optional(pair) : std::nullopt;
}

std::string WebRegKasseAT::FaultText(const FlatList& list)
{
    // A fault is an element Fault in the envelope's namespace; its faultstring and detail are usually unqualified.
    const auto fault = std::find_if(list.begin(), list.end(), [](const Entry& entry) {
        return entry.localName == "Fault" && entry.namespaceUri() == SOAP_ENVELOPE;
    });
    std::string text;
    for (auto entry = fault; entry != list.end(); ++entry) {
        if (entry->hasText() && (entry->localName == "faultstring" || entry->localName == "detail")) {
            text += (text.empty() ? "" : "\n") + base::trim(entry->text());
        }
    }
    return text;
}

AnswerPair WebRegKasseAT::rkdb(const std::string& body, const char* debugFile)
{
    const auto answer = DoRkdb(body);
    writeDebugFile(debugFile, answer);
    const auto list = Xml2Array(answer);
    m_answerXml = answer;
    return ReturnCode(list);
}

AnswerPair WebRegKasseAT::Registrierung_SE(const std::vector<Record>& records)
{
    auto body = DoPostDataStart();
    for (std::size_t i = 0; i < records.size(); ++i) {
        const auto& r = records[i];
        body += line("<rkdb:registrierung_se>") + element("satznr", std::to_string(i + 1)) + kundeninfo(r)
                + element("art_se", at(r, 2)) + element("vda_id", at(r, 3));
        body += isEmptyValue(at(r, 4)) ? element("zertifikat", at(r, 5)) : unitLine(false, at(r, 4));
        body += line("</rkdb:registrierung_se>");
    }
    return rkdb(body + DoPostDataEnd(), "_registrierung_se.xml");
}

AnswerPair WebRegKasseAT::Registrierung_Kasse(const std::vector<Record>& records)
{
    auto body = DoPostDataStart();
    for (std::size_t i = 0; i < records.size(); ++i) {
        const auto& r = records[i];
        body += line("<rkdb:registrierung_kasse>") + element("satznr", std::to_string(i + 1)) + kundeninfo(r)
                + element("kassenidentifikationsnummer", at(r, 2));
        if (!isEmptyValue(at(r, 3))) {
            body += element("anmerkung", at(r, 3));
        }
        body += element("benutzerschluessel", at(r, 4)) + line("</rkdb:registrierung_kasse>");
    }
    return rkdb(body + DoPostDataEnd(), "_registrierung_kasse.xml");
}

namespace {

// A failure, or a decommissioning, which travels inside the failure element of its unit.
std::string ausfallRecords(const std::vector<Record>& records, bool kasse, bool ausserbetriebnahme)
{
    const std::string tag = kasse ? "ausfall_kasse" : "ausfall_se";
    std::string body;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const auto& r = records[i];
        body += line("<rkdb:" + tag + ">") + element("satznr", std::to_string(i + 1)) + kundeninfo(r)
                + unitLine(kasse, at(r, 2));
        if (ausserbetriebnahme) {
            body += line("<rkdb:ausserbetriebnahme>") + element("begruendung", at(r, 3))
                    + line("</rkdb:ausserbetriebnahme>");
        } else {
            body += line("<rkdb:ausfall>") + element("begruendung", at(r, 3))
                    + element("beginn_ausfall", WebRegKasseAT::WebServiceDate(dateAt(r, 4), timeAt(r, 5)))
                    + line("</rkdb:ausfall>");
        }
        body += line("</rkdb:" + tag + ">");
    }
    return body;
}

std::string wiederinbetriebnahmeRecords(const std::vector<Record>& records, bool kasse)
{
    const std::string tag = kasse ? "wiederinbetriebnahme_kasse" : "wiederinbetriebnahme_se";
    std::string body;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const auto& r = records[i];
        body += line("<rkdb:" + tag + ">") + element("satznr", std::to_string(i + 1)) + kundeninfo(r)
                + unitLine(kasse, at(r, 2))
                + element("ende_ausfall", WebRegKasseAT::WebServiceDate(dateAt(r, 3), timeAt(r, 4)))
                + line("</rkdb:" + tag + ">");
    }
    return body;
}

} // namespace

AnswerPair WebRegKasseAT::Ausserbetriebnahme_SE(const std::vector<Record>& records)
{
    return rkdb(DoPostDataStart() + ausfallRecords(records, false, true) + DoPostDataEnd(),
                "_ausserbetriebnahme_se.xml");
}

AnswerPair WebRegKasseAT::Ausserbetriebnahme_Kasse(const std::vector<Record>& records)
{
    return rkdb(DoPostDataStart() + ausfallRecords(records, true, true) + DoPostDataEnd(),
                "_ausserbetriebnahme_kasse.xml");
}

AnswerPair WebRegKasseAT::Wiederinbetriebnahme_SE(const std::vector<Record>& records)
{
    return rkdb(DoPostDataStart() + wiederinbetriebnahmeRecords(records, false) + DoPostDataEnd(),
                "_wiederinbetriebnahme_se.xml");
}

AnswerPair WebRegKasseAT::Wiederinbetriebnahme_Kasse(const std::vector<Record>& records)
{
    return rkdb(DoPostDataStart() + wiederinbetriebnahmeRecords(records, true) + DoPostDataEnd(),
                "_wiederinbetriebnahme_kasse.xml");
}

AnswerPair WebRegKasseAT::Ausfall_SE(const std::vector<Record>& records)
{
    return rkdb(DoPostDataStart() + ausfallRecords(records, false, false) + DoPostDataEnd(), "_ausfall_se.xml");
}

AnswerPair WebRegKasseAT::Ausfall_Kasse(const std::vector<Record>& records)
{
    return rkdb(DoPostDataStart() + ausfallRecords(records, true, false) + DoPostDataEnd(), "_ausfall_kasse.xml");
}

AnswerPair WebRegKasseAT::Belegpruefung(const std::vector<Record>& records)
{
    auto body = DoPostDataStart() + line("<rkdb:belegpruefung>");
    for (std::size_t i = 0; i < records.size(); ++i) {
        const auto& r = records[i];
        body += element("satznr", std::to_string(i + 1)) + kundeninfo(r) + element("beleg", at(r, 2));
    }
    return rkdb(body + line("</rkdb:belegpruefung>") + DoPostDataEnd(), "_belegpruefung.xml");
}

AnswerPair WebRegKasseAT::Status_SE(const Record& record)
{
    return rkdb(statusQuery("status_see", unitLine(false, at(record, 2))), "_status_see.xml");
}

AnswerPair WebRegKasseAT::Status_Kasse(const Record& record)
{
    return rkdb(statusQuery("status_kasse", unitLine(true, at(record, 2))), "_status_kasse.xml");
}

} // namespace fonws

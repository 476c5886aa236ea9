#pragma once

#include "base/StringUtil.h"
#include "fonws/Http.h"
#include "fonws/Xml.h"

#include <chrono>
#include <optional>
#include <ostream>
#include <string>
#include <variant>
#include <vector>

namespace fonws {

//! Return code and message of a request: "0" is success, "-1" no usable answer, anything else the service's code.
struct AnswerPair
{
    std::string code;
    std::string message;

    bool operator==(const AnswerPair&) const = default;
};

//! For test output and debug lines: ("code", "message").
std::ostream& operator<<(std::ostream& out, const AnswerPair& pair);

//! One value of a notification record: text, or a calendar date.
using Value = std::variant<std::string, std::chrono::year_month_day>;
//! The values of one notification, by position (first value first).
using Record = std::vector<Value>;

//! FinanzOnline's namespaces of the session and the RKDB service.
inline constexpr const char* SESSION_NAMESPACE = "https://finanzonline.bmf.gv.at/fon/ws/session";
inline constexpr const char* RKDB_NAMESPACE = "https://finanzonline.bmf.gv.at/rkdb";
inline constexpr const char* NO_ANSWER = "Keine Rueckmeldung von Webservice";
//! The session service's address in FinanzOnline's published WSDL. When the configured path (INSTALLATION.INI,
//! "FinanzOnline-Sitzungspfad") answers the login with HTTP 404, the login is sent there once.
inline constexpr const char* WSDL_SESSION_PATH = "/fonws/ws/session";

/**
 * The client of the FinanzOnline web services for one submission: Login, exactly one of the nine RKDB
 * notifications, Logout. Every request goes to the web-service host of the installation over HTTPS on port 443,
 * through one kept connection. Values are escaped for XML and every request body is UTF-8, as its Content-Type
 * says. In debug mode each answer is written raw to a file named after its request in the working directory.
 */
class WebRegKasseAT
{
public:
    WebRegKasseAT(const std::string& tid,
                  const std::string& benid,
                  const std::string& pin,
                  const std::string& herstellerId);

    //! Sets the login values, the transmission kind of the moment and a new HTTP client.
    WebRegKasseAT&
    Init(const std::string& tid, const std::string& benid, const std::string& pin, const std::string& herstellerId);

    //! Logs in at the session path of the installation. When that answers HTTP 404, the login goes once to
    //! WSDL_SESSION_PATH (or, when that was the one, to the usual path); ERROR.LOG says which answered, and the logout
    //! and the run's later logins to the same host go to that one.
    [[nodiscard]] AnswerPair Login();
    [[nodiscard]] AnswerPair Logout();

    [[nodiscard]] AnswerPair Registrierung_SE(const std::vector<Record>& records);
    [[nodiscard]] AnswerPair Registrierung_Kasse(const std::vector<Record>& records);
    [[nodiscard]] AnswerPair Ausserbetriebnahme_SE(const std::vector<Record>& records);
    [[nodiscard]] AnswerPair Ausserbetriebnahme_Kasse(const std::vector<Record>& records);
    [[nodiscard]] AnswerPair Wiederinbetriebnahme_SE(const std::vector<Record>& records);
    [[nodiscard]] AnswerPair Wiederinbetriebnahme_Kasse(const std::vector<Record>& records);
    [[nodiscard]] AnswerPair Ausfall_SE(const std::vector<Record>& records);
    [[nodiscard]] AnswerPair Ausfall_Kasse(const std::vector<Record>& records);
    [[nodiscard]] AnswerPair Belegpruefung(const std::vector<Record>& records);
    //! Status queries: the record's position 2 is the cash register's id or the signature unit's serial (hex);
    //! position 1, the customer information of the notifications, has no place in a query and is not sent.
    //! FinanzOnline takes one query per request. The state comes in the answer's `abfrage_ergebnis` (accXml).
    [[nodiscard]] AnswerPair Status_SE(const Record& record);
    [[nodiscard]] AnswerPair Status_Kasse(const Record& record);

    //! The RKDB envelope up to and including ts_erstellung, and its end.
    std::string DoPostDataStart() const;
    std::string DoPostDataEnd() const;
    //! Sends a complete RKDB request body; the answer text, "" when the exchange failed.
    [[nodiscard]] std::string DoRkdb(const std::string& body);

    //! "2016-04-01T08:05:00": the date (default today) and the time text as given (default now, "hh:mm:ss").
    static std::string WebServiceDate(std::optional<std::chrono::year_month_day> date = std::nullopt,
                                      std::optional<std::string> time = std::nullopt);

    //! The return code and message of a flattened answer: the last `rc` and `msg` with text in FinanzOnline's
    //! session or RKDB namespace, whatever their prefix; ("-1", "") when there is none.
    [[nodiscard]] static AnswerPair ReturnCode(const FlatList& list);
    //! The same, nothing when the answer carries no return code in those namespaces.
    [[nodiscard]] static std::optional<AnswerPair> FindReturnCode(const FlatList& list);

    //! The text of a SOAP fault in a flattened answer: its faultstring, and its detail on the next line when it has
    //! one ("Validation error\n…"); "" when the answer is no fault.
    [[nodiscard]] static std::string FaultText(const FlatList& list);

    //! The session id of a flattened login answer: the text of entry 5 when entry 4 is the login answer and entry 5
    //! its id, both in the namespaces ReturnCode reads; nothing otherwise (the id is taken from nowhere else).
    [[nodiscard]] static std::optional<std::string> SessionIdOf(const FlatList& list);

    //! Text of the last RKDB answer, and of the last login answer.
    const std::string& accXml() const { return m_answerXml; }
    const std::string& accLoginXml() const { return m_loginXml; }
    const std::string& SessionId() const { return m_sessionId; }
    const std::string& Uebermittlungsart() const { return m_uebermittlungsart; }
    //! The path login and logout go to: the installation's, or after Login the one that answered.
    const std::string& SessionPath() const { return m_sessionPath; }
    CHttp& Http() { return *m_http; }

private:
    std::string headerBlock(const std::string& action, const std::string& body) const;
    std::string sessionEnvelopeStart() const;
    std::string requestStart() const;
    std::string requestEnd() const;
    std::string statusQuery(const std::string& tag, const std::string& unit) const;
    [[nodiscard]] std::string postSession(const std::string& body, const std::string& action);
    //! The login's answer from the session path or, after HTTP 404 there, from the other address; `notFound` gets
    //! the German text when neither has the service.
    [[nodiscard]] std::string postLogin(const std::string& body, std::string& notFound);
    [[nodiscard]] AnswerPair rkdb(const std::string& body, const char* debugFile);

    std::string m_tid;
    std::string m_benid;
    std::string m_pin;
    std::string m_herstellerId;
    std::string m_sessionId;
    std::string m_uebermittlungsart;
    std::unique_ptr<CHttp> m_http;
    std::string m_answerXml;
    std::string m_loginXml;
    std::string m_host;
    std::string m_sessionPath;
    std::string m_configuredSessionPath;
    std::string m_pathKey; //!< host, connection and configured path: what the path that answered is kept for
};

using base::escapeXml;

} // namespace fonws

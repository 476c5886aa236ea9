#pragma once

#include "tests/support/FonTestService.h"

#include <curl/curl.h>

#include <string>
#include <vector>

namespace fontesttests {

//! One HTTP exchange as the client saw it.
struct Reply
{
    CURLcode code = CURLE_OK;
    long status = 0; //!< 0 when no HTTP response arrived
    std::string contentType;
    std::string body;
    double seconds = 0;
};

//! A libcurl client for the test service: the URL names the service's host, the connection goes to loopback and
//! the certificate is checked against the service's CA. One object keeps one connection alive between calls.
class TestClient
{
public:
    //! `host` overrides the service's host name in the URL (and so in the certificate check).
    explicit TestClient(const testsupport::FonTestService& service,
                        long timeoutSeconds = 20,
                        const std::string& host = "");
    ~TestClient();
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    //! POSTs `body` to `path` (e.g. "/fonws/ws/sessionService") with SOAPAction `action`.
    Reply post(const std::string& path, const std::string& body, const std::string& action = "");
    //! A plain GET.
    Reply get(const std::string& path);

private:
    Reply perform(const std::string& path);

    CURL* m_curl;
    curl_slist* m_connectTo = nullptr;
    curl_slist* m_headers = nullptr;
    std::string m_host;
};

//! Test participant data that passes the schemas.
inline const testsupport::FonAccount ALICE{"TID000001", "BENALICE1", "geheim-1234", ""};
inline const testsupport::FonAccount BOB{"TID000002", "BENBOB001", "geheim-5678", ""};
inline constexpr const char* SESSION_PATH = "/fonws/ws/sessionService";
inline constexpr const char* RKDB_PATH = "/fonws/ws/rkdb";

std::string loginBody(const testsupport::FonAccount& account, const std::string& pin);
std::string logoutBody(const testsupport::FonAccount& account, const std::string& id);
//! An rkdbRequest carrying `records` (inner XML in the rkdb namespace, default prefix) in an `rkdb` packet.
std::string rkdbBody(const testsupport::FonAccount& account,
                     const std::string& id,
                     char mode,
                     const std::string& records,
                     int paketNr = 7);
//! An rkdbRequest carrying one status query instead of a packet: `element` is status_kasse or status_see, `unit` the
//! inner XML of its kassenidentifikationsnummer or zertifikatsseriennummer.
std::string statusQueryBody(const testsupport::FonAccount& account,
                            const std::string& id,
                            char mode,
                            const std::string& element,
                            const std::string& unit,
                            int paketNr = 7);
std::string registerCashRegister(int satznr, const std::string& kassenId);
std::string registerSignatureUnit(int satznr, const std::string& vda, const std::string& serial);
//! An ausfall_kasse record; `decommission` sends ausserbetriebnahme instead of ausfall.
std::string cashRegisterFailure(int satznr, const std::string& kassenId, bool decommission);
std::string receiptCheck(int satznr, const std::string& receipt);
//! A machine-readable receipt of this cash register, 13 fields, within the schema's length limits.
std::string receipt(const std::string& kassenId);

//! Logs `account` in and returns the session id ("" when refused or on any error).
std::string login(TestClient& client, const testsupport::FonAccount& account);

//! A parsed answer, read with libxml2 by namespace, not by prefix.
class XmlAnswer
{
public:
    explicit XmlAnswer(const std::string& body);
    ~XmlAnswer();
    XmlAnswer(const XmlAnswer&) = delete;
    XmlAnswer& operator=(const XmlAnswer&) = delete;

    bool wellFormed() const;
    //! "{ns}local" of every element in document order.
    std::vector<std::string> elementNames() const;
    //! Texts of all elements with this namespace and local name, in document order.
    std::vector<std::string> texts(const std::string& ns, const std::string& localName) const;
    //! The first of texts(), or "<missing>".
    std::string text(const std::string& ns, const std::string& localName) const;
    //! Validates the fourth element (the response) against `schemaFile`; returns the validator's messages, empty
    //! when valid.
    std::vector<std::string> validateResponse(const std::string& schemaFile) const;

private:
    void* m_doc;
};

inline constexpr const char* SOAP_NS = "http://schemas.xmlsoap.org/soap/envelope/";
inline constexpr const char* SESSION_NS = "https://finanzonline.bmf.gv.at/fon/ws/session";
inline constexpr const char* RKDB_NS = "https://finanzonline.bmf.gv.at/rkdb";

} // namespace fontesttests

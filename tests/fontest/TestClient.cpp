#include "tests/fontest/TestClient.h"

#include <chrono>
#include <functional>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlschemas.h>

namespace fontesttests {

namespace {

std::size_t appendBody(char* data, std::size_t size, std::size_t count, void* target)
{
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

xmlDoc* doc(void* pointer)
{
    return static_cast<xmlDoc*>(pointer);
}

std::string nameOf(const xmlNode* node)
{
    const std::string ns = node->ns ? reinterpret_cast<const char*>(node->ns->href) : "";
    return "{" + ns + "}" + reinterpret_cast<const char*>(node->name);
}

void walk(const xmlNode* node, const std::function<void(const xmlNode*)>& visit)
{
    for (; node; node = node->next) {
        if (node->type == XML_ELEMENT_NODE) {
            visit(node);
            walk(node->children, visit);
        }
    }
}

void collectError(void* errors, xmlErrorPtr error)
{
    static_cast<std::vector<std::string>*>(errors)->push_back(error->message ? error->message : "?");
}

} // namespace

TestClient::TestClient(const testsupport::FonTestService& service, long timeoutSeconds, const std::string& host)
    : m_curl(curl_easy_init())
    , m_host(host.empty() ? service.host() : host)
{
    m_connectTo = curl_slist_append(nullptr, (m_host + ":443:" + service.connectTo()).c_str());
    m_headers = curl_slist_append(nullptr, "Content-Type: text/xml; charset=utf-8");
    curl_easy_setopt(m_curl, CURLOPT_CONNECT_TO, m_connectTo);
    curl_easy_setopt(m_curl, CURLOPT_CAINFO, service.caFile().c_str());
    curl_easy_setopt(m_curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(m_curl, CURLOPT_TIMEOUT, timeoutSeconds);
    curl_easy_setopt(m_curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(m_curl, CURLOPT_WRITEFUNCTION, appendBody);
}

TestClient::~TestClient()
{
    curl_easy_cleanup(m_curl);
    curl_slist_free_all(m_connectTo);
    curl_slist_free_all(m_headers);
}

Reply TestClient::post(const std::string& path, const std::string& body, const std::string& action)
{
    curl_slist* headers = nullptr;
    for (const curl_slist* item = m_headers; item; item = item->next) {
        headers = curl_slist_append(headers, item->data);
    }
    headers = curl_slist_append(headers, ("SOAPAction: \"" + action + "\"").c_str());
    curl_easy_setopt(m_curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(m_curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(m_curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    Reply reply = perform(path);
    curl_easy_setopt(m_curl, CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(headers);
    return reply;
}

Reply TestClient::get(const std::string& path)
{
    curl_easy_setopt(m_curl, CURLOPT_HTTPGET, 1L);
    return perform(path);
}

Reply TestClient::perform(const std::string& path)
{
    Reply reply;
    curl_easy_setopt(m_curl, CURLOPT_URL, ("https://" + m_host + path).c_str());
    curl_easy_setopt(m_curl, CURLOPT_WRITEDATA, &reply.body);
    const auto start = std::chrono::steady_clock::now();
    reply.code = curl_easy_perform(m_curl);
    reply.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    curl_easy_getinfo(m_curl, CURLINFO_RESPONSE_CODE, &reply.status);
    const char* contentType = nullptr;
    curl_easy_getinfo(m_curl, CURLINFO_CONTENT_TYPE, &contentType);
    reply.contentType = contentType ? contentType : "";
    return reply;
}

std::string loginBody(const testsupport::FonAccount& account, const std::string& pin)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
           "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\" "
           "xmlns:ses=\"https://finanzonline.bmf.gv.at/fon/ws/session\"><soapenv:Header/><soapenv:Body>"
           "<ses:loginRequest><ses:tid>"
           + account.tid + "</ses:tid><ses:benid>" + account.benid + "</ses:benid><ses:pin>" + pin
           + "</ses:pin><ses:herstellerid>ATU12345678</ses:herstellerid></ses:loginRequest>"
             "</soapenv:Body></soapenv:Envelope>";
}

std::string logoutBody(const testsupport::FonAccount& account, const std::string& id)
{
    return "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\"><soapenv:Body>"
           "<logoutRequest xmlns=\"https://finanzonline.bmf.gv.at/fon/ws/session\"><tid>"
           + account.tid + "</tid><benid>" + account.benid + "</benid><id>" + id
           + "</id></logoutRequest></soapenv:Body></soapenv:Envelope>";
}

std::string rkdbBody(
    const testsupport::FonAccount& account, const std::string& id, char mode, const std::string& records, int paketNr)
{
    return "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\"><soapenv:Header/>"
           "<soapenv:Body><rkdbRequest xmlns=\"https://finanzonline.bmf.gv.at/rkdb\"><tid>"
           + account.tid + "</tid><benid>" + account.benid + "</benid><id>" + id + "</id><art_uebermittlung>"
           + std::string(1, mode) + "</art_uebermittlung><rkdb><paket_nr>" + std::to_string(paketNr)
           + "</paket_nr><ts_erstellung>2026-12-07T08:15:00</ts_erstellung>" + records
           + "</rkdb></rkdbRequest></soapenv:Body></soapenv:Envelope>";
}

std::string statusQueryBody(const testsupport::FonAccount& account,
                            const std::string& id,
                            char mode,
                            const std::string& element,
                            const std::string& unit,
                            int paketNr)
{
    return "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\"><soapenv:Header/>"
           "<soapenv:Body><rkdbRequest xmlns=\"https://finanzonline.bmf.gv.at/rkdb\"><tid>"
           + account.tid + "</tid><benid>" + account.benid + "</benid><id>" + id + "</id><art_uebermittlung>"
           + std::string(1, mode) + "</art_uebermittlung><" + element + "><paket_nr>" + std::to_string(paketNr)
           + "</paket_nr><ts_erstellung>2026-12-07T08:15:00</ts_erstellung><satznr>1</satznr>" + unit + "</" + element
           + "></rkdbRequest></soapenv:Body></soapenv:Envelope>";
}

std::string registerCashRegister(int satznr, const std::string& kassenId)
{
    return "<registrierung_kasse><satznr>" + std::to_string(satznr) + "</satznr><kassenidentifikationsnummer>"
           + kassenId
           + "</kassenidentifikationsnummer><benutzerschluessel>U2VjcmV0U2VjcmV0U2VjcmV0U2VjcmV0U2VjcmV0QUI="
             "</benutzerschluessel></registrierung_kasse>";
}

std::string registerSignatureUnit(int satznr, const std::string& vda, const std::string& serial)
{
    return "<registrierung_se><satznr>" + std::to_string(satznr) + "</satznr><art_se>SIGNATURKARTE</art_se><vda_id>"
           + vda + "</vda_id><zertifikatsseriennummer>" + serial + "</zertifikatsseriennummer></registrierung_se>";
}

std::string cashRegisterFailure(int satznr, const std::string& kassenId, bool decommission)
{
    return "<ausfall_kasse><satznr>" + std::to_string(satznr) + "</satznr><kassenidentifikationsnummer>" + kassenId
           + "</kassenidentifikationsnummer>"
           + (decommission ? "<ausserbetriebnahme><begruendung>3</begruendung></ausserbetriebnahme>"
                           : "<ausfall><begruendung>1</begruendung><beginn_ausfall>2026-12-07T08:00:00"
                             "</beginn_ausfall></ausfall>")
           + "</ausfall_kasse>";
}

std::string receiptCheck(int satznr, const std::string& receipt)
{
    return "<belegpruefung><satznr>" + std::to_string(satznr) + "</satznr><beleg>" + receipt
           + "</beleg></belegpruefung>";
}

std::string receipt(const std::string& kassenId)
{
    return "_R1-AT1_" + kassenId
           + "_83469_2026-12-07T08:15:00_12,50_0,00_0,00_0,00_0,00_cVtcOxqS4Bc=_5f2a9c01_q83vMJGQ3cU="
             "_XlYdJWrUBJ8KvqnGXEtS1hpO4lY0Gyu9TOFeKfRHMqjzPnsKsGN2HOo2fj2XFtwnclk84YbAkXEtjTuoc8A0w==";
}

std::string login(TestClient& client, const testsupport::FonAccount& account)
{
    const Reply reply = client.post(SESSION_PATH, loginBody(account, account.pin), "login");
    const XmlAnswer answer(reply.body);
    return answer.text(SESSION_NS, "rc") == "0" ? answer.text(SESSION_NS, "id") : std::string();
}

XmlAnswer::XmlAnswer(const std::string& body)
    : m_doc(xmlReadMemory(body.data(),
                          static_cast<int>(body.size()),
                          "answer.xml",
                          nullptr,
                          XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_HUGE))
{}

XmlAnswer::~XmlAnswer()
{
    xmlFreeDoc(doc(m_doc));
}

bool XmlAnswer::wellFormed() const
{
    return m_doc != nullptr;
}

std::vector<std::string> XmlAnswer::elementNames() const
{
    std::vector<std::string> names;
    if (m_doc) {
        walk(xmlDocGetRootElement(doc(m_doc)), [&](const xmlNode* node) { names.push_back(nameOf(node)); });
    }
    return names;
}

std::vector<std::string> XmlAnswer::texts(const std::string& ns, const std::string& localName) const
{
    std::vector<std::string> found;
    if (!m_doc) {
        return found;
    }
    const std::string wanted = "{" + ns + "}" + localName;
    walk(xmlDocGetRootElement(doc(m_doc)), [&](const xmlNode* node) {
        if (nameOf(node) == wanted) {
            xmlChar* content = xmlNodeGetContent(node);
            found.emplace_back(content ? reinterpret_cast<const char*>(content) : "");
            xmlFree(content);
        }
    });
    return found;
}

std::string XmlAnswer::text(const std::string& ns, const std::string& localName) const
{
    const auto found = texts(ns, localName);
    return found.empty() ? std::string("<missing>") : found.front();
}

std::vector<std::string> XmlAnswer::validateResponse(const std::string& schemaFile) const
{
    std::vector<std::string> errors;
    const xmlNode* response = nullptr;
    int index = 0;
    if (m_doc) {
        walk(xmlDocGetRootElement(doc(m_doc)), [&](const xmlNode* node) {
            if (++index == 4) {
                response = node;
            }
        });
    }
    if (!response) {
        return {"no fourth element"};
    }
    xmlSchemaParserCtxtPtr parser = xmlSchemaNewParserCtxt(schemaFile.c_str());
    xmlSchemaPtr schema = xmlSchemaParse(parser);
    xmlSchemaFreeParserCtxt(parser);
    if (!schema) {
        return {"cannot load " + schemaFile};
    }
    xmlSchemaValidCtxtPtr validator = xmlSchemaNewValidCtxt(schema);
    xmlSchemaSetValidStructuredErrors(validator, collectError, &errors);
    if (xmlSchemaValidateOneElement(validator, const_cast<xmlNode*>(response)) != 0 && errors.empty()) {
        errors.emplace_back("invalid");
    }
    xmlSchemaFreeValidCtxt(validator);
    xmlSchemaFree(schema);
    return errors;
}

} // namespace fontesttests

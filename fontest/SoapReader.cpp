#include "fontest/SoapReader.h"

#include <cstring>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlschemas.h>

namespace fontest {

namespace {

std::string fromXml(const xmlChar* text)
{
    return text ? std::string(reinterpret_cast<const char*>(text)) : std::string();
}

bool isElement(const xmlNode* node, const char* ns, const char* localName)
{
    return node && node->type == XML_ELEMENT_NODE && node->ns
           && std::strcmp(reinterpret_cast<const char*>(node->ns->href), ns) == 0
           && std::strcmp(reinterpret_cast<const char*>(node->name), localName) == 0;
}

const xmlNode* firstElementChild(const xmlNode* node)
{
    for (const xmlNode* child = node->children; child; child = child->next) {
        if (child->type == XML_ELEMENT_NODE) {
            return child;
        }
    }
    return nullptr;
}

std::string describe(const xmlNode* node)
{
    if (!node) {
        return "nothing";
    }
    return "{" + (node->ns ? fromXml(node->ns->href) : std::string()) + "}" + fromXml(node->name);
}

void collectError(void* userData, xmlErrorPtr error)
{
    auto* errors = static_cast<std::vector<std::string>*>(userData);
    std::string message = error->message ? error->message : "unknown libxml2 error";
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
        message.pop_back();
    }
    if (error->line > 0) {
        message = "line " + std::to_string(error->line) + ": " + message;
    }
    errors->push_back(message);
}

// libxml2 keeps the structured error handler per thread; each request routes it to its own list.
class ErrorCapture
{
public:
    explicit ErrorCapture(std::vector<std::string>& errors) { xmlSetStructuredErrorFunc(&errors, collectError); }
    ~ErrorCapture() { xmlSetStructuredErrorFunc(nullptr, nullptr); }
    ErrorCapture(const ErrorCapture&) = delete;
    ErrorCapture& operator=(const ErrorCapture&) = delete;
};

XmlElement copyElement(const xmlNode* node)
{
    XmlElement element;
    element.name = fromXml(node->name);
    element.ns = node->ns ? fromXml(node->ns->href) : std::string();
    for (const xmlAttr* attr = node->properties; attr; attr = attr->next) {
        xmlChar* value = xmlNodeListGetString(node->doc, attr->children, 1);
        element.attributes[fromXml(attr->name)] = fromXml(value);
        xmlFree(value);
    }
    for (const xmlNode* child = node->children; child; child = child->next) {
        if (child->type == XML_ELEMENT_NODE) {
            element.children.push_back(copyElement(child));
        } else if (child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE) {
            element.text += fromXml(child->content);
        }
    }
    return element;
}

struct DocFree
{
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};

} // namespace

struct SoapReader::Schema
{
    xmlSchemaPtr schema = nullptr;
    // Validation contexts are per call; the mutex keeps concurrent validations from sharing the parsed schema.
    mutable std::mutex mutex;

    ~Schema()
    {
        if (schema) {
            xmlSchemaFree(schema);
        }
    }
};

SoapReader::SoapReader(const std::string& schemaDir)
{
    auto load = [this](const std::string& path) -> std::unique_ptr<Schema> {
        std::vector<std::string> errors;
        ErrorCapture capture(errors);
        xmlSchemaParserCtxtPtr parser = xmlSchemaNewParserCtxt(path.c_str());
        if (!parser) {
            m_loadError = "cannot open schema " + path;
            return nullptr;
        }
        xmlSchemaSetParserStructuredErrors(parser, collectError, &errors);
        auto schema = std::make_unique<Schema>();
        schema->schema = xmlSchemaParse(parser);
        xmlSchemaFreeParserCtxt(parser);
        if (!schema->schema) {
            m_loadError = "cannot load schema " + path + (errors.empty() ? std::string() : ": " + errors.front());
            return nullptr;
        }
        return schema;
    };
    m_session = load(schemaDir + "/session.xsd");
    if (m_session) {
        m_rkdb = load(schemaDir + "/regKasseWs.xsd");
    }
}

SoapReader::~SoapReader() = default;

bool SoapReader::loaded() const
{
    return m_session && m_rkdb;
}

const std::string& SoapReader::loadError() const
{
    return m_loadError;
}

SoapReadResult SoapReader::read(const std::string& body, SchemaKind kind) const
{
    SoapReadResult result;
    ErrorCapture capture(result.errors);

    // No XML_PARSE_NOENT and no XML_PARSE_DTDLOAD: external entities are never fetched or expanded.
    std::unique_ptr<xmlDoc, DocFree> doc(xmlReadMemory(
        body.data(), static_cast<int>(body.size()), "request.xml", nullptr, XML_PARSE_NONET | XML_PARSE_NOWARNING));
    if (!doc) {
        if (result.errors.empty()) {
            result.errors.emplace_back("The request is not well-formed XML.");
        }
        return result;
    }
    if (doc->intSubset) {
        result.errors.emplace_back("A SOAP message must not contain a document type declaration.");
        return result;
    }
    const xmlNode* envelope = xmlDocGetRootElement(doc.get());
    if (!isElement(envelope, SOAP11_NS, "Envelope")) {
        result.errors.push_back("The root element " + describe(envelope) + " is not a SOAP 1.1 Envelope.");
        return result;
    }
    const xmlNode* soapBody = nullptr;
    for (const xmlNode* child = envelope->children; child; child = child->next) {
        if (isElement(child, SOAP11_NS, "Body")) {
            soapBody = child;
            break;
        }
    }
    if (!soapBody) {
        result.errors.emplace_back("The SOAP Envelope has no Body.");
        return result;
    }
    const xmlNode* payload = firstElementChild(soapBody);
    if (!payload) {
        result.errors.emplace_back("The SOAP Body contains no element.");
        return result;
    }

    const Schema& schema = kind == SchemaKind::Session ? *m_session : *m_rkdb;
    int rc = 0;
    {
        std::lock_guard lock(schema.mutex);
        xmlSchemaValidCtxtPtr validator = xmlSchemaNewValidCtxt(schema.schema);
        xmlSchemaSetValidStructuredErrors(validator, collectError, &result.errors);
        rc = xmlSchemaValidateOneElement(validator, const_cast<xmlNode*>(payload));
        xmlSchemaFreeValidCtxt(validator);
    }
    if (rc != 0) {
        if (result.errors.empty()) {
            result.errors.push_back("Schema validation of " + describe(payload) + " failed (" + std::to_string(rc)
                                    + ").");
        }
        return result;
    }
    result.payload = copyElement(payload);
    return result;
}

} // namespace fontest

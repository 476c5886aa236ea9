#pragma once

#include "fontest/XmlElement.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace fontest {

//! The SOAP 1.1 envelope namespace; requests and answers use only this one.
inline constexpr const char* SOAP11_NS = "http://schemas.xmlsoap.org/soap/envelope/";

//! Which schema a request body must satisfy.
enum class SchemaKind
{
    Session, //!< session.xsd: loginRequest, logoutRequest
    Rkdb,    //!< regKasseWs.xsd: rkdbRequest
};

//! The outcome of reading one request body. When `errors` is empty, `payload` is the schema-valid first element
//! child of the SOAP Body.
struct SoapReadResult
{
    std::vector<std::string> errors; //!< parser and validator messages, one per entry
    XmlElement payload;
};

//! Parses SOAP request bodies with libxml2 (no network, no external entities, no DTD) and validates the payload
//! against FinanzOnline's schemas. Thread-safe once constructed.
class SoapReader
{
public:
    //! Loads session.xsd and regKasseWs.xsd from `schemaDir`. Check `loaded()` afterwards.
    explicit SoapReader(const std::string& schemaDir);
    ~SoapReader();
    SoapReader(const SoapReader&) = delete;
    SoapReader& operator=(const SoapReader&) = delete;

    //! True when both schemas loaded; otherwise `loadError()` says why.
    [[nodiscard]] bool loaded() const;
    const std::string& loadError() const;

    //! Parses `body`, finds the SOAP 1.1 Body and validates its first element child against `kind`'s schema.
    [[nodiscard]] SoapReadResult read(const std::string& body, SchemaKind kind) const;

private:
    struct Schema;

    std::unique_ptr<Schema> m_session;
    std::unique_ptr<Schema> m_rkdb;
    std::string m_loadError;
};

} // namespace fontest

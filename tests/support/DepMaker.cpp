#include "tests/support/DepMaker.h"

#include "rksv/format/Jws.h"
#include "rksv/format/Receipt.h"

#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <stdexcept>

namespace testsupport {

TestSigner::TestSigner(long serialNumber, const TestSigner* issuer, const std::string& commonName, bool ca)
    : key(rksv::generateP256Key())
    , certificate(X509_new())
{
    X509_NAME* name = certificate ? X509_get_subject_name(certificate.get()) : nullptr;
    X509_EXTENSION* constraints =
        ca ? X509V3_EXT_conf_nid(nullptr, nullptr, NID_basic_constraints, "critical,CA:TRUE") : nullptr;
    const bool extended = !ca || (constraints != nullptr && X509_add_ext(certificate.get(), constraints, -1) == 1);
    X509_EXTENSION_free(constraints);
    if (!key || name == nullptr || !extended || X509_set_version(certificate.get(), 2) != 1
        || ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), serialNumber) != 1
        || X509_NAME_add_entry_by_txt(
               name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0)
               != 1
        || X509_set_issuer_name(certificate.get(),
                                issuer != nullptr ? X509_get_subject_name(issuer->certificate.get()) : name)
               != 1
        || X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0) == nullptr
        || X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 3600L * 24 * 365) == nullptr
        || X509_set_pubkey(certificate.get(), key.get()) != 1
        || X509_sign(certificate.get(), issuer != nullptr ? issuer->key.get() : key.get(), EVP_sha256()) <= 0) {
        throw std::runtime_error("test certificate not made");
    }
    certificateBase64 = rksv::derBase64(certificate.get()).value_or("");
    serial = rksv::serialOf(certificate.get());
}

TillSigner::TillSigner(const TestSigner& signer, std::string kassenId, const rksv::AesKey& key)
    : m_signer(&signer)
    , m_kassenId(std::move(kassenId))
    , m_key(key)
{}

std::string TillSigner::next(const DepReceipt& receipt)
{
    rksv::ReceiptData data;
    data.kassenAlgorithmus = receipt.provider;
    if (receipt.restart) {
        m_previous.clear();
        m_running = 0;
    }
    data.kassenId = m_kassenId;
    data.belegnummer = receipt.id;
    data.belegDatumUhrzeit = receipt.dateTime;
    data.betragSatzNormal = receipt.amounts[0];
    data.betragSatzErmaessigt1 = receipt.amounts[1];
    data.betragSatzErmaessigt2 = receipt.amounts[2];
    data.betragSatzNull = receipt.amounts[3];
    data.betragSatzBesonders = receipt.amounts[4];
    if (receipt.kind != DepReceipt::Kind::Training) {
        m_running += data.betragSumme();
    }
    if (receipt.kind == DepReceipt::Kind::Normal) {
        m_counterField = rksv::encryptTurnoverCounter(
                             m_key, m_kassenId, receipt.id, receipt.counter.value_or(m_running), receipt.counterBytes)
                             .value_or("");
    } else {
        m_counterField = receipt.kind == DepReceipt::Kind::Training ? rksv::TRAINING_MARKER : rksv::STORNO_MARKER;
    }
    data.standUmsatzZaehler = m_counterField;
    data.zertifikatSeriennummer = receipt.serial.empty() ? m_signer->serial : receipt.serial;
    data.sigVorigerBeleg = m_previous.empty() ? rksv::startChainValue(m_kassenId) : rksv::chainValue(m_previous);
    std::string why;
    auto signedData = rksv::buildSignedData(data, &why);
    if (signedData && receipt.editSignedData) {
        receipt.editSignedData(*signedData);
    }
    const auto jws = !signedData      ? std::nullopt
                     : receipt.failed ? std::optional(rksv::failedCompactJws(*signedData))
                                      : rksv::signCompactJws(m_signer->key.get(), *signedData, &why);
    if (!jws) {
        throw std::runtime_error("receipt " + receipt.id + " not signed: " + why);
    }
    m_previous = *jws;
    return *jws;
}

std::string depGroup(const std::string& certificate,
                     const std::vector<std::string>& issuers,
                     const std::vector<std::string>& receipts,
                     bool receiptsFirst)
{
    const auto list = [](const std::vector<std::string>& texts) {
        std::string text = "[";
        for (const auto& entry : texts) {
            text += (text.size() > 1 ? ",\n\"" : "\"") + entry + "\"";
        }
        return text + "]";
    };
    const std::string certificates =
        "\"Signaturzertifikat\": \"" + certificate + "\", \"Zertifizierungsstellen\": " + list(issuers);
    const std::string compact = "\"Belege-kompakt\": " + list(receipts);
    return "{" + (receiptsFirst ? compact + ", " + certificates : certificates + ", " + compact) + "}";
}

std::string depOfGroups(const std::vector<std::string>& groups)
{
    std::string text = "{\"Belege-Gruppe\": [";
    for (std::size_t i = 0; i < groups.size(); ++i) {
        text += (i > 0 ? ",\n" : "\n") + groups[i];
    }
    return text + "\n]}\n";
}

} // namespace testsupport

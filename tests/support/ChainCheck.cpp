#include "tests/support/ChainCheck.h"

#include "rksv/format/Jws.h"
#include "rksv/format/OpenSsl.h"
#include "rksv/format/Receipt.h"
#include "rksv/units/SoftwareUnit.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/x509v3.h>

#include <cctype>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>

namespace testsupport {
namespace {

// The certificate's serial in lower-case hex, as the receipts name it.
std::string serialHex(X509* certificate)
{
    BIGNUM* number = ASN1_INTEGER_to_BN(X509_get_serialNumber(certificate), nullptr);
    char* hex = number != nullptr ? BN_bn2hex(number) : nullptr;
    std::string text = hex != nullptr ? hex : "";
    OPENSSL_free(hex);
    BN_free(number);
    for (auto& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

} // namespace

void expectSoundChain(const std::vector<std::string>& jwsList,
                      const std::string& kassa,
                      const rksv::AesKey& key,
                      const std::string& certificateBase64)
{
    expectSoundChain(jwsList, kassa, key, std::vector<std::string>(jwsList.size(), certificateBase64));
}

void expectSoundChain(const std::vector<std::string>& jwsList,
                      const std::string& kassa,
                      const rksv::AesKey& key,
                      const std::vector<std::string>& certificatesBase64)
{
    ASSERT_EQ(certificatesBase64.size(), jwsList.size());
    std::int64_t running = 0;
    std::set<std::string> ids;
    std::string lastDateTime;
    bool previousIsNull = true; // a start receipt may open the DEP
    for (std::size_t i = 0; i < jwsList.size(); ++i) {
        const auto& jws = jwsList[i];
        SCOPED_TRACE("receipt " + std::to_string(i + 1) + " of " + std::to_string(jwsList.size()));
        const auto signedData = rksv::signedDataOfJws(jws);
        ASSERT_TRUE(signedData) << jws;
        const auto data = rksv::parseSignedData(*signedData);
        ASSERT_TRUE(data) << *signedData;
        EXPECT_EQ(data->kassenId, kassa);
        EXPECT_TRUE(ids.insert(data->belegnummer).second) << "receipt id " << data->belegnummer << " already in use";
        EXPECT_GE(data->belegDatumUhrzeit, lastDateTime) << "the receipts' time goes back";
        lastDateTime = data->belegDatumUhrzeit;
        const auto certificate = rksv::certificateFromBase64(certificatesBase64[i]);
        ASSERT_TRUE(certificate) << "the certificate is not Base64 DER";
        EXPECT_EQ(data->zertifikatSeriennummer, serialHex(certificate.get()))
            << "signed by another card than its group's";
        const bool start = data->sigVorigerBeleg == rksv::startChainValue(kassa);
        if (!rksv::isFailedSignature(jws)) {
            std::string why;
            EXPECT_TRUE(rksv::verifyCompactJwsWithCertificate(jws, certificate.get(), &why)) << why;
        }
        if (start) {
            EXPECT_TRUE(previousIsNull) << "a start receipt in the middle of the chain";
            EXPECT_FALSE(rksv::isFailedSignature(jws)) << "a start receipt must be properly signed";
            EXPECT_EQ(data->betragSumme(), 0) << "a start receipt carries no amounts";
            running = 0;
        } else {
            ASSERT_GT(i, 0u) << "the first receipt is no start receipt";
            EXPECT_EQ(data->sigVorigerBeleg, rksv::chainValue(jwsList[i - 1])) << "the chain breaks";
        }
        running += data->betragSumme();
        const auto counter =
            rksv::decryptTurnoverCounter(key, data->kassenId, data->belegnummer, data->standUmsatzZaehler);
        ASSERT_TRUE(counter) << data->standUmsatzZaehler;
        EXPECT_EQ(*counter, running) << "the turnover counter is not the running sum";
        previousIsNull = data->betragSumme() == 0 && !rksv::isFailedSignature(jws);
    }
}

std::vector<std::string> expectSoundDep(const std::string& json, const std::string& kassa, const rksv::AesKey& key)
{
    std::vector<std::string> receipts;
    std::vector<std::string> certificates;
    const auto dep = nlohmann::json::parse(json, nullptr, false);
    EXPECT_FALSE(dep.is_discarded()) << json.substr(0, 400);
    if (dep.is_discarded()) {
        return receipts;
    }
    for (const auto& group : dep.at("Belege-Gruppe")) {
        const auto certificateText = group.at("Signaturzertifikat").get<std::string>();
        const auto certificate = rksv::certificateFromBase64(certificateText);
        EXPECT_TRUE(certificate) << "Signaturzertifikat is no Base64 DER: " << certificateText.substr(0, 60);
        const auto issuers = group.at("Zertifizierungsstellen").get<std::vector<std::string>>();
        for (std::size_t i = 0; i < issuers.size(); ++i) {
            const auto issuer = rksv::certificateFromBase64(issuers[i]);
            EXPECT_TRUE(issuer) << "Zertifizierungsstellen entry " << i << " is no single Base64 DER certificate";
            if (i == 0 && issuer && certificate) {
                EXPECT_EQ(X509_check_issued(issuer.get(), certificate.get()), X509_V_OK)
                    << "the first issuer did not issue the certificate";
            }
        }
        for (const auto& receipt : group.at("Belege-kompakt").get<std::vector<std::string>>()) {
            receipts.push_back(receipt);
            certificates.push_back(certificateText);
        }
    }
    expectSoundChain(receipts, kassa, key, certificates);
    return receipts;
}

std::string certificateOfReader(const std::string& readerFolder)
{
    const auto folder = std::filesystem::path(readerFolder);
    rksv::SoftwareUnit unit(folder.parent_path());
    std::string certificate;
    std::string chain;
    EXPECT_TRUE(unit.GetCardCertificate(folder.filename().string(), certificate, chain)) << readerFolder;
    return certificate;
}

} // namespace testsupport

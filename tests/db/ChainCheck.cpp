#include "tests/db/ChainCheck.h"

#include "rksv/Jws.h"
#include "rksv/OpenSsl.h"
#include "rksv/Receipt.h"
#include "rksv/SoftwareUnit.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace testsupport {

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
    for (std::size_t i = 0; i < jwsList.size(); ++i) {
        const auto& jws = jwsList[i];
        SCOPED_TRACE("receipt " + std::to_string(i + 1) + " of " + std::to_string(jwsList.size()));
        const auto signedData = rksv::signedDataOfJws(jws);
        ASSERT_TRUE(signedData) << jws;
        const auto data = rksv::parseSignedData(*signedData);
        ASSERT_TRUE(data) << *signedData;
        EXPECT_EQ(data->kassenId, kassa);
        if (!rksv::isFailedSignature(jws)) {
            const auto certificate = rksv::certificateFromBase64(certificatesBase64[i]);
            ASSERT_TRUE(certificate) << "the certificate is not Base64 DER";
            std::string why;
            EXPECT_TRUE(rksv::verifyCompactJwsWithCertificate(jws, certificate.get(), &why)) << why;
        }
        EXPECT_EQ(data->sigVorigerBeleg, i == 0 ? rksv::startChainValue(kassa) : rksv::chainValue(jwsList[i - 1]))
            << "the chain breaks";
        running += data->betragSumme();
        const auto counter =
            rksv::decryptTurnoverCounter(key, data->kassenId, data->belegnummer, data->standUmsatzZaehler);
        ASSERT_TRUE(counter) << data->standUmsatzZaehler;
        EXPECT_EQ(*counter, running) << "the turnover counter is not the running sum";
    }
}

std::string certificateOfReader(const std::string& readerFolder)
{
    const auto folder = std::filesystem::path(readerFolder);
    rksv::SoftwareUnit unit(folder.parent_path());
    std::string certificate;
    std::string chain;
    unit.GetCardCertificate(folder.filename().string(), certificate, chain);
    return certificate;
}

} // namespace testsupport

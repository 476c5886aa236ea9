#include "rksv/units/SoftwareUnit.h"

#include "rksv/format/Encoding.h"
#include "rksv/format/Jws.h"
#include "rksv/format/OpenSsl.h"
#include "rksv/format/Receipt.h"
#include "rksv/format/TurnoverCounter.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

constexpr char KASSA[] = "KASSE-TEST-1";
constexpr char PIN_A[] = "1234";
constexpr char PIN_B[] = "9876";
constexpr char SERIAL_A[] = "3d1f8a0c";

//! A fresh folder under the system's temporary folder, removed at the end of the scope.
class ScratchDir
{
public:
    ScratchDir()
    {
        std::string pattern = (fs::temp_directory_path() / "quorvex-unit-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            m_path = pattern;
        }
    }
    ~ScratchDir()
    {
        std::error_code error;
        fs::remove_all(m_path, error);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const fs::path& path() const { return m_path; }

private:
    fs::path m_path;
};

void touch(const fs::path& path)
{
    std::ofstream(path) << "x";
}

std::string readText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

using BioPtr = std::unique_ptr<BIO, rksv::OpenSslFree<&BIO_free_all>>;

//! A read-only memory BIO over the text, which must outlive it.
BioPtr bioOf(const std::string& text)
{
    return BioPtr(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

rksv::ReceiptData payloadOf(const std::string& jws)
{
    const auto signedData = rksv::signedDataOfJws(jws);
    EXPECT_TRUE(signedData.has_value()) << jws;
    const auto data = rksv::parseSignedData(signedData.value_or(""));
    EXPECT_TRUE(data.has_value()) << signedData.value_or("");
    return data.value_or(rksv::ReceiptData());
}

class SoftwareUnitTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_readers = m_dir.path() / "Karten";
        std::string serial;
        std::string error;
        ASSERT_TRUE(rksv::createTestCard(m_readers, "Leser-A", PIN_A, SERIAL_A, m_dir.path() / "ca", serial, error))
            << error;
        ASSERT_EQ(serial, SERIAL_A);
        ASSERT_TRUE(rksv::createTestCard(m_readers, "Leser-B", PIN_B, "", m_dir.path() / "ca", m_serialB, error))
            << error;
        fs::create_directories(m_readers / "Leser-C"); // a reader without a card
        touch(m_readers / "notiz.txt");                // a file is not a reader
        m_unit = std::make_unique<rksv::SoftwareUnit>(m_readers);
        ASSERT_TRUE(m_unit->GenerateAes256Key("Firma 01 Kasse 1", m_aesKey, error)) << error;
    }

    rksv::Component::Receipt receipt(const std::string& bonnr,
                                     std::vector<std::string> amounts,
                                     std::int64_t counterBefore,
                                     const std::string& previous) const
    {
        rksv::Component::Receipt r;
        r.kassa = KASSA;
        r.reader = "Leser-A";
        r.pin = PIN_A;
        r.bonnr = bonnr;
        r.dateTime = "07.12.2026 09:15:30";
        r.amounts = std::move(amounts);
        r.turnoverCounter = std::to_string(counterBefore);
        r.previous = previous;
        r.aesKey = m_aesKey;
        return r;
    }

    std::string certificateA()
    {
        std::string certificate;
        std::string chain;
        EXPECT_TRUE(m_unit->GetCardCertificate("Leser-A", certificate, chain));
        return certificate;
    }

    std::int64_t decryptCounter(const rksv::ReceiptData& data) const
    {
        const auto key = rksv::parseAesKey(m_aesKey);
        const auto counter =
            rksv::decryptTurnoverCounter(key.value(), data.kassenId, data.belegnummer, data.standUmsatzZaehler);
        EXPECT_TRUE(counter.has_value()) << data.standUmsatzZaehler;
        return counter.value_or(-999999);
    }

    ScratchDir m_dir;
    fs::path m_readers;
    std::string m_serialB;
    std::string m_aesKey;
    std::unique_ptr<rksv::SoftwareUnit> m_unit;
};

TEST_F(SoftwareUnitTest, ReadersAreTheSortedSubFoldersAndReportTheirCards)
{
    EXPECT_EQ(m_unit->GetReadersCount(), 3);
    EXPECT_EQ(m_unit->GetCardReaders(), (std::vector<std::string>{"Leser-A", "Leser-B", "Leser-C"}));
    EXPECT_EQ(m_unit->GetReaderAt(0), "Leser-A");
    EXPECT_EQ(m_unit->GetReaderAt(2), "Leser-C");
    EXPECT_EQ(m_unit->GetReaderAt(3), "");
    EXPECT_EQ(m_unit->GetReaderAt(-1), "");

    EXPECT_TRUE(m_unit->IsCardReaderPresent("Leser-C"));
    EXPECT_FALSE(m_unit->IsCardReaderPresent("Leser-X"));
    EXPECT_FALSE(m_unit->IsCardReaderPresent("notiz.txt"));
    EXPECT_FALSE(m_unit->IsCardReaderPresent(".."));
    EXPECT_FALSE(m_unit->IsCardReaderPresent("../Karten/Leser-A"));
    EXPECT_FALSE(m_unit->IsCardReaderPresent(""));

    EXPECT_EQ(m_unit->GetCardInReader("Leser-A"), SERIAL_A);
    EXPECT_EQ(m_unit->GetCardInReader("Leser-B"), m_serialB);
    EXPECT_EQ(m_serialB.size(), 32u);
    EXPECT_EQ(m_serialB.find_first_not_of("0123456789abcdef"), std::string::npos) << m_serialB;
    EXPECT_NE(m_serialB, SERIAL_A);
    EXPECT_EQ(m_unit->GetCardInReader("Leser-C"), "");
    EXPECT_EQ(m_unit->GetCardInReader("Leser-X"), "");

    EXPECT_TRUE(m_unit->IsCardNumberPresent(SERIAL_A));
    EXPECT_TRUE(m_unit->IsCardNumberPresent("3D1F8A0C"));
    EXPECT_TRUE(m_unit->IsCardNumberPresent(m_serialB));
    EXPECT_FALSE(m_unit->IsCardNumberPresent("3d1f8a0d"));
    EXPECT_FALSE(m_unit->IsCardNumberPresent(""));

    // A reader folder appearing later is seen without a new unit.
    fs::create_directories(m_readers / "Leser-0");
    EXPECT_EQ(m_unit->GetReaderAt(0), "Leser-0");
}

TEST_F(SoftwareUnitTest, VerifyPinAcceptsOnlyTheCardsOwnPinAndMatchingKey)
{
    EXPECT_TRUE(m_unit->VerifyPin("Leser-A", PIN_A));
    EXPECT_TRUE(m_unit->VerifyPin("Leser-B", PIN_B));
    EXPECT_FALSE(m_unit->VerifyPin("Leser-A", PIN_B));
    EXPECT_FALSE(m_unit->VerifyPin("Leser-A", "12345"));
    EXPECT_FALSE(m_unit->VerifyPin("Leser-A", ""));
    EXPECT_FALSE(m_unit->VerifyPin("Leser-C", PIN_A));
    EXPECT_FALSE(m_unit->VerifyPin("Leser-X", PIN_A));

    // A key that decrypts but belongs to another certificate is not the card's key.
    std::string serial;
    std::string error;
    ASSERT_TRUE(rksv::createTestCard(m_readers, "Leser-D", PIN_A, "", "", serial, error)) << error;
    fs::copy_file(
        m_readers / "Leser-D" / "key.pem", m_readers / "Leser-A" / "key.pem", fs::copy_options::overwrite_existing);
    EXPECT_FALSE(m_unit->VerifyPin("Leser-A", PIN_A));
}

TEST_F(SoftwareUnitTest, CertificateAndChainAreBase64DerOfTheCardAndItsIssuer)
{
    std::string certificate;
    std::string chain;
    ASSERT_TRUE(m_unit->GetCardCertificate("Leser-A", certificate, chain));
    const rksv::X509Ptr card = rksv::certificateFromBase64(certificate);
    ASSERT_TRUE(card);
    EXPECT_EQ(chain.find(';'), std::string::npos) << "one issuing certificate expected";
    const rksv::X509Ptr issuer = rksv::certificateFromBase64(chain);
    ASSERT_TRUE(issuer);
    EXPECT_EQ(X509_NAME_cmp(X509_get_issuer_name(card.get()), X509_get_subject_name(issuer.get())), 0);
    EXPECT_EQ(X509_verify(card.get(), X509_get0_pubkey(issuer.get())), 1);
    EXPECT_EQ(EVP_PKEY_get_bits(X509_get0_pubkey(card.get())), 256);

    // Both cards come from the same reused CA.
    std::string certificateB;
    std::string chainB;
    ASSERT_TRUE(m_unit->GetCardCertificate("Leser-B", certificateB, chainB));
    EXPECT_EQ(chainB, chain);
    EXPECT_NE(certificateB, certificate);

    EXPECT_FALSE(m_unit->GetCardCertificate("Leser-C", certificate, chain));
    EXPECT_EQ(certificate, "");
    EXPECT_EQ(chain, "");
}

TEST_F(SoftwareUnitTest, ChainOfReceiptsVerifiesChainsAndCountsTurnover)
{
    const std::string certificate = certificateA();
    const rksv::X509Ptr card = rksv::certificateFromBase64(certificate);
    ASSERT_TRUE(card);
    std::string otherCertificate;
    std::string otherChain;
    ASSERT_TRUE(m_unit->GetCardCertificate("Leser-B", otherCertificate, otherChain));

    struct Step
    {
        std::vector<std::string> amounts;
        std::int64_t sum;
    };
    const std::vector<Step> steps = {
        {{"0,00", "0,00", "0,00", "0,00", "0,00"}, 0}, // start receipt
        {{"12,50", "3,20", "0,00", "0,00", "0,00"}, 1570},
        {{"0,00", "0,00", "7,05", "1,00", "-2,00"}, 605},
        {{"-20,00", "0,00", "0,00", "0,00", "0,00"}, -2000},
        {{"1234,56", "0,01", "0,00", "0,00", "0,00"}, 123457},
    };
    std::string previous = KASSA;
    std::int64_t counter = 0;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE("receipt " + std::to_string(i));
        const std::string bonnr = "B-" + std::to_string(100 + i);
        rksv::Component::Signed out;
        ASSERT_TRUE(m_unit->SignReceipt(receipt(bonnr, steps[i].amounts, counter, previous), out)) << out.error;
        EXPECT_EQ(out.error, "");
        counter += steps[i].sum;

        std::string fehler;
        EXPECT_TRUE(rksv::verifyCompactJwsWithCertificate(out.jws, card.get(), &fehler)) << fehler;
        EXPECT_TRUE(m_unit->VerifyJWS(out.jws, certificate));
        EXPECT_FALSE(m_unit->VerifyJWS(out.jws, otherCertificate));

        const rksv::ReceiptData data = payloadOf(out.jws);
        EXPECT_EQ(data.kassenAlgorithmus, rksv::SoftwareUnit::ALGORITHM);
        EXPECT_EQ(data.kassenId, KASSA);
        EXPECT_EQ(data.belegnummer, bonnr);
        EXPECT_EQ(data.belegDatumUhrzeit, "2026-12-07T09:15:30");
        EXPECT_EQ(data.betragSumme(), steps[i].sum);
        EXPECT_EQ(rksv::formatAmount(data.betragSatzNormal), steps[i].amounts[0]);
        EXPECT_EQ(rksv::formatAmount(data.betragSatzBesonders), steps[i].amounts[4]);
        EXPECT_EQ(data.zertifikatSeriennummer, SERIAL_A);
        EXPECT_EQ(data.sigVorigerBeleg, i == 0 ? rksv::startChainValue(KASSA) : rksv::chainValue(previous));
        EXPECT_EQ(decryptCounter(data), counter);
        previous = out.jws;
    }
    EXPECT_EQ(counter, 1570 + 605 - 2000 + 123457);

    // Any change to the signed text breaks the signature.
    std::string tampered = previous;
    const auto dot = tampered.find('.');
    tampered[dot + 5] = tampered[dot + 5] == 'A' ? 'B' : 'A';
    EXPECT_FALSE(m_unit->VerifyJWS(tampered, certificate));
    EXPECT_FALSE(m_unit->VerifyJWS(previous, "kein Zertifikat"));
    EXPECT_FALSE(m_unit->VerifyJWS(previous, ""));
}

TEST_F(SoftwareUnitTest, TrainingAndStornoCarryTheirMarkersAndChain)
{
    const std::string certificate = certificateA();
    rksv::Component::Signed start;
    ASSERT_TRUE(m_unit->SignReceipt(receipt("1", {"0,00", "0,00", "0,00", "0,00", "0,00"}, 0, KASSA), start))
        << start.error;

    rksv::Component::Signed training;
    ASSERT_TRUE(
        m_unit->SignTrainReceipt(receipt("2", {"5,00", "0,00", "0,00", "0,00", "0,00"}, 0, start.jws), training))
        << training.error;
    rksv::Component::Signed storno;
    ASSERT_TRUE(
        m_unit->SignStornoReceipt(receipt("3", {"-5,00", "0,00", "0,00", "0,00", "0,00"}, 0, training.jws), storno))
        << storno.error;

    const auto trainingData = payloadOf(training.jws);
    const auto stornoData = payloadOf(storno.jws);
    EXPECT_EQ(trainingData.standUmsatzZaehler, rksv::TRAINING_MARKER);
    EXPECT_EQ(stornoData.standUmsatzZaehler, rksv::STORNO_MARKER);
    EXPECT_EQ(trainingData.betragSatzNormal, 500);
    EXPECT_EQ(stornoData.betragSatzNormal, -500);
    EXPECT_EQ(trainingData.sigVorigerBeleg, rksv::chainValue(start.jws));
    EXPECT_EQ(stornoData.sigVorigerBeleg, rksv::chainValue(training.jws));
    EXPECT_TRUE(m_unit->VerifyJWS(training.jws, certificate));
    EXPECT_TRUE(m_unit->VerifyJWS(storno.jws, certificate));

    // The caller counts the storno's amounts: the next ordinary receipt gets the counter after the storno.
    rksv::Component::Signed next;
    ASSERT_TRUE(m_unit->SignReceipt(receipt("4", {"1,00", "0,00", "0,00", "0,00", "0,00"}, -500, storno.jws), next))
        << next.error;
    EXPECT_EQ(decryptCounter(payloadOf(next.jws)), -400);
}

TEST_F(SoftwareUnitTest, FailedDeviceGivesFailureMarkedReceiptsThatDoNotVerify)
{
    const std::string certificate = certificateA();
    rksv::Component::Signed start;
    ASSERT_TRUE(m_unit->SignReceipt(receipt("1", {"0,00", "0,00", "0,00", "0,00", "0,00"}, 0, KASSA), start));

    touch(m_readers / "Leser-A" / "AUSGEFALLEN");
    rksv::Component::Signed failed;
    ASSERT_TRUE(m_unit->SignReceipt(receipt("2", {"9,90", "0,00", "0,00", "0,00", "0,00"}, 0, start.jws), failed))
        << failed.error;
    EXPECT_TRUE(rksv::isFailedSignature(failed.jws));
    EXPECT_FALSE(m_unit->VerifyJWS(failed.jws, certificate));
    const auto failedData = payloadOf(failed.jws);
    EXPECT_EQ(failedData.sigVorigerBeleg, rksv::chainValue(start.jws));
    EXPECT_EQ(failedData.zertifikatSeriennummer, SERIAL_A);
    EXPECT_EQ(decryptCounter(failedData), 990);
    EXPECT_EQ(failed.jws, rksv::failedCompactJws(rksv::signedDataOfJws(failed.jws).value()));

    std::string code;
    std::string error;
    ASSERT_TRUE(m_unit->ConvertJWSCompactToText(failed.jws, code, error)) << error;
    EXPECT_EQ(code.substr(code.rfind('_') + 1), rksv::FAILED_SIGNATURE_CODE);

    // Training receipts fail the same way; another reader is not affected.
    rksv::Component::Signed training;
    ASSERT_TRUE(
        m_unit->SignTrainReceipt(receipt("3", {"1,00", "0,00", "0,00", "0,00", "0,00"}, 990, failed.jws), training));
    EXPECT_TRUE(rksv::isFailedSignature(training.jws));
    auto onB = receipt("3", {"1,00", "0,00", "0,00", "0,00", "0,00"}, 990, failed.jws);
    onB.reader = "Leser-B";
    onB.pin = PIN_B;
    rksv::Component::Signed signedOnB;
    ASSERT_TRUE(m_unit->SignReceipt(onB, signedOnB)) << signedOnB.error;
    EXPECT_FALSE(rksv::isFailedSignature(signedOnB.jws));

    // The marker is found in any case; once removed, the card signs again, chained to the failed receipt.
    fs::rename(m_readers / "Leser-A" / "AUSGEFALLEN", m_readers / "Leser-A" / "ausgefallen");
    rksv::Component::Signed stillFailed;
    ASSERT_TRUE(
        m_unit->SignReceipt(receipt("4", {"0,00", "0,00", "0,00", "0,00", "0,00"}, 990, failed.jws), stillFailed));
    EXPECT_TRUE(rksv::isFailedSignature(stillFailed.jws));
    fs::remove(m_readers / "Leser-A" / "ausgefallen");
    rksv::Component::Signed recovered;
    ASSERT_TRUE(m_unit->SignReceipt(receipt("4", {"0,00", "0,00", "0,00", "0,00", "0,00"}, 990, failed.jws), recovered))
        << recovered.error;
    EXPECT_TRUE(m_unit->VerifyJWS(recovered.jws, certificate));
    EXPECT_EQ(payloadOf(recovered.jws).sigVorigerBeleg, rksv::chainValue(failed.jws));

    // The unit keeps what it found in a folder unchanged for long, and looks again once the folder changes.
    for (const bool failedNow : {false, true, true, false}) {
        SCOPED_TRACE(failedNow);
        if (failedNow != fs::exists(m_readers / "Leser-A" / "AUSGEFALLEN")) {
            failedNow ? touch(m_readers / "Leser-A" / "AUSGEFALLEN")
                      : static_cast<void>(fs::remove(m_readers / "Leser-A" / "AUSGEFALLEN"));
        }
        rksv::Component::Signed out;
        ASSERT_TRUE(
            m_unit->SignReceipt(receipt("5", {"0,00", "0,00", "0,00", "0,00", "0,00"}, 990, recovered.jws), out));
        EXPECT_EQ(rksv::isFailedSignature(out.jws), failedNow);
        fs::last_write_time(m_readers / "Leser-A", fs::file_time_type::clock::now() - std::chrono::hours(1));
    }
}

TEST_F(SoftwareUnitTest, ConvertJwsCompactToTextGivesTheMachineCode)
{
    rksv::Component::Signed start;
    ASSERT_TRUE(m_unit->SignReceipt(receipt("1", {"0,00", "0,00", "0,00", "0,00", "0,00"}, 0, KASSA), start));
    std::string code;
    std::string error;
    ASSERT_TRUE(m_unit->ConvertJWSCompactToText(start.jws, code, error)) << error;
    EXPECT_EQ(code, rksv::jwsToMachineCode(start.jws).value());
    EXPECT_EQ(code.rfind("_R1-AT99_KASSE-TEST-1_1_2026-12-07T09:15:30_", 0), 0u) << code;
    EXPECT_EQ(rksv::machineCodeToJws(code), start.jws);

    EXPECT_FALSE(m_unit->ConvertJWSCompactToText("kein.jws", code, error));
    EXPECT_EQ(code, "");
    EXPECT_NE(error.find("ungültig"), std::string::npos) << error;
}

TEST_F(SoftwareUnitTest, Aes256KeyDependsOnTheBasisAlone)
{
    std::string key1;
    std::string key2;
    std::string other;
    std::string error;
    ASSERT_TRUE(m_unit->GenerateAes256Key("Firma 01 Kasse 1", key1, error));
    rksv::SoftwareUnit elsewhere(m_dir.path() / "anderswo");
    ASSERT_TRUE(elsewhere.GenerateAes256Key("Firma 01 Kasse 1", key2, error));
    ASSERT_TRUE(m_unit->GenerateAes256Key("Firma 01 Kasse 2", other, error));
    EXPECT_EQ(key1, key2);
    EXPECT_EQ(key1, m_aesKey);
    EXPECT_NE(key1, other);
    EXPECT_EQ(key1.size(), 44u);
    EXPECT_TRUE(rksv::parseAesKey(key1).has_value());
    EXPECT_TRUE(rksv::parseAesKey(other).has_value());

    EXPECT_FALSE(m_unit->GenerateAes256Key("", key1, error));
    EXPECT_EQ(key1, "");
    EXPECT_NE(error.find("AES-Schlüssel"), std::string::npos) << error;
}

TEST_F(SoftwareUnitTest, DepExportHoldsCertificateChainAndReceiptsInOrder)
{
    std::string certificate;
    std::string chain;
    ASSERT_TRUE(m_unit->GetCardCertificate("Leser-A", certificate, chain));
    std::vector<std::string> receipts;
    std::string previous = KASSA;
    for (int i = 1; i <= 3; ++i) {
        rksv::Component::Signed out;
        ASSERT_TRUE(m_unit->SignReceipt(
            receipt(std::to_string(i), {"1,00", "0,00", "0,00", "0,00", "0,00"}, i - 1, previous), out))
            << out.error;
        receipts.push_back(out.jws);
        previous = out.jws;
    }
    touch(m_readers / "Leser-A" / "AUSGEFALLEN");
    rksv::Component::Signed failed;
    ASSERT_TRUE(m_unit->SignReceipt(receipt("4", {"0,00", "0,00", "0,00", "0,00", "0,00"}, 3, previous), failed));
    receipts.push_back(failed.jws);

    std::string json;
    ASSERT_TRUE(m_unit->ExportJWS(certificate, chain, receipts, json));
    const auto parsed = nlohmann::json::parse(json, nullptr, false);
    ASSERT_FALSE(parsed.is_discarded()) << json;
    const auto groups = parsed.at("Belege-Gruppe").get<std::vector<nlohmann::json>>();
    ASSERT_EQ(groups.size(), 1u);
    EXPECT_EQ(groups[0].at("Signaturzertifikat").get<std::string>(), certificate);
    const auto issuers = groups[0].at("Zertifizierungsstellen").get<std::vector<std::string>>();
    ASSERT_EQ(issuers.size(), 1u);
    EXPECT_EQ(issuers[0], chain);
    const auto compact = groups[0].at("Belege-kompakt").get<std::vector<std::string>>();
    ASSERT_EQ(compact.size(), receipts.size());
    for (std::size_t i = 0; i < receipts.size(); ++i) {
        EXPECT_EQ(compact[i], receipts[i]);
    }

    // The delimited form gives the same export, whatever separates the receipts.
    std::string delimitedJson;
    const std::string delimited = receipts[0] + "\r\n" + receipts[1] + ";" + receipts[2] + "\n" + receipts[3] + "\n";
    ASSERT_TRUE(m_unit->ExportJWSDelimitedString(certificate, chain, delimited, delimitedJson));
    EXPECT_EQ(delimitedJson, json);

    // Unknown certificate and chain give "" and [], never a missing member.
    ASSERT_TRUE(m_unit->ExportJWS("", "", {receipts[0]}, json));
    const auto bare = nlohmann::json::parse(json, nullptr, false);
    ASSERT_FALSE(bare.is_discarded()) << json;
    const auto& group = bare.at("Belege-Gruppe").at(0);
    EXPECT_TRUE(group.at("Signaturzertifikat").is_string());
    EXPECT_EQ(group.at("Signaturzertifikat").get<std::string>(), "");
    EXPECT_TRUE(group.at("Zertifizierungsstellen").is_array());
    EXPECT_TRUE(group.at("Zertifizierungsstellen").empty());

    // Malformed parts refuse the export, so no broken or injected JSON can come out.
    EXPECT_FALSE(m_unit->ExportJWS(certificate, chain, {receipts[0], "kein\"jws"}, json));
    EXPECT_EQ(json, "");
    EXPECT_FALSE(m_unit->ExportJWS("QUJD", chain, receipts, json));
    EXPECT_FALSE(m_unit->ExportJWS(certificate, chain + ";;" + chain, receipts, json));
    EXPECT_FALSE(m_unit->ExportJWSDelimitedString(certificate, chain, receipts[0] + "\n" + "a.b", json));
}

struct BadInput
{
    const char* name;
    void (*change)(rksv::Component::Receipt&);
    const char* errorPart;
};

void PrintTo(const BadInput& input, std::ostream* out)
{
    *out << input.name;
}

class SoftwareUnitBadInputTest : public SoftwareUnitTest, public ::testing::WithParamInterface<BadInput>
{
};

TEST_P(SoftwareUnitBadInputTest, IsRefusedWithAGermanReason)
{
    auto r = receipt("7", {"1,00", "2,00", "3,00", "4,00", "5,00"}, 100, KASSA);
    rksv::Component::Signed good;
    ASSERT_TRUE(m_unit->SignReceipt(r, good)) << good.error; // the unchanged receipt is fine
    GetParam().change(r);
    for (int kind = 0; kind < 3; ++kind) {
        rksv::Component::Signed out;
        out.jws = "alt";
        const bool ok = kind == 0   ? m_unit->SignReceipt(r, out)
                        : kind == 1 ? m_unit->SignTrainReceipt(r, out)
                                    : m_unit->SignStornoReceipt(r, out);
        EXPECT_FALSE(ok) << "kind " << kind;
        EXPECT_EQ(out.jws, "");
        EXPECT_NE(out.error.find(GetParam().errorPart), std::string::npos) << out.error;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Receipts,
    SoftwareUnitBadInputTest,
    ::testing::Values(BadInput{"impossibleDate", [](auto& r) { r.dateTime = "31.02.2026 10:00:00"; }, "Belegdatum"},
                      BadInput{"isoDate", [](auto& r) { r.dateTime = "2026-12-07 09:15:30"; }, "Belegdatum"},
                      BadInput{"shortDay", [](auto& r) { r.dateTime = "7.12.2026 09:15:30"; }, "Belegdatum"},
                      BadInput{"hour24", [](auto& r) { r.dateTime = "07.12.2026 24:00:00"; }, "Belegdatum"},
                      BadInput{"dotAmount", [](auto& r) { r.amounts[1] = "12.50"; }, "Betrag"},
                      BadInput{"thousandsAmount", [](auto& r) { r.amounts[0] = "1.234,56"; }, "Betrag"},
                      BadInput{"oneDecimal", [](auto& r) { r.amounts[4] = "1,5"; }, "Betrag"},
                      BadInput{"fourAmounts", [](auto& r) { r.amounts.pop_back(); }, "fünf Beträge"},
                      BadInput{"counterWithComma", [](auto& r) { r.turnoverCounter = "12,00"; }, "Umsatzzähler"},
                      BadInput{"emptyCounter", [](auto& r) { r.turnoverCounter = ""; }, "Umsatzzähler"},
                      BadInput{"emptyAesKey", [](auto& r) { r.aesKey = ""; }, "AES-Schlüssel"},
                      BadInput{"shortAesKey", [](auto& r) { r.aesKey = r.aesKey.substr(0, 43); }, "AES-Schlüssel"},
                      BadInput{"wrongPin", [](auto& r) { r.pin = "0000"; }, "Falscher PIN"},
                      BadInput{"noCard", [](auto& r) { r.reader = "Leser-C"; }, "keine Signaturkarte"},
                      BadInput{"unknownReader", [](auto& r) { r.reader = "Leser-X"; }, "nicht gefunden"},
                      BadInput{"noPrevious", [](auto& r) { r.previous = ""; }, "vorige Beleg"},
                      BadInput{"garbledPrevious", [](auto& r) { r.previous = "abc.def"; }, "vorige Beleg"},
                      BadInput{"underscoreInBonnr", [](auto& r) { r.bonnr = "7_8"; }, "nicht signiert"}),
    [](const ::testing::TestParamInfo<BadInput>& info) { return std::string(info.param.name); });

TEST(SoftwareUnitDate, ConvertsTheServiceFormToTheReceiptForm)
{
    EXPECT_EQ(rksv::receiptDateTime("07.12.2026 09:05:03"), "2026-12-07T09:05:03");
    EXPECT_EQ(rksv::receiptDateTime("29.02.2024 23:59:59"), "2024-02-29T23:59:59");
    EXPECT_EQ(rksv::receiptDateTime("29.02.2026 12:00:00"), "");
    EXPECT_EQ(rksv::receiptDateTime("07.12.2026 09:05"), "");
    EXPECT_EQ(rksv::receiptDateTime("07.12.2026T09:05:03"), "");
    EXPECT_EQ(rksv::receiptDateTime("0a.12.2026 09:05:03"), "");
    EXPECT_EQ(rksv::receiptDateTime(""), "");
}

TEST(SoftwareUnitCard, RefusesBadCardParameters)
{
    ScratchDir dir;
    std::string serial;
    std::string error;
    EXPECT_FALSE(rksv::createTestCard(dir.path(), "L", "1234", "xyz", "", serial, error));
    EXPECT_NE(error.find("Seriennummer"), std::string::npos) << error;
    EXPECT_FALSE(rksv::createTestCard(dir.path(), "L", "1234", "00", "", serial, error));
    EXPECT_NE(error.find("Seriennummer"), std::string::npos) << error;
    EXPECT_FALSE(rksv::createTestCard(dir.path(), "L", "1234", std::string(41, 'a'), "", serial, error));
    EXPECT_FALSE(rksv::createTestCard(dir.path(), "L", "", "", "", serial, error));
    EXPECT_NE(error.find("PIN"), std::string::npos) << error;
    EXPECT_FALSE(rksv::createTestCard(dir.path(), "..", "1234", "", "", serial, error));
    EXPECT_FALSE(rksv::createTestCard(dir.path(), "a/b", "1234", "", "", serial, error));
    EXPECT_EQ(serial, "");
    EXPECT_FALSE(fs::exists(dir.path() / "L"));

    ASSERT_TRUE(rksv::createTestCard(dir.path(), "L", "1234", "0a", "", serial, error)) << error;
    EXPECT_EQ(serial, "0a");
}

TEST(SoftwareUnitFactory, NamesTheSoftwareUnitAndItsFolder)
{
    ScratchDir dir;
    std::string serial;
    std::string error;
    ASSERT_TRUE(rksv::createTestCard(dir.path() / "Karten", "L1", "1111", "abc123", "", serial, error)) << error;
    ASSERT_TRUE(rksv::createTestCard(dir.path() / "Andere", "M1", "2222", "def456", "", serial, error)) << error;
    testsupport::ScopedCwd cwd(dir.path().string());

    const auto byDefault = rksv::createComponent("");
    ASSERT_NE(byDefault, nullptr);
    EXPECT_EQ(byDefault->GetCardReaders(), std::vector<std::string>{"L1"});
    EXPECT_EQ(byDefault->GetCardInReader("L1"), "abc123");
    const auto named = rksv::createComponent("Software");
    ASSERT_NE(named, nullptr);
    EXPECT_EQ(named->GetCardInReader("L1"), "abc123");

    const auto relative = rksv::createComponent("Software:Andere");
    ASSERT_NE(relative, nullptr);
    EXPECT_EQ(relative->GetCardReaders(), std::vector<std::string>{"M1"});
    const auto absolute = rksv::createComponent("Software:" + (dir.path() / "Andere").string());
    ASSERT_NE(absolute, nullptr);
    EXPECT_TRUE(absolute->VerifyPin("M1", "2222"));

    // The folder is fixed when the component is made, not on each call.
    fs::current_path(fs::temp_directory_path());
    EXPECT_EQ(byDefault->GetCardInReader("L1"), "abc123");

    EXPECT_EQ(rksv::createComponent("QuorvexComplete"), nullptr);
    EXPECT_EQ(rksv::createComponent("software:Karten"), nullptr);
    EXPECT_EQ(rksv::createComponent("Software:"), nullptr);
    EXPECT_EQ(rksv::createComponent("Softwarex:Karten"), nullptr);
}

class SoftwareUnitSecretFileTest : public ::testing::TestWithParam<mode_t>
{
};

TEST_P(SoftwareUnitSecretFileTest, SecretsAreOwnerOnlyAndReplaceWhatStoodThere)
{
    ScratchDir dir;
    const fs::path& base = dir.path(); // the readers, with the CA in "ca"
    const mode_t oldMask = ::umask(GetParam());
    fs::create_directories(base / "L");
    touch(base / "anderswo.pem");
    touch(base / "L" / "key.pem");
    fs::permissions(base / "L" / "key.pem", fs::perms(0644));
    // Written through, the link would change another file.
    fs::create_symlink(base / "anderswo.pem", base / "L" / "chain.pem");
    std::string serial;
    std::string error;
    const bool created =
        rksv::createTestCard(base, "L", PIN_A, "", base / "ca", serial, error, rksv::TestCardIssuer::IntermediateCa);
    EXPECT_FALSE(rksv::SoftwareUnit(base).VerifyPin("L", PIN_B)); // leaves the count of wrong PINs
    ::umask(oldMask);
    ASSERT_TRUE(created) << error;

    const std::vector<std::pair<const char*, int>> expected = {{"L/key.pem", 0600},
                                                               {"L/PIN-FEHLER", 0600},
                                                               {"ca/ca-key.pem", 0600},
                                                               {"ca/intermediate-key.pem", 0600},
                                                               {"L/certificate.pem", 0644},
                                                               {"L/chain.pem", 0644},
                                                               {"ca/ca-certificate.pem", 0644}};
    for (const auto& [file, mode] : expected) {
        EXPECT_EQ(static_cast<int>(fs::symlink_status(base / file).permissions()), mode) << file;
    }
    EXPECT_EQ(readText(base / "anderswo.pem"), "x");
    for (const auto& entry : fs::directory_iterator(base / "L")) {
        EXPECT_NE(entry.path().filename().string().front(), '.') << "temporary file left: " << entry.path();
    }
}

INSTANTIATE_TEST_SUITE_P(Umask, SoftwareUnitSecretFileTest, ::testing::Values(mode_t{0}, mode_t{022}));

TEST_F(SoftwareUnitTest, KeyFileIsScryptProtectedAndOpensWithTheRightPinOnly)
{
    const fs::path keyFile = m_readers / "Leser-A" / "key.pem";
    const std::string pem = readText(keyFile);
    const std::unique_ptr<X509_SIG, rksv::OpenSslFree<&X509_SIG_free>> sealed(
        PEM_read_bio_PKCS8(bioOf(pem).get(), nullptr, nullptr, nullptr));
    ASSERT_TRUE(sealed) << pem;
    const X509_ALGOR* algorithm = nullptr;
    X509_SIG_get0(sealed.get(), &algorithm, nullptr);
    ASSERT_EQ(OBJ_obj2nid(algorithm->algorithm), NID_pbes2);
    const std::unique_ptr<PBE2PARAM, rksv::OpenSslFree<&PBE2PARAM_free>> pbes2(
        static_cast<PBE2PARAM*>(ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBE2PARAM), algorithm->parameter)));
    ASSERT_TRUE(pbes2 && OBJ_obj2nid(pbes2->keyfunc->algorithm) == NID_id_scrypt);
    const std::unique_ptr<SCRYPT_PARAMS, rksv::OpenSslFree<&SCRYPT_PARAMS_free>> scrypt(static_cast<SCRYPT_PARAMS*>(
        ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(SCRYPT_PARAMS), pbes2->keyfunc->parameter)));
    ASSERT_TRUE(scrypt);
    // At least 2^14 * 8 * 4 block mixes a PIN: under PBKDF2's 2 048 rounds all six-digit PINs fall in minutes.
    EXPECT_GE(ASN1_INTEGER_get(scrypt->costParameter) * ASN1_INTEGER_get(scrypt->blockSize)
                  * ASN1_INTEGER_get(scrypt->parallelizationParameter),
              1L << 19);

    // OpenSSL's ordinary read call opens it with the card's PIN, not with another.
    const auto open = [](const std::string& text, std::string pin) {
        return rksv::EvpPkeyPtr(PEM_read_bio_PrivateKey(bioOf(text).get(), nullptr, nullptr, pin.data()));
    };
    EXPECT_FALSE(open(pem, PIN_B));
    const rksv::EvpPkeyPtr key = open(pem, PIN_A);
    ASSERT_TRUE(key && X509_check_private_key(rksv::certificateFromBase64(certificateA()).get(), key.get()) == 1);

    // A card from before, its key under PBKDF2, still opens.
    FILE* legacy = std::fopen(keyFile.c_str(), "w");
    std::string pin = PIN_A;
    ASSERT_EQ(PEM_write_PKCS8PrivateKey(legacy, key.get(), EVP_aes_256_cbc(), nullptr, 0, nullptr, pin.data()), 1);
    std::fclose(legacy);
    rksv::SoftwareUnit unit(m_readers);
    EXPECT_FALSE(unit.VerifyPin("Leser-A", PIN_B));
    EXPECT_TRUE(unit.VerifyPin("Leser-A", PIN_A));
}

TEST_F(SoftwareUnitTest, CardFromAnIntermediateCaCarriesIntermediateThenRoot)
{
    std::string serial;
    std::string error;
    ASSERT_TRUE(rksv::createTestCard(
        m_readers, "Leser-Z", PIN_A, "", m_dir.path() / "ca", serial, error, rksv::TestCardIssuer::IntermediateCa))
        << error;
    std::string certificate;
    std::string chain;
    std::string rootChain;
    ASSERT_TRUE(m_unit->GetCardCertificate("Leser-B", certificate, rootChain));
    ASSERT_TRUE(m_unit->GetCardCertificate("Leser-Z", certificate, chain));
    const auto separator = chain.find(';');
    const rksv::X509Ptr card = rksv::certificateFromBase64(certificate);
    const rksv::X509Ptr intermediate = rksv::certificateFromBase64(chain.substr(0, separator));
    const rksv::X509Ptr root = rksv::certificateFromBase64(chain.substr(separator + 1));
    ASSERT_TRUE(card && intermediate && root) << "two certificates expected: " << chain;
    EXPECT_EQ(X509_check_issued(root.get(), intermediate.get()), X509_V_OK) << "the first is issued by the second";
    EXPECT_EQ(chain.substr(separator + 1), rootChain) << "the kept root CA, which issues the other cards";

    // The path to the root holds: CA flags, key usages and signatures fit.
    const std::unique_ptr<X509_STORE, rksv::OpenSslFree<&X509_STORE_free>> store(X509_STORE_new());
    const std::unique_ptr<X509_STORE_CTX, rksv::OpenSslFree<&X509_STORE_CTX_free>> context(X509_STORE_CTX_new());
    ASSERT_TRUE(X509_STORE_add_cert(store.get(), root.get()) == 1
                && X509_STORE_add_cert(store.get(), intermediate.get()) == 1
                && X509_STORE_CTX_init(context.get(), store.get(), card.get(), nullptr) == 1);
    EXPECT_EQ(X509_verify_cert(context.get()), 1)
        << X509_verify_cert_error_string(X509_STORE_CTX_get_error(context.get()));

    auto r = receipt("1", {"2,00", "0,00", "0,00", "0,00", "0,00"}, 0, KASSA);
    r.reader = "Leser-Z";
    rksv::Component::Signed out;
    ASSERT_TRUE(m_unit->SignReceipt(r, out)) << out.error;
    EXPECT_TRUE(m_unit->VerifyJWS(out.jws, certificate));
}

TEST(SoftwareUnitAlgorithm, NamesAProviderCodeFinanzOnlineAccepts)
{
    // The pattern of vda_id in the schema the FinanzOnline test service checks requests against.
    const std::string schema = readText(fs::path(test_paths::FON_SCHEMA_DIR) / "regKasse.xsd");
    std::smatch pattern;
    ASSERT_TRUE(
        std::regex_search(schema, pattern, std::regex(R"re(name="vda_id">[\s\S]*?<xs:pattern value="([^"]+)")re")));
    EXPECT_TRUE(std::regex_match(std::string(rksv::SoftwareUnit::VDA_ID), std::regex(pattern[1].str()))) << pattern[1];
    EXPECT_EQ(rksv::SoftwareUnit::ALGORITHM, "R1-" + std::string(rksv::SoftwareUnit::VDA_ID));
}

//! Runs the command; its standard output and exit status.
std::pair<std::string, int> run(const std::string& command)
{
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return {"", -1};
    }
    std::array<char, 256> buffer{};
    while (fgets(buffer.data(), static_cast<int>(buffer.size()), pipe) != nullptr) {
        output += buffer.data();
    }
    const int status = pclose(pipe);
    return {output, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

TEST(SoftwareUnitCardTool, MakesCardsTheUnitCanSignWith)
{
    ScratchDir dir;
    const std::string tool = test_paths::CARD_TOOL;
    const std::string readers = (dir.path() / "Karten").string();
    const std::string ca = (dir.path() / "ca").string();

    const auto [output, status] =
        run("'" + tool + "' --readers '" + readers + "' --reader L1 --pin 4711 --serial 0A1B2C --ca-dir '" + ca + "'");
    ASSERT_EQ(status, 0) << output;
    EXPECT_NE(output.find("0a1b2c"), std::string::npos) << output;
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
    const auto [output2, status2] =
        run("'" + tool + "' --readers '" + readers + "' --reader L2 --pin 4712 --ca-dir '" + ca + "' --intermediate");
    ASSERT_EQ(status2, 0) << output2;

    rksv::SoftwareUnit unit(readers);
    EXPECT_EQ(unit.GetCardInReader("L1"), "0a1b2c");
    EXPECT_TRUE(unit.VerifyPin("L1", "4711"));
    EXPECT_FALSE(unit.VerifyPin("L1", "4712"));
    EXPECT_TRUE(unit.VerifyPin("L2", "4712"));
    std::string certificate;
    std::string chain1;
    std::string chain2;
    ASSERT_TRUE(unit.GetCardCertificate("L1", certificate, chain1));
    ASSERT_TRUE(unit.GetCardCertificate("L2", certificate, chain2));
    EXPECT_EQ(chain2.substr(chain2.find(';') + 1), chain1) << "the CA in --ca-dir is reused, under an intermediate";

    std::string key;
    std::string error;
    ASSERT_TRUE(unit.GenerateAes256Key("Werkzeug", key, error));
    rksv::Component::Receipt r{
        "K1", "L2", "4712", "1", "01.01.2027 00:00:01", {"0,00", "0,00", "0,00", "0,00", "0,00"}, "0", "K1", key};
    rksv::Component::Signed out;
    ASSERT_TRUE(unit.SignReceipt(r, out)) << out.error;
    EXPECT_TRUE(unit.VerifyJWS(out.jws, certificate));

    EXPECT_NE(run("'" + tool + "' --readers '" + readers + "' --reader L3 --pin 1 --serial xyz 2>/dev/null").second, 0);
    EXPECT_NE(run("'" + tool + "' --readers '" + readers + "' --reader L3 2>/dev/null").second, 0);
    EXPECT_NE(run("'" + tool + "' --readers '" + readers + "' --reader L3 --unlock 2>/dev/null").second, 0);
    EXPECT_NE(run("'" + tool + "' --readers '" + readers + "' --reader L1 --pin 1 --unlock 2>/dev/null").second, 0);
    EXPECT_FALSE(fs::exists(dir.path() / "Karten" / "L3"));
}

TEST_F(SoftwareUnitTest, ThreeWrongPinsInARowLockTheCardUntilTheToolUnlocksIt)
{
    const auto signWith = [this](rksv::SoftwareUnit& unit, const std::string& pin) {
        auto r = receipt("1", {"1,00", "0,00", "0,00", "0,00", "0,00"}, 0, KASSA);
        r.pin = pin;
        rksv::Component::Signed out;
        return unit.SignReceipt(r, out) ? std::string() : out.error;
    };
    // VerifyPin and signing count alike; a right PIN before the third wrong one starts the count again.
    EXPECT_FALSE(m_unit->VerifyPin("Leser-A", PIN_B));
    EXPECT_NE(signWith(*m_unit, PIN_B).find("noch 1 Versuch,"), std::string::npos);
    EXPECT_TRUE(m_unit->VerifyPin("Leser-A", PIN_A));
    const std::vector<std::pair<const char*, const char*>> steps = {
        {PIN_B, "noch 2 Versuche"},
        {PIN_B, "noch 1 Versuch,"},
        {"", "fehlt der PIN"}, // not presented, not counted
        {PIN_B, "ist gesperrt"},
        {PIN_A, "gesperrt, weil dreimal hintereinander ein falscher PIN"},
        {PIN_A, "--reader \"Leser-A\" --unlock"}};
    for (const auto& [pin, errorPart] : steps) {
        EXPECT_NE(signWith(*m_unit, pin).find(errorPart), std::string::npos) << pin << " " << errorPart;
    }
    EXPECT_FALSE(m_unit->VerifyPin("Leser-A", PIN_A));

    // The lock stays with the card, for every program; the other card is not affected.
    rksv::SoftwareUnit other(m_readers);
    EXPECT_FALSE(other.VerifyPin("Leser-A", PIN_A));
    EXPECT_TRUE(other.VerifyPin("Leser-B", PIN_B));

    const auto [output, status] = run("'" + std::string(test_paths::CARD_TOOL) + "' --readers '" + m_readers.string()
                                      + "' --reader Leser-A --unlock");
    ASSERT_EQ(status, 0) << output;
    EXPECT_EQ(signWith(*m_unit, PIN_A), "");
    EXPECT_TRUE(other.VerifyPin("Leser-A", PIN_A));

    // Three wrong PINs elsewhere end the session this unit has with the card, as on a card.
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(other.VerifyPin("Leser-A", PIN_B));
    }
    EXPECT_NE(signWith(*m_unit, PIN_A).find("ist gesperrt"), std::string::npos);
}

} // namespace

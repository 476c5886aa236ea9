#include "rksv/format/Jws.h"
#include "rksv/format/OpenSsl.h"
#include "rksv/format/Receipt.h"
#include "rksv/format/TurnoverCounter.h"
#include "tests/rksv/KnownAnswers.h"

#include <gtest/gtest.h>

namespace {

constexpr const char* COUNTER_FIELD = "Stand-Umsatz-Zaehler-AES256-ICM (8 bytes)";

// The text of the entry `name`; throws when it is missing or no text.
std::string text(const nlohmann::json& object, const char* name)
{
    return object.at(name).get<std::string>();
}

class ScenarioTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        nlohmann::json scenarios = rksv::test::readKnownAnswers("asit-scenarios-kat.json");
        if (!scenarios.is_discarded()) {
            s_scenarios = new nlohmann::json(std::move(scenarios));
        }
    }

    static void TearDownTestSuite()
    {
        delete s_scenarios;
        s_scenarios = nullptr;
    }

    void SetUp() override
    {
        ASSERT_NE(s_scenarios, nullptr) << "asit-scenarios-kat.json missing or malformed";
        ASSERT_EQ(s_scenarios->size(), 8U);
    }

    static nlohmann::json* s_scenarios;
};

nlohmann::json* ScenarioTest::s_scenarios = nullptr;

TEST_F(ScenarioTest, startChainValueOfEveryScenario)
{
    for (const nlohmann::json& scenario : *s_scenarios) {
        EXPECT_EQ(rksv::startChainValue(text(scenario, "cashBoxId")), text(scenario, "chainValueForStartReceipt"))
            << text(scenario, "scenario");
    }
}

// Every receipt of every scenario: the amounts parse, the running counter (training excluded, storno included)
// matches, and the counter field is the marker or the encryption of the counter after the receipt.
TEST_F(ScenarioTest, amountsCounterAndEncryptedCounterOfEveryReceipt)
{
    std::size_t checkedEncrypted = 0;
    std::size_t checkedMarkers = 0;
    for (const nlohmann::json& scenario : *s_scenarios) {
        SCOPED_TRACE(text(scenario, "scenario"));
        const std::optional<rksv::AesKey> key = rksv::parseAesKey(text(scenario, "base64AesKey"));
        ASSERT_TRUE(key.has_value());
        const std::string kassenId = text(scenario, "cashBoxId");
        std::int64_t counter = 0;
        for (const nlohmann::json& receipt : scenario.at("receipts")) {
            const std::string belegnummer = text(receipt, "Belegnummer");
            const std::string type = text(receipt, "typeOfReceipt");
            SCOPED_TRACE(belegnummer + " " + type);
            std::int64_t sum = 0;
            const auto amounts = receipt.at("amounts").get<std::vector<std::string>>();
            ASSERT_EQ(amounts.size(), 5U);
            for (const std::string& amount : amounts) {
                const std::optional<std::int64_t> cents = rksv::parseAmount(amount);
                ASSERT_TRUE(cents.has_value()) << amount;
                EXPECT_EQ(rksv::formatAmount(*cents), amount);
                sum += *cents;
            }
            if (type != "TRAINING_BELEG") {
                counter += sum;
            }
            ASSERT_EQ(counter, receipt.at("turnoverCounterCentsAfter").get<std::int64_t>());

            const std::string field = text(receipt, COUNTER_FIELD);
            if (type == "TRAINING_BELEG") {
                EXPECT_EQ(field, rksv::TRAINING_MARKER);
                ++checkedMarkers;
            } else if (type == "STORNO_BELEG") {
                EXPECT_EQ(field, rksv::STORNO_MARKER);
                ++checkedMarkers;
            } else {
                EXPECT_EQ(rksv::encryptTurnoverCounter(*key, kassenId, belegnummer, counter), field);
                EXPECT_EQ(rksv::decryptTurnoverCounter(*key, kassenId, belegnummer, field), counter);
                ++checkedEncrypted;
            }
        }
    }
    EXPECT_EQ(checkedEncrypted + checkedMarkers, 650U);
    EXPECT_EQ(checkedMarkers, 268U);
}

// Builds each scenario as a chain of compact JWS (signed, or failure-marked where the scenario says the unit was
// damaged), goes through the machine-readable code and back, and checks signatures and chaining.
TEST_F(ScenarioTest, everyScenarioChainsSignsAndConverts)
{
    const rksv::EvpPkeyPtr key = rksv::generateP256Key();
    ASSERT_TRUE(key);
    for (const nlohmann::json& scenario : *s_scenarios) {
        SCOPED_TRACE(text(scenario, "scenario"));
        std::string previousJws;
        for (const nlohmann::json& receipt : scenario.at("receipts")) {
            SCOPED_TRACE(text(receipt, "Belegnummer"));
            rksv::ReceiptData data;
            data.kassenAlgorithmus = "R1-AT0";
            data.kassenId = text(scenario, "cashBoxId");
            data.belegnummer = text(receipt, "Belegnummer");
            data.belegDatumUhrzeit = text(receipt, "Beleg-Datum-Uhrzeit");
            const auto amounts = receipt.at("amounts").get<std::vector<std::string>>();
            data.betragSatzNormal = *rksv::parseAmount(amounts.at(0));
            data.betragSatzErmaessigt1 = *rksv::parseAmount(amounts.at(1));
            data.betragSatzErmaessigt2 = *rksv::parseAmount(amounts.at(2));
            data.betragSatzNull = *rksv::parseAmount(amounts.at(3));
            data.betragSatzBesonders = *rksv::parseAmount(amounts.at(4));
            data.standUmsatzZaehler = text(receipt, COUNTER_FIELD);
            data.zertifikatSeriennummer = "U:ATU12345678-K0";
            data.sigVorigerBeleg =
                previousJws.empty() ? rksv::startChainValue(data.kassenId) : rksv::chainValue(previousJws);
            if (previousJws.empty()) {
                EXPECT_EQ(data.sigVorigerBeleg, text(scenario, "chainValueForStartReceipt"));
            }

            std::string fehler;
            const std::optional<std::string> signedData = rksv::buildSignedData(data, &fehler);
            ASSERT_TRUE(signedData.has_value()) << fehler;
            const bool damaged = receipt.at("signatureDeviceDamaged").get<bool>();
            const std::optional<std::string> jws =
                damaged ? rksv::failedCompactJws(*signedData) : rksv::signCompactJws(key.get(), *signedData, &fehler);
            ASSERT_TRUE(jws.has_value()) << fehler;
            EXPECT_EQ(rksv::verifyCompactJws(*jws, key.get()), !damaged);
            EXPECT_EQ(rksv::isFailedSignature(*jws), damaged);

            const std::optional<std::string> code = rksv::jwsToMachineCode(*jws);
            ASSERT_TRUE(code.has_value());
            EXPECT_EQ(code->ends_with(rksv::FAILED_SIGNATURE_CODE), damaged);
            EXPECT_EQ(rksv::machineCodeToJws(*code), *jws);
            EXPECT_EQ(rksv::parseSignedData(*rksv::signedDataOfJws(*jws)), data);
            previousJws = *jws;
        }
    }
}

} // namespace

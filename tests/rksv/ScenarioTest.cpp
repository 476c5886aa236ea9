#include "rksv/Jws.h"
#include "rksv/OpenSsl.h"
#include "rksv/Receipt.h"
#include "rksv/TurnoverCounter.h"
#include "tests/rksv/JsonReader.h"

#include <gtest/gtest.h>

namespace {

using rksv::test::JsonValue;

constexpr const char* COUNTER_FIELD = "Stand-Umsatz-Zaehler-AES256-ICM (8 bytes)";

class ScenarioTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        const std::optional<JsonValue> scenarios = rksv::test::readJsonFile("asit-scenarios-kat.json");
        if (scenarios) {
            s_scenarios = new JsonValue(*scenarios);
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
        ASSERT_EQ(s_scenarios->items.size(), 8U);
    }

    static JsonValue* s_scenarios;
};

JsonValue* ScenarioTest::s_scenarios = nullptr;

TEST_F(ScenarioTest, startChainValueOfEveryScenario)
{
    for (const JsonValue& scenario : s_scenarios->items) {
        EXPECT_EQ(rksv::startChainValue(scenario["cashBoxId"].text), scenario["chainValueForStartReceipt"].text)
            << scenario["scenario"].text;
    }
}

// Every receipt of every scenario: the amounts parse, the running counter (training excluded, storno included)
// matches, and the counter field is the marker or the encryption of the counter after the receipt.
TEST_F(ScenarioTest, amountsCounterAndEncryptedCounterOfEveryReceipt)
{
    std::size_t checkedEncrypted = 0;
    std::size_t checkedMarkers = 0;
    for (const JsonValue& scenario : s_scenarios->items) {
        SCOPED_TRACE(scenario["scenario"].text);
        const std::optional<rksv::AesKey> key = rksv::parseAesKey(scenario["base64AesKey"].text);
        ASSERT_TRUE(key.has_value());
        const std::string& kassenId = scenario["cashBoxId"].text;
        std::int64_t counter = 0;
        for (const JsonValue& receipt : scenario["receipts"].items) {
            const std::string& belegnummer = receipt["Belegnummer"].text;
            const std::string& type = receipt["typeOfReceipt"].text;
            SCOPED_TRACE(belegnummer + " " + type);
            std::int64_t sum = 0;
            ASSERT_EQ(receipt["amounts"].items.size(), 5U);
            for (const JsonValue& amount : receipt["amounts"].items) {
                const std::optional<std::int64_t> cents = rksv::parseAmount(amount.text);
                ASSERT_TRUE(cents.has_value()) << amount.text;
                EXPECT_EQ(rksv::formatAmount(*cents), amount.text);
                sum += *cents;
            }
            if (type != "TRAINING_BELEG") {
                counter += sum;
            }
            ASSERT_EQ(counter, receipt["turnoverCounterCentsAfter"].integer);

            const std::string& field = receipt[COUNTER_FIELD].text;
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
    for (const JsonValue& scenario : s_scenarios->items) {
        SCOPED_TRACE(scenario["scenario"].text);
        std::string previousJws;
        for (const JsonValue& receipt : scenario["receipts"].items) {
            SCOPED_TRACE(receipt["Belegnummer"].text);
            rksv::ReceiptData data;
            data.kassenAlgorithmus = "R1-AT0";
            data.kassenId = scenario["cashBoxId"].text;
            data.belegnummer = receipt["Belegnummer"].text;
            data.belegDatumUhrzeit = receipt["Beleg-Datum-Uhrzeit"].text;
            const std::vector<JsonValue>& amounts = receipt["amounts"].items;
            data.betragSatzNormal = *rksv::parseAmount(amounts[0].text);
            data.betragSatzErmaessigt1 = *rksv::parseAmount(amounts[1].text);
            data.betragSatzErmaessigt2 = *rksv::parseAmount(amounts[2].text);
            data.betragSatzNull = *rksv::parseAmount(amounts[3].text);
            data.betragSatzBesonders = *rksv::parseAmount(amounts[4].text);
            data.standUmsatzZaehler = receipt[COUNTER_FIELD].text;
            data.zertifikatSeriennummer = "U:ATU12345678-K0";
            data.sigVorigerBeleg =
                previousJws.empty() ? rksv::startChainValue(data.kassenId) : rksv::chainValue(previousJws);
            if (previousJws.empty()) {
                EXPECT_EQ(data.sigVorigerBeleg, scenario["chainValueForStartReceipt"].text);
            }

            std::string fehler;
            const std::optional<std::string> signedData = rksv::buildSignedData(data, &fehler);
            ASSERT_TRUE(signedData.has_value()) << fehler;
            const bool damaged = receipt["signatureDeviceDamaged"].boolean;
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

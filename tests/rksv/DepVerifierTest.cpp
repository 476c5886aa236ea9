// The DEP check on DEPs of the regulator's test scenarios, signed here with a fresh key and certificate: sound ones
// check as in order, tampered copies give exactly the fault made, and what is no DEP gives an error and nothing else.
#include "rksv/depcheck/DepVerifier.h"

#include "rksv/format/Encoding.h"
#include "rksv/format/Jws.h"
#include "rksv/format/Receipt.h"
#include "tests/rksv/KnownAnswers.h"
#include "tests/support/DepMaker.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <functional>
#include <sstream>
#include <tuple>

namespace {

using testsupport::DepReceipt;

const char* const COUNTER_FIELD = "Stand-Umsatz-Zaehler-AES256-ICM (8 bytes)";

const nlohmann::json& scenarios()
{
    static const nlohmann::json read = rksv::test::readKnownAnswers("asit-scenarios-kat.json");
    return read;
}

std::vector<DepReceipt> receiptsOf(const nlohmann::json& scenario)
{
    std::vector<DepReceipt> receipts;
    for (const auto& entry : scenario.at("receipts")) {
        DepReceipt& receipt = receipts.emplace_back();
        receipt.id = entry.at("Belegnummer").get<std::string>();
        receipt.dateTime = entry.at("Beleg-Datum-Uhrzeit").get<std::string>();
        for (std::size_t i = 0; i < receipt.amounts.size(); ++i) {
            receipt.amounts[i] = rksv::parseAmount(entry.at("amounts").at(i).get<std::string>()).value();
        }
        const auto type = entry.at("typeOfReceipt").get<std::string>();
        receipt.kind = type == "TRAINING_BELEG" ? DepReceipt::Kind::Training
                       : type == "STORNO_BELEG" ? DepReceipt::Kind::Storno
                                                : DepReceipt::Kind::Normal;
        receipt.failed = entry.at("signatureDeviceDamaged").get<bool>();
    }
    return receipts;
}

rksv::AesKey keyOf(const nlohmann::json& scenario)
{
    return rksv::parseAesKey(scenario.at("base64AesKey").get<std::string>()).value();
}

rksv::DepCheckResult check(const std::string& dep,
                           const rksv::AesKey& key,
                           std::size_t idsInMemory = 1 << 17,
                           unsigned threads = 2,
                           const rksv::DepTrustAnchors* trust = nullptr,
                           const rksv::DepPublicKeys* publicKeys = nullptr)
{
    std::istringstream in(dep);
    rksv::DepCheckOptions options;
    options.key = key;
    options.maxFaults = 3;
    options.threads = threads;
    options.idsInMemory = idsInMemory;
    options.trust = trust;
    options.publicKeys = publicKeys;
    return rksv::checkDep(in, options);
}

std::string faultsOf(const rksv::DepCheckResult& result)
{
    std::string text = result.summary();
    for (const auto& fault : result.faults) {
        text += "\n  " + std::to_string(fault.position) + " " + fault.receiptId + ": " + fault.text;
    }
    for (const auto& warning : result.warnings) {
        text += "\n  " + std::to_string(warning.position) + " " + warning.receiptId + ": " + warning.text;
    }
    return text;
}

class DepVerifierTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(scenarios().size(), 8U) << "asit-scenarios-kat.json missing or malformed"; }

    // The cards' CA, the trust anchor; a CA of the same name with another key; cards it issued.
    testsupport::TestSigner ca{0x0ca1, nullptr, "DEP-Test-CA", true};
    testsupport::TestSigner otherCa{0x0ca2, nullptr, "DEP-Test-CA", true};
    testsupport::TestSigner signer{0x5a17c0de, &ca};
    testsupport::TestSigner secondSigner{0x0badcafe, &ca};
    rksv::DepTrustAnchors trust = [this] {
        rksv::DepTrustAnchors anchors;
        anchors.add(ca.certificate.get());
        return anchors;
    }();
};

// Every scenario as one group; the counters the signer encrypts are the vectors' own. Then two tills in one DEP,
// each over two groups, the second group listing its receipts before its certificates.
TEST_F(DepVerifierTest, ScenariosCheckAsInOrder)
{
    for (const auto& scenario : scenarios()) {
        SCOPED_TRACE(scenario.at("scenario").get<std::string>());
        testsupport::TillSigner till(signer, scenario.at("cashBoxId").get<std::string>(), keyOf(scenario));
        std::vector<std::string> jws;
        for (const auto& receipt : receiptsOf(scenario)) {
            jws.push_back(till.next(receipt));
            ASSERT_EQ(till.lastCounterField(),
                      scenario.at("receipts").at(jws.size() - 1).at(COUNTER_FIELD).get<std::string>());
        }
        const auto result = check(
            testsupport::depOfGroups({testsupport::depGroup(signer.certificateBase64, {ca.certificateBase64}, jws)}),
            keyOf(scenario),
            1 << 17,
            2,
            &trust);
        EXPECT_TRUE(result.ok()) << faultsOf(result);
        EXPECT_EQ(result.summary(), std::to_string(jws.size()) + " Belege in 1 Gruppe geprüft: in Ordnung");
    }

    const auto& first = scenarios().at(0);
    testsupport::TillSigner tillA(signer, "KASSA-A", keyOf(first));
    testsupport::TillSigner tillB(signer, "KASSA-B", keyOf(first));
    std::vector<std::string> groups[2];
    const auto receiptsA = receiptsOf(first);
    const auto receiptsB = receiptsOf(scenarios().at(1));
    for (std::size_t i = 0; i < std::max(receiptsA.size(), receiptsB.size()); ++i) {
        if (i == 40) {
            tillA.changeSigner(secondSigner);
            tillB.changeSigner(secondSigner);
        }
        for (auto [till, receipts] : {std::pair{&tillA, &receiptsA}, std::pair{&tillB, &receiptsB}}) {
            if (i < receipts->size()) {
                groups[i < 40 ? 0 : 1].push_back(till->next((*receipts)[i]));
            }
        }
    }
    const auto dep = testsupport::depOfGroups(
        {testsupport::depGroup(signer.certificateBase64, {}, groups[0]),
         testsupport::depGroup(secondSigner.certificateBase64, {ca.certificateBase64}, groups[1], true)});
    // One thread verifies both groups, each with its own certificate; the first group lists no issuer, and its
    // certificate is trusted as registered.
    rksv::DepTrustAnchors registered;
    registered.add(signer.certificate.get());
    registered.add(ca.certificate.get());
    const auto result = check(dep, keyOf(first), 7, 1, &registered);
    EXPECT_TRUE(result.ok()) << faultsOf(result);
    EXPECT_EQ(result.receipts, static_cast<long>(receiptsA.size() + receiptsB.size()));
    EXPECT_EQ(result.groups, 2);
}

// One DEP of scenario 1 as tampered before or after signing; "{serial}" and "{start}" in the expected text stand for
// the certificate's serial and what the start receipt's counter decrypts to with the key checked.
struct Tamper
{
    const char* name;
    std::function<void(std::vector<DepReceipt>&)> beforeSigning;
    std::function<void(std::vector<std::string>& jws, std::string& certificate, rksv::AesKey& key)> afterSigning;
    long position;
    std::string text;
    long faultCount = 1; //!< 0: one per receipt with an encrypted counter
    bool receiptsFirst = false;
    std::size_t idsInMemory = 1 << 17;
    //! Signed in full by a card of the same serial and name that no anchor vouches for.
    bool selfMadeCard = false;
    //! The group lists a CA of the right name whose key did not sign the card's certificate.
    bool foreignIssuer = false;
};

// A changed signature also breaks the chain of the receipt after it, which covers the whole JWS.
constexpr long WITH_NEXT_CHAIN = 2;

// The Belegnummer field, also of signed data that does not parse.
std::string idOf(const std::string& jws)
{
    return std::string(rksv::splitUnderscore(rksv::signedDataOfJws(jws).value()).at(3));
}

void flipSignature(std::string& jws)
{
    char& c = jws[jws.rfind('.') + 1];
    c = c == 'A' ? 'B' : 'A';
}

TEST_F(DepVerifierTest, EachTamperingGivesExactlyItsFault)
{
    using Receipts = std::vector<DepReceipt>;
    using Jws = std::vector<std::string>;
    const auto none = [](Receipts&) {};
    const auto keep = [](Jws&, std::string&, rksv::AesKey&) {};
    const std::vector<Tamper> table = {
        {"signature byte changed",
         none,
         [](Jws& j, std::string&, rksv::AesKey&) { flipSignature(j[1]); },
         2,
         "Signatur ungültig",
         WITH_NEXT_CHAIN},
        {"signature byte changed, receipts before the certificate",
         none,
         [](Jws& j, std::string&, rksv::AesKey&) { flipSignature(j[4]); },
         5,
         "Signatur ungültig",
         WITH_NEXT_CHAIN,
         true},
        {"the start receipt left out",
         none,
         [](Jws& j, std::string&, rksv::AesKey&) { j.erase(j.begin()); },
         1,
         "Erster Beleg der Kassa CASHBOX-DEMO-1 ist kein Startbeleg (nicht mit der Kassen-ID verkettet)"},
        {"certificate not Base64 DER",
         none,
         [](Jws&, std::string& c, rksv::AesKey&) { c = "S2VpbiBaZXJ0aWZpa2F0"; },
         0,
         "Gruppe 1: Signaturzertifikat ist kein Base64-DER-Zertifikat"},
        {"no certificate",
         none,
         [](Jws&, std::string& c, rksv::AesKey&) { c.clear(); },
         0,
         "Gruppe 1: kein Signaturzertifikat, die Signaturen sind nicht prüfbar"},
        {"serial mismatch",
         [](Receipts& r) { r[4].serial = "ff"; },
         keep,
         5,
         "Zertifikat-Seriennummer ff ist nicht die des Signaturzertifikats ({serial})"},
        {"chain broken: a null receipt removed",
         none,
         [](Jws& j, std::string&, rksv::AesKey&) { j.erase(j.begin() + 2); },
         3,
         "Verkettung unterbrochen: Sig-Voriger-Beleg passt nicht zum vorigen Beleg"},
        {"counter wrong: the last receipt re-signed with 1,00 more",
         [](Receipts& r) {
             r.back().counter = 0; // the sum before, decided below
             r.back().amounts[0] += 100;
             // No failure run before it, so it need not be the collective null receipt.
             r[r.size() - 2].failed = false;
         },
         keep,
         81,
         "Umsatzzähler {last} statt {last+1}"},
        {"duplicate receipt id",
         [](Receipts& r) { r[5].id = r[4].id; },
         keep,
         6,
         "Belegnummer CASHBOX-DEMO-1-Receipt-ID-5 kommt schon bei Beleg 5 vor"},
        {"duplicate receipt id, ids in sorted runs merged on the way",
         [](Receipts& r) { r[70].id = r[2].id; },
         keep,
         71,
         "Belegnummer CASHBOX-DEMO-1-Receipt-ID-3 kommt schon bei Beleg 3 vor",
         1,
         false,
         1},
        {"start receipt with counter 5,00",
         [](Receipts& r) { r[0].counter = 500; },
         keep,
         1,
         "Umsatzzähler des Startbelegs 5,00 statt 0,00 – ist der AES-Schlüssel falsch?"},
        {"date going back",
         [](Receipts& r) { r[3].dateTime = r[1].dateTime; },
         keep,
         4,
         "Datum-Uhrzeit 2016-03-12T04:58:09 liegt vor der des vorigen Belegs (2016-03-13T05:59:10)"},
        {"failure-marked start receipt",
         [](Receipts& r) { r[0].failed = true; },
         keep,
         1,
         "Startbeleg nicht signiert (Sicherheitseinrichtung ausgefallen)"},
        {"no collective receipt: turnover right after the failure run",
         [](Receipts& r) { r[6].amounts[0] = 100; },
         keep,
         7,
         "Kein Sammelbeleg nach Ausfall der Sicherheitseinrichtung: der erste signierte Beleg danach ist kein "
         "Nullbeleg"},
        {"a second start receipt: chained to the till id, the sum back at 0",
         [](Receipts& r) { r[8].restart = true; },
         keep,
         9,
         "Verkettung unterbrochen: zweiter Startbeleg der Kassa CASHBOX-DEMO-1 (mit der Kassen-ID verkettet)"},
        {"re-signed in full by a self-made card",
         none,
         keep,
         0,
         "Gruppe 1: Signaturzertifikat nicht vertrauenswürdig: CN=DEP-Testkarte, Seriennummer {serial} (weder "
         "registriert noch von einer bekannten Zertifizierungsstelle)",
         1,
         false,
         1 << 17,
         true},
        {"an issuer of the right name that did not sign the certificate",
         none,
         keep,
         0,
         "Gruppe 1: Zertifizierungsstelle 1 hat das Signaturzertifikat nicht ausgestellt (Signatur oder Aussteller "
         "passt nicht)",
         1,
         false,
         1 << 17,
         false,
         true},
        {"serial of another number, in upper case: named as the receipt spells it",
         [](Receipts& r) { r[4].serial = "5A17C0DF"; },
         keep,
         5,
         "Zertifikat-Seriennummer 5A17C0DF ist nicht die des Signaturzertifikats ({serial})"},
        {"an impossible date: 30 February",
         [](Receipts& r) {
             r[3].editSignedData = [](std::string& data) { data.replace(data.find("_2016-03-"), 11, "_2016-02-30"); };
         },
         keep,
         4,
         "Signierte Daten ungültig: Ungültiges Belegdatum: 2016-02-30T07:00:11"},
        {"a closed system's provider code under a certificate",
         [](Receipts& r) { r[4].provider = "R1-AT0"; },
         keep,
         5,
         "Anbieterkennung R1-AT0 (geschlossenes System) in einer Gruppe mit Signaturzertifikat"},
        {"a closed system's provider code, receipts before the certificate",
         [](Receipts& r) { r[10].provider = "R1-AT0"; },
         keep,
         11,
         "Anbieterkennung R1-AT0 (geschlossenes System) in einer Gruppe mit Signaturzertifikat",
         1,
         true},
        {"wrong AES key",
         none,
         [](Jws&, std::string&, rksv::AesKey& k) { k[7] ^= 0x40; },
         1,
         "Umsatzzähler des Startbelegs {start} statt 0,00 – ist der AES-Schlüssel falsch?",
         0},
    };
    const auto& scenario = scenarios().at(0);
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        auto receipts = receiptsOf(scenario);
        row.beforeSigning(receipts);
        std::string text = row.text;
        const auto replace = [&text](const std::string& placeholder, const std::string& value) {
            if (const auto at = text.find(placeholder); at != std::string::npos) {
                text.replace(at, placeholder.size(), value);
            }
        };
        if (receipts.back().counter) {
            const auto last = scenario.at("receipts").back().at("turnoverCounterCentsAfter").get<std::int64_t>();
            receipts.back().counter = last;
            replace("{last}", rksv::formatAmount(last));
            replace("{last+1}", rksv::formatAmount(last + 100));
        }
        const testsupport::TestSigner selfMade{0x5a17c0de};
        const auto& card = row.selfMadeCard ? selfMade : signer;
        testsupport::TillSigner till(card, scenario.at("cashBoxId").get<std::string>(), keyOf(scenario));
        std::vector<std::string> jws;
        for (const auto& receipt : receipts) {
            jws.push_back(till.next(receipt));
        }
        std::string certificate = card.certificateBase64;
        auto key = keyOf(scenario);
        row.afterSigning(jws, certificate, key);
        const auto startData = rksv::parseSignedData(*rksv::signedDataOfJws(jws[0]));
        replace("{serial}", signer.serial);
        replace("{start}",
                rksv::formatAmount(*rksv::decryptTurnoverCounter(
                    key, startData->kassenId, startData->belegnummer, startData->standUmsatzZaehler)));
        std::vector<std::string> issuers{(row.foreignIssuer ? otherCa : ca).certificateBase64};
        if (row.selfMadeCard) {
            issuers.clear(); // a self-signed card has no issuer to list
        }
        const auto dep =
            testsupport::depOfGroups({testsupport::depGroup(certificate, issuers, jws, row.receiptsFirst)});
        const auto result = check(dep, key, row.idsInMemory, 2, &trust);

        long encrypted = 0;
        for (const auto& receipt : receipts) {
            encrypted += receipt.kind == DepReceipt::Kind::Normal ? 1 : 0;
        }
        EXPECT_EQ(result.faultCount, row.faultCount != 0 ? row.faultCount : encrypted) << faultsOf(result);
        ASSERT_EQ(result.faults.size(), std::min<std::size_t>(3, result.faultCount)) << faultsOf(result);
        const auto& fault = result.faults.front();
        EXPECT_EQ(fault.position, row.position);
        EXPECT_EQ(fault.receiptId, row.position == 0 ? "" : idOf(jws.at(static_cast<std::size_t>(row.position - 1))));
        EXPECT_EQ(fault.text, text);
        EXPECT_EQ(fault.group, 1);
        for (std::size_t i = 1; i < result.faults.size(); ++i) {
            EXPECT_LT(result.faults[i - 1].position, result.faults[i].position) << "faults in file order";
        }
        EXPECT_EQ(result.summary(),
                  std::to_string(jws.size()) + " Belege in 1 Gruppe geprüft: " + std::to_string(result.faultCount)
                      + " Fehler");
    }
}

TEST_F(DepVerifierTest, WhatIsNoDepGivesAnErrorAndNothingElse)
{
    const std::vector<std::pair<std::string, std::string>> table = {
        {"{\"Belege-Gruppe\": [", "Kein DEP: kein gültiges JSON (die Datei endet vorzeitig)"},
        {"", "Kein DEP: kein gültiges JSON (die Datei endet vorzeitig)"},
        {"{\"Belege-Gruppe\": [{\"Signaturzertifikat\": \"\"}]}}",
         "Kein DEP: kein gültiges JSON (Fehler bei Zeichen 48)"},
        {"{\"Kassa\": {\"Belege-Gruppe\": []}}", "Kein DEP: das Element „Belege-Gruppe“ fehlt"},
        {"[{\"Belege-Gruppe\": []}]", "Kein DEP: die Datei ist kein JSON-Objekt"},
        {"{\"Belege-Gruppe\": {}}", "Kein DEP: „Belege-Gruppe“ ist keine Liste"},
        {"{\"Belege-Gruppe\": [{\"Signaturzertifikat\": \"\", \"Belege-kompakt\": [1]}]}",
         "Kein DEP: ein Beleg ist kein Text"},
    };
    for (const auto& [text, error] : table) {
        SCOPED_TRACE(text);
        const auto result = check(text, {});
        EXPECT_EQ(result.error, error);
        EXPECT_EQ(result.summary(), error);
        EXPECT_FALSE(result.ok());
        EXPECT_EQ(result.faultCount + result.receipts + result.groups, 0);
        EXPECT_TRUE(result.faults.empty());
    }
    const auto missing = rksv::checkDepFile("/nicht/da.json", {});
    EXPECT_EQ(missing.error, "Datei /nicht/da.json nicht lesbar");
    // A DEP without receipts is sound JSON, yet proves nothing: never "in Ordnung".
    for (const std::string empty : {"{\"Belege-Gruppe\": []}", "{\"Belege-Gruppe\" : [ ]}"}) {
        const auto result = check(empty, {});
        EXPECT_FALSE(result.ok()) << empty;
        EXPECT_EQ(result.summary(), "Das DEP enthält keine Belege, es ist nichts geprüft");
    }
}

// A file checked to its end reports its size at the last progress call; a check whose stop flag is set ends as
// cancelled, and says so.
TEST_F(DepVerifierTest, ProgressAndStop)
{
    const auto& scenario = scenarios().at(2);
    testsupport::TillSigner till(signer, scenario.at("cashBoxId").get<std::string>(), keyOf(scenario));
    std::vector<std::string> jws;
    for (const auto& receipt : receiptsOf(scenario)) {
        jws.push_back(till.next(receipt));
    }
    testsupport::TempDir dir;
    const auto path = testsupport::writeBytes(
        dir.file("dep.json"),
        testsupport::depOfGroups({testsupport::depGroup(signer.certificateBase64, {}, jws, true)}));
    std::atomic<bool> stop = false;
    rksv::DepCheckOptions options;
    options.key = keyOf(scenario);
    std::vector<rksv::DepProgress> calls;
    options.progress = [&calls](const rksv::DepProgress& progress) { calls.push_back(progress); };
    options.stop = &stop;
    const auto result = rksv::checkDepFile(path, options);
    EXPECT_TRUE(result.ok()) << faultsOf(result);
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().receipts, static_cast<long>(jws.size()));
    EXPECT_EQ(calls.back().bytesRead, calls.back().bytesTotal);
    EXPECT_EQ(calls.back().bytesTotal, testsupport::readBytes(path).size());

    stop = true;
    const auto cancelled = rksv::checkDepFile(path, options);
    EXPECT_TRUE(cancelled.cancelled);
    EXPECT_FALSE(cancelled.ok());
    EXPECT_LE(cancelled.receipts, 1) << "the stop flag is checked after each receipt";
    EXPECT_TRUE(cancelled.summary().starts_with("Prüfung abgebrochen nach ")) << cancelled.summary();
}

// A serial is a number: the receipts may spell the certificate's serial in upper case or with a leading zero.
TEST_F(DepVerifierTest, SerialsAreComparedAsNumbers)
{
    const testsupport::TestSigner card{0x0abcdef1, &ca};
    const auto& scenario = scenarios().at(0);
    auto receipts = receiptsOf(scenario);
    ASSERT_EQ(card.serial, "0abcdef1");
    const std::vector<std::string> spellings = {"abcdef1", "0ABCDEF1", "000ABCdef1"};
    for (std::size_t i = 0; i < receipts.size(); ++i) {
        receipts[i].serial = spellings[i % spellings.size()];
    }
    testsupport::TillSigner till(card, scenario.at("cashBoxId").get<std::string>(), keyOf(scenario));
    std::vector<std::string> jws;
    for (const auto& receipt : receipts) {
        jws.push_back(till.next(receipt));
    }
    const auto result =
        check(testsupport::depOfGroups({testsupport::depGroup(card.certificateBase64, {ca.certificateBase64}, jws)}),
              keyOf(scenario),
              1 << 17,
              2,
              &trust);
    EXPECT_TRUE(result.ok()) << faultsOf(result);
}

// Where the regulation gives no rule the DEP passes, and the auditor is shown a warning naming the receipt.
TEST_F(DepVerifierTest, WhatTheRegulationLeavesOpenIsAWarning)
{
    using Receipts = std::vector<DepReceipt>;
    const std::vector<std::tuple<const char*, std::function<void(Receipts&)>, long, std::string>> table = {
        {"the counter's length changes from 8 to 5 bytes",
         [](Receipts& r) {
             for (std::size_t i = 5; i < r.size(); ++i) {
                 r[i].counterBytes = 5;
             }
         },
         6,
         "Warnung: Umsatzzähler hat 5 Bytes statt 8 wie bisher in dieser Kassa"},
        {"an amount -0,00",
         [](Receipts& r) {
             r[3].editSignedData = [](std::string& data) { data.replace(data.rfind("_0,00_"), 6, "_-0,00_"); };
         },
         4,
         "Warnung: Betrag -0,00 (negative Null), als 0,00 gelesen"},
        {"the serial in decimal",
         [](Receipts& r) { r[4].serial = "1511506142"; },
         5,
         "Warnung: Zertifikat-Seriennummer 1511506142 ist dezimal geschrieben (hexadezimal 5a17c0de)"},
    };
    const auto& scenario = scenarios().at(0);
    for (const auto& [name, edit, position, text] : table) {
        SCOPED_TRACE(name);
        auto receipts = receiptsOf(scenario);
        edit(receipts);
        testsupport::TillSigner till(signer, scenario.at("cashBoxId").get<std::string>(), keyOf(scenario));
        std::vector<std::string> jws;
        for (const auto& receipt : receipts) {
            jws.push_back(till.next(receipt));
        }
        const auto result = check(
            testsupport::depOfGroups({testsupport::depGroup(signer.certificateBase64, {ca.certificateBase64}, jws)}),
            keyOf(scenario),
            1 << 17,
            2,
            &trust);
        EXPECT_TRUE(result.ok()) << faultsOf(result);
        ASSERT_EQ(result.warningCount, 1) << faultsOf(result);
        EXPECT_EQ(result.warnings.at(0).position, position);
        EXPECT_EQ(result.warnings.at(0).text, text);
        EXPECT_EQ(result.summary(), std::to_string(jws.size()) + " Belege in 1 Gruppe geprüft: in Ordnung, 1 Warnung");
    }
}

// A closed system's DEP: receipts with R1-AT0 in a group without a certificate, checked with the public key the
// auditor gives per till id or per the receipts' key name, from a key file; without its key a till is one fault, with
// another key every signature is.
TEST_F(DepVerifierTest, ClosedSystemsAreCheckedWithTheAuditorsKeys)
{
    const auto& scenario = scenarios().at(0);
    const auto kassenId = scenario.at("cashBoxId").get<std::string>();
    const std::string keyName = "U:ATU12345678-K0";
    testsupport::TillSigner till(signer, kassenId, keyOf(scenario));
    std::vector<std::string> jws;
    long signedReceipts = 0;
    for (auto receipt : receiptsOf(scenario)) {
        receipt.provider = "R1-AT0";
        receipt.serial = keyName;
        signedReceipts += receipt.failed ? 0 : 1;
        jws.push_back(till.next(receipt));
    }
    const auto publicKeyBase64 = [](const testsupport::TestSigner& card) {
        unsigned char* der = nullptr;
        const int length = i2d_PUBKEY(card.key.get(), &der);
        std::string text = rksv::base64Encode({der, static_cast<std::size_t>(std::max(length, 0))});
        OPENSSL_free(der);
        return text;
    };
    testsupport::TempDir dir;
    const auto keyFile = [&dir](const std::string& name, const std::string& text) {
        return testsupport::writeBytes(dir.file(name), text);
    };
    const testsupport::TestSigner other{0x0bad};
    struct Row
    {
        const char* name;
        std::string keys; //!< the key file's text; "" for none
        bool receiptsFirst;
        std::string faults;
    };
    const std::string inOrder = std::to_string(jws.size()) + " Belege in 1 Gruppe geprüft: in Ordnung";
    const std::vector<Row> table = {
        {"by till id", "# Prüfschlüssel\n\n" + kassenId + "  " + publicKeyBase64(signer) + "\r\n", false, inOrder},
        {"by key name, as a certificate, receipts first",
         keyName + " " + signer.certificateBase64 + "\n",
         true,
         inOrder},
        {"no key",
         "",
         false,
         std::to_string(jws.size()) + " Belege in 1 Gruppe geprüft: 1 Fehler\n  1 " + idOf(jws[0])
             + ": Kein öffentlicher Schlüssel für die Kassa " + kassenId
             + " (geschlossenes System, R1-AT0): ihre Signaturen sind nicht prüfbar"},
        {"another till's key", kassenId + " " + publicKeyBase64(other) + "\n", false, ""},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        rksv::DepPublicKeys keys;
        std::string error;
        ASSERT_TRUE(row.keys.empty() || keys.addFromFile(keyFile("keys.txt", row.keys), error)) << error;
        const auto result = check(testsupport::depOfGroups({testsupport::depGroup("", {}, jws, row.receiptsFirst)}),
                                  keyOf(scenario),
                                  1 << 17,
                                  2,
                                  &trust,
                                  &keys);
        if (row.faults.empty()) {
            EXPECT_EQ(result.faultCount, signedReceipts) << faultsOf(result);
            EXPECT_EQ(result.faults.at(0).text, "Signatur ungültig");
        } else {
            EXPECT_EQ(faultsOf(result), row.faults);
        }
    }

    // Key files that are wrong name their line.
    const std::vector<std::pair<std::string, std::string>> wrong = {
        {"# nur ein Kommentar\n", " enthält keinen Schlüssel"},
        {"\n" + kassenId + "\n", ", Zeile 2: erwartet „<Kassen-ID> <öffentlicher Schlüssel>“"},
        {kassenId + " S2VpbiBTY2hsw7xzc2Vs\n", ", Zeile 1: kein öffentlicher Schlüssel (Base64 DER) für " + kassenId},
    };
    for (const auto& [text, why] : wrong) {
        rksv::DepPublicKeys keys;
        std::string error;
        const auto path = keyFile("falsch.txt", text);
        EXPECT_FALSE(keys.addFromFile(path, error));
        EXPECT_EQ(error, (why.starts_with(",") ? "Datei " + path : path) + why);
    }
}

// Issuers in the order the regulation lists them: the card's issuer first, then its issuer. The anchor may be the
// root, the intermediate or the card itself; listed the other way round, the chain is broken at its first link.
TEST_F(DepVerifierTest, TheIssuersFormTheChainToAnAnchor)
{
    const testsupport::TestSigner intermediate{0x0ca3, &ca, "DEP-Test-Zwischen-CA", true};
    const testsupport::TestSigner card{0x5a17c0df, &intermediate};
    const auto& scenario = scenarios().at(0);
    testsupport::TillSigner till(card, scenario.at("cashBoxId").get<std::string>(), keyOf(scenario));
    std::vector<std::string> jws;
    for (const auto& receipt : receiptsOf(scenario)) {
        jws.push_back(till.next(receipt));
    }
    const auto depListing = [&](const std::vector<std::string>& issuers) {
        return testsupport::depOfGroups({testsupport::depGroup(card.certificateBase64, issuers, jws)});
    };
    const auto anchored = [](const testsupport::TestSigner& anchor) {
        rksv::DepTrustAnchors anchors;
        anchors.add(anchor.certificate.get());
        return anchors;
    };
    const std::vector<std::string> inOrder{intermediate.certificateBase64, ca.certificateBase64};
    for (const auto* anchor : std::initializer_list<const testsupport::TestSigner*>{&ca, &intermediate, &card}) {
        const auto anchors = anchored(*anchor);
        const auto result = check(depListing(inOrder), keyOf(scenario), 1 << 17, 2, &anchors);
        EXPECT_TRUE(result.ok()) << anchor->serial << ": " << faultsOf(result);
    }
    // Only the card's issuer listed: the root anchor issued it.
    const auto result = check(depListing({intermediate.certificateBase64}), keyOf(scenario), 1 << 17, 2, &trust);
    EXPECT_TRUE(result.ok()) << faultsOf(result);

    const auto reversed =
        check(depListing({ca.certificateBase64, intermediate.certificateBase64}), keyOf(scenario), 1 << 17, 2, &trust);
    EXPECT_EQ(faultsOf(reversed),
              std::to_string(jws.size())
                  + " Belege in 1 Gruppe geprüft: 1 Fehler\n  0 : Gruppe 1: Zertifizierungsstelle 1 hat das "
                    "Signaturzertifikat nicht ausgestellt (Signatur oder Aussteller passt nicht)");
    // The second link broken: the intermediate listed before a CA of the root's name with another key.
    const auto foreignRoot = check(
        depListing({intermediate.certificateBase64, otherCa.certificateBase64}), keyOf(scenario), 1 << 17, 2, &trust);
    EXPECT_EQ(foreignRoot.faults.at(0).text,
              "Gruppe 1: Zertifizierungsstelle 2 hat Zertifizierungsstelle 1 nicht ausgestellt (Signatur oder "
              "Aussteller passt nicht)");
}

// A check that cannot be done to its end never passes: temporary files that cannot be written (TMPDIR names a file,
// not a folder) end it with an error, with the receipt ids beyond what memory holds and with receipts before the
// certificate; a receipt longer than any valid one is a fault at once, a longer run of anything else an error.
TEST_F(DepVerifierTest, WhatCannotBeCheckedNeverPasses)
{
    const auto& scenario = scenarios().at(0);
    auto receipts = receiptsOf(scenario);
    receipts[70].id = receipts[2].id;
    testsupport::TillSigner till(signer, scenario.at("cashBoxId").get<std::string>(), keyOf(scenario));
    std::vector<std::string> jws;
    for (const auto& receipt : receipts) {
        jws.push_back(till.next(receipt));
    }
    testsupport::TempDir dir;
    const auto notAFolder = testsupport::writeBytes(dir.file("kein-ordner"), "x");
    const char* before = std::getenv("TMPDIR");
    const std::string saved = before != nullptr ? before : "";
    ::setenv("TMPDIR", notAFolder.c_str(), 1);
    for (const bool receiptsFirst : {false, true}) {
        SCOPED_TRACE(receiptsFirst ? "receipts first" : "certificate first");
        const auto result =
            check(testsupport::depOfGroups(
                      {testsupport::depGroup(signer.certificateBase64, {ca.certificateBase64}, jws, receiptsFirst)}),
                  keyOf(scenario),
                  4,
                  2,
                  &trust);
        EXPECT_FALSE(result.ok());
        EXPECT_EQ(result.error,
                  "Prüfung nicht möglich: "
                      + std::string(receiptsFirst ? "Belege vor dem Signaturzertifikat" : "Belegnummern")
                      + " nicht in eine temporäre Datei in " + notAFolder
                      + " schreibbar (Ordner aus TMPDIR, sonst /tmp)");
    }
    // The same with a folder that can be written: the repeat is found.
    ::setenv("TMPDIR", dir.path().c_str(), 1);
    const auto written =
        check(testsupport::depOfGroups({testsupport::depGroup(signer.certificateBase64, {ca.certificateBase64}, jws)}),
              keyOf(scenario),
              4,
              2,
              &trust);
    if (before != nullptr) {
        ::setenv("TMPDIR", saved.c_str(), 1);
    } else {
        ::unsetenv("TMPDIR");
    }
    EXPECT_EQ(written.faultCount, 1) << faultsOf(written);

    // A receipt of 200 000 characters after the first five.
    std::vector<std::string> huge(jws.begin(), jws.begin() + 5);
    huge.push_back(std::string(200000, 'A'));
    huge.push_back(jws[5]);
    const auto tooLong =
        check(testsupport::depOfGroups({testsupport::depGroup(signer.certificateBase64, {ca.certificateBase64}, huge)}),
              keyOf(scenario));
    EXPECT_EQ(faultsOf(tooLong),
              "5 Belege in 1 Gruppe geprüft: 1 Fehler\n  6 : Beleg länger als 65 536 Zeichen, kein gültiger Beleg: die "
              "Prüfung endet hier");
    const auto blanks = check("{\"Belege-Gruppe\": [" + std::string(100000, ' ') + "]}", {});
    EXPECT_EQ(blanks.error, "Kein DEP: ein Wert ist länger als 65 536 Zeichen (bei Byte 65 555)");
    // A folder given as the DEP file.
    EXPECT_EQ(rksv::checkDepFile(dir.path(), {}).error, "Datei " + dir.path() + " nicht lesbar");
}

TEST(DepCheckResult, Summary)
{
    const auto result = [](long receipts, long groups, long faults, bool cancelled, std::string error) {
        rksv::DepCheckResult r;
        r.receipts = receipts;
        r.groups = groups;
        r.faultCount = faults;
        r.cancelled = cancelled;
        r.error = std::move(error);
        return r.summary();
    };
    EXPECT_EQ(result(12345, 2, 0, false, ""), "12 345 Belege in 2 Gruppen geprüft: in Ordnung");
    EXPECT_EQ(result(1, 1, 3, false, ""), "1 Beleg in 1 Gruppe geprüft: 3 Fehler");
    EXPECT_EQ(result(1234567, 3, 1001, false, ""), "1 234 567 Belege in 3 Gruppen geprüft: 1 001 Fehler");
    EXPECT_EQ(result(1000, 1, 5, true, ""), "Prüfung abgebrochen nach 1 000 Belegen");
    EXPECT_EQ(result(0, 0, 0, false, "Kein DEP: x"), "Kein DEP: x");
    rksv::DepCheckResult warned;
    warned.receipts = 2;
    warned.groups = 1;
    warned.warningCount = 2;
    EXPECT_EQ(warned.summary(), "2 Belege in 1 Gruppe geprüft: in Ordnung, 2 Warnungen");
    EXPECT_TRUE(warned.ok());
}

} // namespace

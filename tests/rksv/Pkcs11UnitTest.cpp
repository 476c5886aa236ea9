// The PKCS#11 component on SoftHSM2 itself: its settings, receipts of the software unit's form signed with the
// token's key, and what it says when the module, the token or the key is not what a till needs.
#include "rksv/units/Pkcs11Unit.h"

#include "rksv/Numbering.h"
#include "rksv/format/Jws.h"
#include "rksv/units/SoftwareUnit.h"
#include "tests/support/SoftHsm.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

namespace {

const std::string PIN = "123456";

rksv::Component::Receipt receiptFor(rksv::Component& component, const std::string& reader)
{
    rksv::Component::Receipt receipt;
    receipt.kassa = "K1";
    receipt.reader = reader;
    receipt.pin = PIN;
    receipt.bonnr = "2026-1";
    receipt.dateTime = "01.03.2026 10:00:00";
    receipt.amounts = {"12,50", "0,00", "0,00", "0,00", "0,00"};
    receipt.turnoverCounter = "0";
    receipt.previous = "K1";
    std::string error;
    EXPECT_TRUE(component.GenerateAes256Key("K1|0815", receipt.aesKey, error)) << error;
    return receipt;
}

std::string pkcs11(const std::string& module, const std::string& settings = ";vda=AT99")
{
    return "PKCS11:" + module + settings;
}

TEST(Pkcs11Settings, NameTheModuleTheTokenAndTheProviderCode)
{
    const auto plain = rksv::parsePkcs11Settings("/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->module, "/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so");
    EXPECT_EQ(plain->token, "");
    EXPECT_EQ(plain->vdaId, "AT1") << "A-Trust, when nothing is said";
    const auto full = rksv::parsePkcs11Settings("/m.so;token=Kassa 1;vda=AT3");
    ASSERT_TRUE(full);
    EXPECT_EQ(full->token, "Kassa 1");
    EXPECT_EQ(full->vdaId, "AT3");
    EXPECT_EQ(full->timeLimit, std::chrono::seconds(30)) << "when nothing is said";
    EXPECT_EQ(rksv::parsePkcs11Settings("/m.so;wartezeit=5")->timeLimit, std::chrono::seconds(5));
    EXPECT_EQ(rksv::parsePkcs11Settings("/m.so;wartezeit=3600")->timeLimit, std::chrono::hours(1));
    for (const char* bad : {"",
                            ";token=x",
                            "/m.so;vda=XY1",
                            "/m.so;token=a;token=b",
                            "/m.so;pin=1",
                            "/m.so;token",
                            "/m.so;wartezeit=0",
                            "/m.so;wartezeit=3601",
                            "/m.so;wartezeit=05",
                            "/m.so;wartezeit=1s",
                            "/m.so;wartezeit=-1"}) {
        EXPECT_FALSE(rksv::parsePkcs11Settings(bad)) << bad;
    }
    EXPECT_FALSE(rksv::createComponent("PKCS11:")) << "no module named";
    EXPECT_EQ(dynamic_cast<rksv::Pkcs11Unit&>(*rksv::createComponent(pkcs11("/m.so"))).algorithm(), "R1-AT99");
}

// One card as the software unit has it and on a SoftHSM2 token "Kassa 1".
class Pkcs11UnitTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(rksv::createTestCard(dir.file("Karten"),
                                         "Leser 1",
                                         PIN,
                                         "",
                                         dir.file("ca"),
                                         serial,
                                         error,
                                         rksv::TestCardIssuer::IntermediateCa))
            << error;
        const std::string card = dir.file("Karten/Leser 1/");
        const auto slot = hsm.addToken("Kassa 1",
                                       PIN,
                                       testsupport::readBytes(card + "key.pem"),
                                       testsupport::readBytes(card + "certificate.pem"),
                                       testsupport::readBytes(card + "chain.pem"));
        ASSERT_TRUE(slot) << hsm.error();
        reader = *slot;
        component = rksv::createComponent(pkcs11(testsupport::SoftHsm::MODULE, ";token=Kassa 1;vda=AT99"));
        ASSERT_TRUE(component);
    }

    testsupport::TempDir dir;
    testsupport::SoftHsm hsm{dir.file("softhsm")};
    std::string serial;
    std::string reader;
    std::unique_ptr<rksv::Component> component;
};

TEST_F(Pkcs11UnitTest, SignsReceiptsOfTheSoftwareUnitsFormWithTheTokensKey)
{
    rksv::SoftwareUnit software(dir.file("Karten"));
    EXPECT_EQ(component->GetCardReaders(), std::vector<std::string>{reader}) << "only the named token's slot";
    EXPECT_EQ(component->GetCardInReader(reader), serial);
    EXPECT_TRUE(component->IsCardNumberPresent(serial));
    std::string certificates[2][2];
    ASSERT_TRUE(software.GetCardCertificate("Leser 1", certificates[0][0], certificates[0][1]));
    ASSERT_TRUE(component->GetCardCertificate(reader, certificates[1][0], certificates[1][1]));
    EXPECT_EQ(certificates[1][0], certificates[0][0]);
    EXPECT_EQ(certificates[1][1], certificates[0][1]) << "intermediate, then root, as the software unit has them";

    EXPECT_FALSE(component->VerifyPin(reader, "654321"));
    EXPECT_EQ(component->PinProblem(), "") << "a wrong PIN is no problem to explain";
    EXPECT_TRUE(component->VerifyPin(reader, PIN)) << component->PinProblem();
    rksv::Component::Signed bySoftware;
    ASSERT_TRUE(software.SignReceipt(receiptFor(software, "Leser 1"), bySoftware)) << bySoftware.error;
    for (int i = 0; i < 2; ++i) { // the second on the session of the first
        rksv::Component::Signed byToken;
        ASSERT_TRUE(component->SignReceipt(receiptFor(*component, reader), byToken)) << byToken.error;
        EXPECT_EQ(rksv::signedDataOfJws(byToken.jws), rksv::signedDataOfJws(bySoftware.jws));
        EXPECT_EQ(byToken.jws.substr(0, byToken.jws.rfind('.')), bySoftware.jws.substr(0, bySoftware.jws.rfind('.')));
        EXPECT_TRUE(component->VerifyJWS(byToken.jws, certificates[0][0]));
        EXPECT_TRUE(software.VerifyJWS(byToken.jws, certificates[0][0]));
    }
}

TEST_F(Pkcs11UnitTest, TwoComponentsOnOneTokenKeepSigningWhenTheOtherChecksItsPin)
{
    const auto second = rksv::createComponent(pkcs11(testsupport::SoftHsm::MODULE, ";token=Kassa 1;vda=AT99"));
    ASSERT_TRUE(second);
    ASSERT_TRUE(component->VerifyPin(reader, PIN));
    rksv::Component::Signed out;
    ASSERT_TRUE(component->SignReceipt(receiptFor(*component, reader), out)) << out.error;
    // The other's PIN check logs the token out and in again: private key handles of the first login are gone.
    ASSERT_TRUE(second->VerifyPin(reader, PIN));
    EXPECT_FALSE(second->VerifyPin(reader, "000000"));
    auto receipt = receiptFor(*component, reader);
    receipt.previous = out.jws;
    EXPECT_TRUE(component->SignReceipt(receipt, out)) << out.error;
    EXPECT_FALSE(second->VerifyPin(reader, "000000"));
    receipt.pin = "000000";
    EXPECT_FALSE(component->SignReceipt(receipt, out)) << "the token is logged out: a wrong PIN signs nothing";
    EXPECT_NE(out.error.find("Falscher PIN"), std::string::npos) << out.error;
}

struct Failure
{
    const char* name;
    //! Prepares the tokens; returns the component's settings.
    std::function<std::string(testsupport::SoftHsm&, const testsupport::TempDir&)> setUp;
    const char* message; //!< what the refusal of a signature says
};

void PrintTo(const Failure& failure, std::ostream* out)
{
    *out << failure.name;
}

class Pkcs11FailureTest : public ::testing::TestWithParam<Failure>
{
};

TEST_P(Pkcs11FailureTest, EndsInAGermanMessageNeverInACrash)
{
    testsupport::TempDir dir;
    testsupport::SoftHsm hsm(dir.file("softhsm"));
    const std::string signatur = GetParam().setUp(hsm, dir);
    ASSERT_FALSE(HasFailure());
    const auto component = rksv::createComponent(signatur);
    ASSERT_TRUE(component) << "a module that does not work still gives a component that says why";
    const std::string reader = component->GetReadersCount() > 0 ? component->GetReaderAt(0) : "Kassa 1";
    EXPECT_FALSE(component->VerifyPin(reader, PIN));
    rksv::Component::Signed out;
    EXPECT_FALSE(component->SignReceipt(receiptFor(*component, reader), out));
    EXPECT_NE(out.error.find(GetParam().message), std::string::npos) << out.error;
    EXPECT_EQ(out.jws, "");
    std::string certificate;
    std::string chain;
    const bool hasCertificate = component->GetCardCertificate(reader, certificate, chain);
    EXPECT_EQ(hasCertificate, !component->GetCardInReader(reader).empty());
}

std::string keyAndCertificate(const testsupport::TempDir& dir, const std::string& curve)
{
    const std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:" + curve
                                + " -passout pass:" + PIN + " -subj /CN=Testkarte -days 30 -keyout "
                                + dir.file("key.pem") + " -out " + dir.file("certificate.pem") + " 2>/dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return testsupport::readBytes(dir.file("key.pem"));
}

INSTANTIATE_TEST_SUITE_P(
    Pkcs11,
    Pkcs11FailureTest,
    ::testing::Values(
        Failure{"NoModule",
                [](auto&, const auto& dir) { return pkcs11(dir.file("libfehlt.so")); },
                "kann nicht geladen werden"},
        Failure{"NotALibrary",
                [](auto&, const auto& dir) {
                    return pkcs11(testsupport::writeBytes(dir.file("libtext.so"), "kein Modul\n"));
                },
                "kann nicht geladen werden"},
        Failure{"NoPkcs11Functions", [](auto&, const auto&) { return pkcs11("libc.so.6"); }, "ist kein PKCS#11-Modul"},
        Failure{"NoToken",
                [](auto&, const auto&) { return pkcs11(testsupport::SoftHsm::MODULE, ";token=Kassa 1"); },
                "Kartenleser \"Kassa 1\" nicht gefunden"},
        Failure{"NoCertificate",
                [](testsupport::SoftHsm& hsm, const auto& dir) {
                    EXPECT_TRUE(hsm.addToken("Kassa 1", PIN, keyAndCertificate(dir, "P-256"), "", "")) << hsm.error();
                    return pkcs11(testsupport::SoftHsm::MODULE, ";token=Kassa 1");
                },
                "steckt keine Signaturkarte: das Token enthält kein Zertifikat"},
        Failure{
            "KeyNotP256",
            [](testsupport::SoftHsm& hsm, const auto& dir) {
                const auto key = keyAndCertificate(dir, "P-384");
                EXPECT_TRUE(hsm.addToken("Kassa 1", PIN, key, testsupport::readBytes(dir.file("certificate.pem")), ""))
                    << hsm.error();
                return pkcs11(testsupport::SoftHsm::MODULE, ";token=Kassa 1");
            },
            "kein ECDSA-Schlüssel auf der Kurve P-256"}),
    [](const auto& info) { return std::string(info.param.name); });

// A module that does not answer one call (a card or network HSM that hangs): the component waits at most its time
// limit, then the device counts as failed for the rest of the run. A receipt signed from then on carries the failure
// marker (nothing is lost: the till goes on and the receipt is in the chain); what cannot go on says so in German.
struct NoAnswer
{
    const char* call;
    bool pinAccepted;   //!< the PIN check before the hang comes
    bool receiptSigned; //!< the receipt is made, carrying the failure marker, rather than refused
};

void PrintTo(const NoAnswer& row, std::ostream* out)
{
    *out << row.call;
}

class Pkcs11NoAnswerTest : public ::testing::TestWithParam<NoAnswer>
{
protected:
    void TearDown() override { ::unsetenv("QUORVEX_CARD_MODULE_HANG"); }
};

TEST_P(Pkcs11NoAnswerTest, TheDeviceCountsAsFailedAfterTheTimeLimit)
{
    testsupport::TempDir dir;
    testsupport::SoftHsm hsm(dir.file("softhsm"));
    std::string serial;
    std::string error;
    ASSERT_TRUE(rksv::createTestCard(dir.file("Karten"), "Leser 1", PIN, "", dir.file("ca"), serial, error)) << error;
    const std::string card = dir.file("Karten/Leser 1/");
    const auto reader = hsm.addToken("Kassa 1",
                                     PIN,
                                     testsupport::readBytes(card + "key.pem"),
                                     testsupport::readBytes(card + "certificate.pem"),
                                     testsupport::readBytes(card + "chain.pem"));
    ASSERT_TRUE(reader) << hsm.error();
    // A module of this test's own: one that stopped answering stays failed for the rest of the process.
    const std::string module = dir.file("karte-" + std::string(GetParam().call) + ".so");
    std::filesystem::copy_file(test_paths::CARD_PKCS11_MODULE, module);
    ASSERT_EQ(::setenv("QUORVEX_CARD_MODULE_HANG", GetParam().call, 1), 0);

    const std::string signatur = pkcs11(module, ";token=Kassa 1;vda=AT99;wartezeit=1");
    const auto component = rksv::createComponent(signatur);
    ASSERT_TRUE(component);
    const std::string message =
        "Das PKCS#11-Modul " + module + " antwortet nicht (" + GetParam().call + ": keine Antwort nach 1 s)";
    EXPECT_EQ(component->VerifyPin(*reader, PIN), GetParam().pinAccepted) << component->PinProblem();
    if (!GetParam().pinAccepted) {
        EXPECT_TRUE(component->PinProblem().starts_with(message)) << component->PinProblem();
        EXPECT_NE(component->PinProblem().find("gilt bis zum Neustart des Programms als ausgefallen"),
                  std::string::npos);
    }
    rksv::SoftwareUnit software(dir.file("Karten"));
    rksv::Component::Signed bySoftware;
    ASSERT_TRUE(software.SignReceipt(receiptFor(software, "Leser 1"), bySoftware)) << bySoftware.error;
    for (int receipt = 0; receipt < 2; ++receipt) { // the second without waiting again
        rksv::Component::Signed out;
        EXPECT_EQ(component->SignReceipt(receiptFor(*component, *reader), out), GetParam().receiptSigned) << out.error;
        if (GetParam().receiptSigned) {
            EXPECT_TRUE(rksv::RKSVMyJwsAusfall(out.jws)) << out.jws;
            EXPECT_EQ(rksv::signedDataOfJws(out.jws), rksv::signedDataOfJws(bySoftware.jws))
                << "the receipt's data are all there, only the signature is the failure marker";
        } else {
            EXPECT_TRUE(out.error.starts_with(message)) << out.error;
            EXPECT_EQ(out.jws, "");
        }
    }
    EXPECT_FALSE(component->VerifyPin(*reader, PIN));
    EXPECT_TRUE(component->PinProblem().starts_with(message)) << component->PinProblem();
    EXPECT_EQ(component->GetCardInReader(*reader), "") << "no card is looked for in a module that does not answer";
    EXPECT_TRUE(component->DeviceProblem().starts_with(message)) << component->DeviceProblem();
    // Opened again (the next window, the next run of the signing service), it knows no card: refused at once with
    // the same message.
    rksv::Component::Signed again;
    const auto reopened = rksv::createComponent(signatur);
    ASSERT_TRUE(reopened);
    EXPECT_FALSE(reopened->SignReceipt(receiptFor(*reopened, *reader), again));
    EXPECT_TRUE(again.error.starts_with(message)) << again.error;
    EXPECT_TRUE(reopened->DeviceProblem().starts_with(message)) << reopened->DeviceProblem();
}

INSTANTIATE_TEST_SUITE_P(Pkcs11,
                         Pkcs11NoAnswerTest,
                         ::testing::Values(NoAnswer{"C_Initialize", false, false},
                                           NoAnswer{"C_Login", false, true},
                                           NoAnswer{"C_Sign", true, true}),
                         [](const auto& info) { return std::string(info.param.call).substr(2); });

} // namespace

// Receipt signing of the software signature unit against the raw ECDSA P-256 signing rate of OpenSSL (EVP_DigestSign
// on a receipt's own signing input), side by side,
// in a card session whose PIN was checked before; and the PIN check that opens a session (the key derivation).
// The PKCS#11 component's receipt signing with a SoftHSM2 token against a bare C_SignInit + C_Sign with the same key
// through the same module, in the same logged-in state.
//
//   build-test/bench/sign_bench
#include "bench/RatioReporter.h"
#include "rksv/format/Jws.h"
#include "rksv/format/OpenSsl.h"
#include "rksv/units/Pkcs11Module.h"
#include "rksv/units/SoftwareUnit.h"
#include "tests/support/SoftHsm.h"
#include "tests/support/TempDir.h"

#include <openssl/evp.h>

#include <array>
#include <benchmark/benchmark.h>
#include <iostream>

namespace {

constexpr char PIN[] = "123456";
testsupport::TempDir* folder = nullptr;
rksv::Component* unit = nullptr;
rksv::Component* token = nullptr;
std::string tokenReader;
std::string aesKey;

void signReceipts(benchmark::State& state, rksv::Component* component, const std::string& reader)
{
    rksv::Component::Receipt receipt;
    receipt.kassa = "KASSE-01";
    receipt.reader = reader;
    receipt.pin = PIN;
    receipt.dateTime = "07.12.2026 10:48:15";
    receipt.amounts = {"12,50", "3,20", "0,00", "0,00", "0,00"};
    receipt.turnoverCounter = "0";
    receipt.previous = "KASSE-01";
    receipt.aesKey = aesKey;
    long number = 0;
    for (auto _ : state) {
        receipt.bonnr = std::to_string(++number);
        rksv::Component::Signed answer;
        if (!component->SignReceipt(receipt, answer)) {
            state.SkipWithError(answer.error.c_str());
            break;
        }
        receipt.previous = answer.jws;
    }
}

void BM_SignReceipt(benchmark::State& state)
{
    signReceipts(state, unit, "Leser 1");
}

void BM_Pkcs11SignReceipt(benchmark::State& state)
{
    signReceipts(state, token, tokenReader);
}

// The token's key used directly: a session of its own on the token the component is logged in to.
void BM_Pkcs11BareSign(benchmark::State& state)
{
    std::string error;
    const auto module = rksv::Pkcs11Module::open(testsupport::SoftHsm::MODULE, error);
    CK_SLOT_ID slots[8];
    CK_ULONG count = 8;
    CK_SESSION_HANDLE session = 0;
    CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE search{CKA_CLASS, &cls, sizeof(cls)};
    CK_OBJECT_HANDLE key = 0;
    CK_ULONG found = 0;
    if (!module || (*module)->C_GetSlotList(CK_TRUE, slots, &count) != CKR_OK || count == 0
        || (*module)->C_OpenSession(slots[0], CKF_SERIAL_SESSION, nullptr, nullptr, &session) != CKR_OK
        || (*module)->C_FindObjectsInit(session, &search, 1) != CKR_OK
        || (*module)->C_FindObjects(session, &key, 1, &found) != CKR_OK || found != 1) {
        state.SkipWithError(("no key on the token " + error).c_str());
        return;
    }
    (*module)->C_FindObjectsFinal(session);
    const rksv::Sha256Digest digest = rksv::sha256(rksv::asBytes(std::string(300, 'x')));
    CK_MECHANISM mechanism{CKM_ECDSA, nullptr, 0};
    for (auto _ : state) {
        CK_BYTE signature[64];
        CK_ULONG length = sizeof(signature);
        if ((*module)->C_SignInit(session, &mechanism, key) != CKR_OK
            || (*module)->C_Sign(session, const_cast<CK_BYTE*>(digest.data()), digest.size(), signature, &length)
                   != CKR_OK) {
            state.SkipWithError("C_Sign failed");
            break;
        }
    }
    (*module)->C_CloseSession(session);
}

// The anchor: ECDSA P-256 over SHA-256 through EVP_DigestSign, written as any program would, on the signing input of
// one of the bench's receipts.
std::string receiptInput;

void BM_RawEcdsaP256(benchmark::State& state)
{
    const auto key = rksv::generateP256Key();
    for (auto _ : state) {
        EVP_MD_CTX* context = EVP_MD_CTX_new();
        std::array<unsigned char, 80> der{};
        std::size_t length = der.size();
        if (EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, key.get()) != 1
            || EVP_DigestSign(context,
                              der.data(),
                              &length,
                              reinterpret_cast<const unsigned char*>(receiptInput.data()),
                              receiptInput.size())
                   != 1) {
            state.SkipWithError("EVP_DigestSign failed");
        }
        EVP_MD_CTX_free(context);
        benchmark::DoNotOptimize(der);
    }
}

// A fresh unit each time, so the PIN is checked against the card's key file: scrypt and the count of wrong PINs.
void BM_PinCheck(benchmark::State& state)
{
    for (auto _ : state) {
        rksv::SoftwareUnit fresh(folder->file("Karten"));
        if (!fresh.VerifyPin("Leser 2", PIN)) {
            state.SkipWithError("PIN refused");
            break;
        }
    }
}

BENCHMARK(BM_RawEcdsaP256)->Repetitions(5)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SignReceipt)->Repetitions(5)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Pkcs11BareSign)->Repetitions(5)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Pkcs11SignReceipt)->Repetitions(5)->Unit(benchmark::kMicrosecond);
// Last: its writes to a reader folder would make the signing look at that folder again for a while.
BENCHMARK(BM_PinCheck)->Iterations(5)->Repetitions(3)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    testsupport::TempDir dir;
    folder = &dir;
    std::string serial;
    std::string error;
    for (const char* reader : {"Leser 1", "Leser 2"}) {
        if (!rksv::createTestCard(dir.file("Karten"), reader, PIN, "", dir.file("ca"), serial, error)) {
            std::cerr << error << '\n';
            return 1;
        }
    }
    rksv::SoftwareUnit session(dir.file("Karten"));
    unit = &session;
    if (!session.VerifyPin("Leser 1", PIN) || !session.GenerateAes256Key("PLUMOXA|0001|PLUMOXA", aesKey, error)) {
        std::cerr << "The card's session could not be opened. " << error << '\n';
        return 1;
    }
    // The same card on a SoftHSM2 token.
    testsupport::SoftHsm hsm(dir.file("softhsm"));
    const std::string card = dir.file("Karten/Leser 1/");
    const auto reader = hsm.addToken("Kassa 1",
                                     PIN,
                                     testsupport::readBytes(card + "key.pem"),
                                     testsupport::readBytes(card + "certificate.pem"),
                                     testsupport::readBytes(card + "chain.pem"));
    const auto pkcs11 =
        rksv::createComponent(std::string("PKCS11:") + testsupport::SoftHsm::MODULE + ";token=Kassa 1;vda=AT99");
    if (!reader || !pkcs11 || !pkcs11->VerifyPin(*reader, PIN)) {
        std::cerr << "The token's session could not be opened. " << hsm.error() << '\n';
        return 1;
    }
    token = pkcs11.get();
    {
        rksv::Component::Receipt receipt;
        receipt.kassa = "KASSE-01";
        receipt.reader = "Leser 1";
        receipt.pin = PIN;
        receipt.bonnr = "1";
        receipt.dateTime = "07.12.2026 10:48:15";
        receipt.amounts = {"12,50", "3,20", "0,00", "0,00", "0,00"};
        receipt.turnoverCounter = "0";
        receipt.previous = "KASSE-01";
        receipt.aesKey = aesKey;
        rksv::Component::Signed answer;
        if (!session.SignReceipt(receipt, answer)) {
            std::cerr << answer.error << '\n';
            return 1;
        }
        receiptInput = answer.jws.substr(0, answer.jws.rfind('.'));
        std::cout << "receipt signing input: " << receiptInput.size() << " bytes\n";
    }
    tokenReader = *reader;
    benchmark::Initialize(&argc, argv);
    bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatio("median time, receipt / raw ECDSA P-256 signature (rate ratio is the inverse)",
                        "BM_SignReceipt",
                        "BM_RawEcdsaP256");
    reporter.printRatio("median time, PKCS#11 receipt / bare C_Sign with the same token key",
                        "BM_Pkcs11SignReceipt",
                        "BM_Pkcs11BareSign");
    benchmark::Shutdown();
    return 0;
}

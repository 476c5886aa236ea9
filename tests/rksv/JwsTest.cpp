#include "rksv/format/Jws.h"

#include "rksv/format/OpenSsl.h"
#include "rksv/format/Receipt.h"
#include "tests/rksv/KnownAnswers.h"

#include <gtest/gtest.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>

namespace {

using rksv::asBytes;
using rksv::Bytes;

const std::string SIGNED_DATA = "_R1-AT1_CASHBOX-DEMO-1_CASHBOX-DEMO-1-Receipt-ID-2_2016-03-12T04:58:09_0,00_0,00_0,00_"
                                "0,00_0,00_4K6F7XVQOz0=_3D1F8A0C_cg8hNU5ihto=";
// The failure-marked JWS of SIGNED_DATA and its chaining value, computed independently with Python's base64/hashlib.
const std::string FAILED_JWS =
    "eyJhbGciOiJFUzI1NiJ9.X1IxLUFUMV9DQVNIQk9YLURFTU8tMV9DQVNIQk9YLURFTU8tMS1SZWNlaXB0LUlELTJfMjAxNi0wMy0xMlQwNDo1ODow"
    "OV8wLDAwXzAsMDBfMCwwMF8wLDAwXzAsMDBfNEs2RjdYVlFPejA9XzNEMUY4QTBDX2NnOGhOVTVpaHRvPQ."
    "U2ljaGVyaGVpdHNlaW5yaWNodHVuZyBhdXNnZWZhbGxlbg";
const std::string FAILED_JWS_CHAIN_VALUE = "e6RIp1TKdUo=";

// Signs with OpenSSL directly and returns the DER form, so the library's conversion is checked against OpenSSL.
Bytes opensslDerSign(EVP_PKEY* key, std::string_view input)
{
    const rksv::EvpMdCtxPtr context(EVP_MD_CTX_new());
    std::size_t length = 0;
    EXPECT_EQ(EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key), 1);
    EXPECT_EQ(EVP_DigestSign(context.get(), nullptr, &length, asBytes(input).data(), input.size()), 1);
    Bytes der(length);
    EXPECT_EQ(EVP_DigestSign(context.get(), der.data(), &length, asBytes(input).data(), input.size()), 1);
    der.resize(length);
    return der;
}

bool opensslDerVerify(EVP_PKEY* key, std::string_view input, const Bytes& der)
{
    const rksv::EvpMdCtxPtr context(EVP_MD_CTX_new());
    return EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key) == 1
           && EVP_DigestVerify(context.get(), der.data(), der.size(), asBytes(input).data(), input.size()) == 1;
}

// Raw R‖S to DER built here with ECDSA_SIG, independent of the library's converter.
Bytes derFromRaw(const Bytes& raw)
{
    const rksv::EcdsaSigPtr signature(ECDSA_SIG_new());
    ECDSA_SIG_set0(signature.get(), BN_bin2bn(raw.data(), 32, nullptr), BN_bin2bn(raw.data() + 32, 32, nullptr));
    unsigned char* out = nullptr;
    const int length = i2d_ECDSA_SIG(signature.get(), &out);
    Bytes der(out, out + std::max(length, 0));
    OPENSSL_free(out);
    return der;
}

rksv::X509Ptr selfSignedCertificate(EVP_PKEY* key)
{
    rksv::X509Ptr certificate(X509_new());
    X509_set_version(certificate.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 0x3D1F8A0C);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 3600);
    X509_set_pubkey(certificate.get(), key);
    X509_sign(certificate.get(), key, EVP_sha256());
    return certificate;
}

std::string replaceChar(std::string text, std::size_t at)
{
    text[at] = text[at] == 'A' ? 'B' : 'A';
    return text;
}

class JwsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_key = rksv::generateP256Key();
        ASSERT_TRUE(m_key);
    }

    rksv::EvpPkeyPtr m_key;
};

TEST(JwsConstantsTest, headerAndFailureMarkersMatchVectors)
{
    const nlohmann::json kat = rksv::test::readKnownAnswers("basic-kat.json");
    ASSERT_FALSE(kat.is_discarded());
    const nlohmann::json& markers = kat.at("markers");
    EXPECT_EQ(rksv::ES256_HEADER, markers.at("ES256 JWS header").get<std::string>());
    EXPECT_EQ(rksv::base64UrlEncode(asBytes(R"({"alg":"ES256"})")), rksv::ES256_HEADER);
    EXPECT_EQ(rksv::FAILED_SIGNATURE_JWS,
              markers.at("failed signature, JWS segment (base64url, no pad)").get<std::string>());
    EXPECT_EQ(rksv::FAILED_SIGNATURE_CODE, markers.at("failed signature, QR last field (base64)").get<std::string>());
    EXPECT_EQ(rksv::base64UrlEncode(asBytes(rksv::FAILED_SIGNATURE_TEXT)), rksv::FAILED_SIGNATURE_JWS);
    EXPECT_EQ(rksv::base64Encode(asBytes(rksv::FAILED_SIGNATURE_TEXT)), rksv::FAILED_SIGNATURE_CODE);
}

TEST(JwsChainTest, startChainValueMatchesVector)
{
    const nlohmann::json kat = rksv::test::readKnownAnswers("basic-kat.json");
    ASSERT_FALSE(kat.is_discarded());
    const nlohmann::json& start = kat.at("chainStartReceipt");
    const auto kassenId = start.at("kassenId").get<std::string>();
    EXPECT_EQ(rksv::hexEncode(rksv::sha256(asBytes(kassenId))), start.at("sha256Hex").get<std::string>());
    EXPECT_EQ(rksv::startChainValue(kassenId), start.at("base64").get<std::string>());
}

TEST(JwsChainTest, failedReceiptJwsAndItsChainValueMatchIndependentResult)
{
    const std::string jws = rksv::failedCompactJws(SIGNED_DATA);
    EXPECT_EQ(jws, FAILED_JWS);
    EXPECT_TRUE(rksv::isFailedSignature(jws));
    EXPECT_EQ(rksv::chainValue(jws), FAILED_JWS_CHAIN_VALUE);
    EXPECT_NE(rksv::chainValue(jws + " "), FAILED_JWS_CHAIN_VALUE);
    EXPECT_EQ(rksv::signedDataOfJws(jws), SIGNED_DATA);
}

TEST(JwsCodeTest, failedReceiptConvertsBetweenJwsAndCode)
{
    const std::optional<std::string> code = rksv::jwsToMachineCode(FAILED_JWS);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, SIGNED_DATA + "_" + std::string(rksv::FAILED_SIGNATURE_CODE));
    EXPECT_EQ(rksv::machineCodeToJws(*code), FAILED_JWS);
}

TEST_F(JwsTest, signThenVerify)
{
    std::string fehler;
    const std::optional<std::string> jws = rksv::signCompactJws(m_key.get(), SIGNED_DATA, &fehler);
    ASSERT_TRUE(jws.has_value()) << fehler;
    const std::optional<rksv::CompactJws> parts = rksv::parseCompactJws(*jws);
    ASSERT_TRUE(parts.has_value());
    EXPECT_EQ(parts->header, rksv::ES256_HEADER);
    EXPECT_EQ(parts->signature.size(), 86U);
    EXPECT_EQ(rksv::base64UrlDecode(parts->signature)->size(), 64U);
    EXPECT_EQ(rksv::signedDataOfJws(*jws), SIGNED_DATA);
    EXPECT_TRUE(rksv::verifyCompactJws(*jws, m_key.get(), &fehler)) << fehler;
    EXPECT_FALSE(rksv::isFailedSignature(*jws));
}

TEST_F(JwsTest, tamperedPayloadOrSignatureFailsVerification)
{
    const std::string jws = *rksv::signCompactJws(m_key.get(), SIGNED_DATA);
    const std::size_t firstDot = jws.find('.');
    const std::size_t secondDot = jws.find('.', firstDot + 1);

    // One byte of the signed data changed and re-encoded, so the JWS stays well-formed.
    std::string changedData = SIGNED_DATA;
    changedData[changedData.find("0,00")] = '1';
    const std::string changedPayload = rksv::signingInput(changedData) + jws.substr(secondDot);
    std::string fehler;
    EXPECT_FALSE(rksv::verifyCompactJws(changedPayload, m_key.get(), &fehler));
    EXPECT_FALSE(fehler.empty());

    // One byte of the signature changed (a whole Base64URL character inside R and inside S).
    EXPECT_FALSE(rksv::verifyCompactJws(replaceChar(jws, secondDot + 5), m_key.get()));
    EXPECT_FALSE(rksv::verifyCompactJws(replaceChar(jws, secondDot + 60), m_key.get()));

    Bytes raw = *rksv::base64UrlDecode(jws.substr(secondDot + 1));
    for (const std::size_t at : {std::size_t{0}, std::size_t{31}, std::size_t{32}, std::size_t{63}}) {
        Bytes changed = raw;
        changed[at] ^= 0x01;
        EXPECT_FALSE(rksv::verifyEs256(m_key.get(), jws.substr(0, secondDot), changed)) << "byte " << at;
    }
    EXPECT_TRUE(rksv::verifyEs256(m_key.get(), jws.substr(0, secondDot), raw));

    // Another key does not verify.
    const rksv::EvpPkeyPtr otherKey = rksv::generateP256Key();
    EXPECT_FALSE(rksv::verifyCompactJws(jws, otherKey.get()));
}

TEST_F(JwsTest, failureMarkedJwsDoesNotVerify)
{
    std::string fehler;
    EXPECT_FALSE(rksv::verifyCompactJws(FAILED_JWS, m_key.get(), &fehler));
    EXPECT_FALSE(fehler.empty());
}

TEST_F(JwsTest, rawSignatureVerifiesWithOpenSslOnItsDerForm)
{
    const std::string input = rksv::signingInput(SIGNED_DATA);
    const std::optional<Bytes> raw = rksv::signEs256(m_key.get(), input);
    ASSERT_TRUE(raw.has_value());
    ASSERT_EQ(raw->size(), 64U);
    const Bytes der = derFromRaw(*raw);
    EXPECT_TRUE(opensslDerVerify(m_key.get(), input, der));
    EXPECT_EQ(rksv::rawToDerSignature(*raw), der);
    EXPECT_FALSE(opensslDerVerify(m_key.get(), input + "x", der));
}

TEST_F(JwsTest, openSslDerSignatureVerifiesAfterConversionToRaw)
{
    const std::string input = rksv::signingInput(SIGNED_DATA);
    // Many signatures so that R or S with leading zero bytes (shorter DER integers) turn up and get padded.
    for (int i = 0; i < 200; ++i) {
        const Bytes der = opensslDerSign(m_key.get(), input);
        const std::optional<Bytes> raw = rksv::derToRawSignature(der);
        ASSERT_TRUE(raw.has_value());
        ASSERT_EQ(raw->size(), 64U);
        EXPECT_TRUE(rksv::verifyEs256(m_key.get(), input, *raw));
        EXPECT_EQ(rksv::rawToDerSignature(*raw), der);
    }
}

TEST_F(JwsTest, verifiesAgainstCertificateAndPublicKeyOnly)
{
    const std::string jws = *rksv::signCompactJws(m_key.get(), SIGNED_DATA);
    const rksv::X509Ptr certificate = selfSignedCertificate(m_key.get());
    ASSERT_TRUE(certificate);
    std::string fehler;
    EXPECT_TRUE(rksv::verifyCompactJwsWithCertificate(jws, certificate.get(), &fehler)) << fehler;
    EXPECT_FALSE(rksv::verifyCompactJwsWithCertificate(jws, nullptr, &fehler));

    const rksv::EvpPkeyPtr otherKey = rksv::generateP256Key();
    const rksv::X509Ptr otherCertificate = selfSignedCertificate(otherKey.get());
    EXPECT_FALSE(rksv::verifyCompactJwsWithCertificate(jws, otherCertificate.get()));

    // The public key alone (DER round trip drops the private part) verifies but cannot sign.
    unsigned char* der = nullptr;
    const int length = i2d_PUBKEY(m_key.get(), &der);
    ASSERT_GT(length, 0);
    const unsigned char* cursor = der;
    const rksv::EvpPkeyPtr publicKey(d2i_PUBKEY(nullptr, &cursor, length));
    OPENSSL_free(der);
    ASSERT_TRUE(publicKey);
    EXPECT_TRUE(rksv::verifyCompactJws(jws, publicKey.get()));
    EXPECT_FALSE(rksv::signCompactJws(publicKey.get(), SIGNED_DATA, &fehler).has_value());
    EXPECT_FALSE(fehler.empty());
}

TEST_F(JwsTest, signingRefusesKeysOtherThanP256)
{
    const rksv::EvpPkeyPtr p384(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-384"));
    ASSERT_TRUE(p384);
    std::string fehler;
    EXPECT_FALSE(rksv::signCompactJws(p384.get(), SIGNED_DATA, &fehler).has_value());
    EXPECT_FALSE(fehler.empty());
    EXPECT_FALSE(rksv::signCompactJws(nullptr, SIGNED_DATA).has_value());
}

TEST_F(JwsTest, signedReceiptConvertsToCodeAndBack)
{
    const std::string jws = *rksv::signCompactJws(m_key.get(), SIGNED_DATA);
    const std::optional<std::string> code = rksv::jwsToMachineCode(jws);
    ASSERT_TRUE(code.has_value());
    ASSERT_TRUE(code->starts_with(SIGNED_DATA + "_"));
    const std::string signature = code->substr(SIGNED_DATA.size() + 1);
    EXPECT_EQ(signature.size(), 88U);
    EXPECT_EQ(rksv::base64Decode(signature), rksv::base64UrlDecode(jws.substr(jws.rfind('.') + 1)));
    const std::optional<std::string> back = rksv::machineCodeToJws(*code);
    EXPECT_EQ(back, jws);
    EXPECT_TRUE(rksv::verifyCompactJws(*back, m_key.get()));
}

TEST_F(JwsTest, malformedCodeGivesNothing)
{
    const std::string code = *rksv::jwsToMachineCode(*rksv::signCompactJws(m_key.get(), SIGNED_DATA));
    const std::string signature = code.substr(code.rfind('_') + 1);
    const std::string bad[] = {
        "",
        code.substr(1),                  // no leading underscore
        "_R2" + code.substr(3),          // wrong prefix
        code + "_",                      // 15 segments
        code.substr(0, code.rfind('_')), // 13 segments: signed data alone
        code.substr(0, code.size() - 2), // signature without padding
        code.substr(0, code.size() - 4), // signature 3 bytes short
        code.substr(0, code.rfind('_') + 1) + rksv::base64Encode(asBytes("kurz")),
        code.substr(0, code.rfind('_') + 1) + "!" + signature.substr(1),
        code + std::string(1000, 'A'),                                                    // too long
        "_R1-AT1_K_1_2016-03-12T04:58:09_1.00_0,00_0,00_0,00_0,00_VFJB_1_x_" + signature, // bad amount
    };
    for (const std::string& text : bad) {
        EXPECT_FALSE(rksv::machineCodeToJws(text).has_value()) << text;
    }
}

TEST_F(JwsTest, malformedJwsGivesNothing)
{
    const std::string jws = *rksv::signCompactJws(m_key.get(), SIGNED_DATA);
    const std::size_t firstDot = jws.find('.');
    const std::string bad[] = {
        "",
        "..",
        jws + ".",                                                                // four parts
        jws.substr(0, jws.rfind('.')),                                            // two parts
        "eyJhbGciOiJSUzI1NiJ9" + jws.substr(firstDot),                            // RS256 header
        jws + "=",                                                                // padded signature
        rksv::signingInput(SIGNED_DATA + "x") + "=" + jws.substr(jws.rfind('.')), // padded payload
        jws.substr(0, jws.size() - 2),                                            // 63-byte signature
        rksv::signingInput("_R1-AT1_nur_drei") + jws.substr(jws.rfind('.')),      // payload not signed data
    };
    for (const std::string& text : bad) {
        EXPECT_FALSE(rksv::jwsToMachineCode(text).has_value()) << text;
        EXPECT_FALSE(rksv::verifyCompactJws(text, m_key.get())) << text;
    }
    EXPECT_FALSE(rksv::rawToDerSignature(Bytes(63)).has_value());
    EXPECT_FALSE(rksv::derToRawSignature(Bytes{0x30, 0x00}).has_value());
    Bytes der = *rksv::rawToDerSignature(*rksv::base64UrlDecode(jws.substr(jws.rfind('.') + 1)));
    der.push_back(0x00);
    EXPECT_FALSE(rksv::derToRawSignature(der).has_value());
}

} // namespace

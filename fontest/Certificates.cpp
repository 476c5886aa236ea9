#include "fontest/Certificates.h"

#include "fontest/RequestLog.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <filesystem>
#include <memory>
#include <sys/stat.h>

namespace fontest {

namespace {

struct KeyFree
{
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertFree
{
    void operator()(X509* cert) const { X509_free(cert); }
};
struct BioFree
{
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

constexpr long DAY = 24L * 60 * 60;

Key newKey()
{
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
    EVP_PKEY* key = nullptr;
    if (ctx && EVP_PKEY_keygen_init(ctx) > 0 && EVP_PKEY_CTX_set_group_name(ctx, "P-256") > 0) {
        EVP_PKEY_generate(ctx, &key);
    }
    EVP_PKEY_CTX_free(ctx);
    return Key(key);
}

bool addExtension(X509* cert, X509* issuer, int nid, const char* value)
{
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (!extension) {
        return false;
    }
    const bool added = X509_add_ext(cert, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

// A certificate for `subjectKey` named `commonName`; self-signed when `issuer` is null.
Cert newCertificate(EVP_PKEY* subjectKey, const std::string& commonName, X509* issuer, EVP_PKEY* issuerKey)
{
    Cert cert(X509_new());
    if (!cert || X509_set_version(cert.get(), 2) != 1) {
        return nullptr;
    }
    unsigned char serial[16];
    if (RAND_bytes(serial, sizeof serial) != 1) {
        return nullptr;
    }
    serial[0] &= 0x7F; // positive
    BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
    const bool serialSet = number && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(cert.get()));
    BN_free(number);
    if (!serialSet) {
        return nullptr;
    }
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -DAY);
    X509_time_adj_ex(X509_getm_notAfter(cert.get()), 10 * 365 - 1, 0, nullptr);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(
        name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("fon-test-service"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(
        name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
    X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name);
    X509_set_pubkey(cert.get(), subjectKey);
    X509* signer = issuer ? issuer : cert.get();
    bool ok = addExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
    if (issuer) {
        std::string altName = "DNS:" + commonName;
        unsigned char address[4];
        if (inet_pton(AF_INET, commonName.c_str(), address) == 1) {
            altName += ",IP:" + commonName;
        }
        ok = ok && addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE")
             && addExtension(cert.get(), signer, NID_key_usage, "critical,digitalSignature,keyEncipherment")
             && addExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth")
             && addExtension(cert.get(), signer, NID_authority_key_identifier, "keyid")
             && addExtension(cert.get(), signer, NID_subject_alt_name, altName.c_str());
    } else {
        ok = ok && addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE")
             && addExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    }
    if (!ok || X509_sign(cert.get(), issuerKey ? issuerKey : subjectKey, EVP_sha256()) <= 0) {
        return nullptr;
    }
    return cert;
}

std::string toPem(X509* cert, EVP_PKEY* key)
{
    std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
    const bool written = cert ? PEM_write_bio_X509(bio.get(), cert) == 1
                              : PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    if (!written) {
        return {};
    }
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

} // namespace

bool ensureCertificates(const std::string& dir, const std::string& host, std::string& error)
{
    namespace fs = std::filesystem;
    if (fs::exists(dir + "/ca.pem") && fs::exists(dir + "/server.pem") && fs::exists(dir + "/server-key.pem")) {
        return true;
    }
    Key caKey = newKey();
    Key serverKey = newKey();
    if (!caKey || !serverKey) {
        error = "cannot generate EC P-256 keys";
        return false;
    }
    Cert ca = newCertificate(caKey.get(), "fon-test-service CA", nullptr, nullptr);
    Cert server = ca ? newCertificate(serverKey.get(), host, ca.get(), caKey.get()) : nullptr;
    if (!server) {
        error = "cannot create the certificates for " + host;
        return false;
    }
    // keys first and readable only by us; the certificates last, so a complete ca.pem means a usable set
    const mode_t previous = umask(077);
    const bool keysWritten = writeFileAtomically(dir + "/ca-key.pem", toPem(nullptr, caKey.get()))
                             && writeFileAtomically(dir + "/server-key.pem", toPem(nullptr, serverKey.get()));
    umask(previous);
    if (!keysWritten || !writeFileAtomically(dir + "/server.pem", toPem(server.get(), nullptr))
        || !writeFileAtomically(dir + "/ca.pem", toPem(ca.get(), nullptr))) {
        error = "cannot write the certificates to " + dir;
        return false;
    }
    return true;
}

} // namespace fontest

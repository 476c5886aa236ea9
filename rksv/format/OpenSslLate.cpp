// OpenSSL's libcrypto, loaded when the program first signs, checks or encrypts, not when it starts (binding it is
// some 21 000 relocations and its start-up code), since most sessions only talk to FinanzOnline. See
// base/LateLibrary.h for how the functions below forward to the library.
#include "base/LateLibrary.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/opensslv.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#define LIBCRYPTO_NAME_OF(major) "libcrypto.so." #major
#define LIBCRYPTO_NAME(major) LIBCRYPTO_NAME_OF(major)
LATE_LIBRARY(LIBCRYPTO_NAME(OPENSSL_VERSION_MAJOR), "OpenSSL")

// clang-format off
LATE2(ASN1_INTEGER_to_BN)
LATE4(BIO_ctrl)
LATE1(BIO_free)
LATE1(BIO_free_all)
LATE1(BIO_new)
LATE2(BIO_new_mem_buf)
LATE0(BIO_s_mem)
LATE3(BN_bin2bn)
LATE3(BN_bn2binpad)
LATE1(BN_bn2hex)
LATE1(BN_free)
LATE2(BN_hex2bn)
LATE1(BN_is_zero)
LATE2(BN_to_ASN1_INTEGER)
LATE3(CRYPTO_free)
LATE1(ECDSA_SIG_free)
LATE3(ECDSA_SIG_get0)
LATE0(ECDSA_SIG_new)
LATE3(ECDSA_SIG_set0)
LATE0(ERR_clear_error)
LATE1(EVP_CIPHER_CTX_free)
LATE0(EVP_CIPHER_CTX_new)
LATE3(EVP_CIPHER_fetch)
LATE6(EVP_Digest)
LATE5(EVP_DigestSign)
LATE5(EVP_DigestSignInit)
LATE5(EVP_DigestVerify)
LATE5(EVP_DigestVerifyInit)
LATE3(EVP_EncryptFinal_ex)
LATE5(EVP_EncryptInit_ex)
LATE5(EVP_EncryptUpdate)
LATE1(EVP_MD_CTX_free)
LATE0(EVP_MD_CTX_new)
LATE2(EVP_MD_CTX_copy_ex)
LATE3(EVP_MD_fetch)
LATE1(EVP_MD_CTX_reset)
LATE1(EVP_PKCS82PKEY)
LATE1(EVP_PKEY2PKCS8)
LATE1(EVP_PKEY_CTX_free)
LATE3(EVP_PKEY_CTX_new_from_name)
LATE2(EVP_PKEY_CTX_set_group_name)
LATE1(EVP_PKEY_free)
LATE2(EVP_PKEY_generate)
LATE4(EVP_PKEY_get_group_name)
LATE2(EVP_PKEY_is_a)
LATE1(EVP_PKEY_up_ref)
LATE1(EVP_PKEY_keygen_init)
LATE0(EVP_aes_256_cbc)
LATE0(EVP_aes_256_ctr)
LATE0(EVP_sha256)
LATE2(OPENSSL_cleanse)
LATE0(OpenSSL_version_num)
LATE4(PEM_read_bio_PKCS8)
LATE4(PEM_read_bio_PrivateKey)
LATE4(PEM_read_bio_X509)
LATE2(PEM_write_bio_PKCS8)
LATE7(PEM_write_bio_PKCS8PrivateKey)
LATE2(PEM_write_bio_X509)
LATE7(PKCS5_pbe2_set_scrypt)
LATE1(PKCS8_PRIV_KEY_INFO_free)
LATE3(PKCS8_decrypt)
LATE4(PKCS8_set0_pbe)
LATE2(RAND_bytes)
LATE3(SHA256)
LATE4(X509V3_EXT_conf_nid)
LATE6(X509V3_set_ctx)
LATE1(X509_ALGOR_free)
LATE1(X509_EXTENSION_free)
LATE7(X509_NAME_add_entry_by_txt)
LATE1(X509_NAME_free)
LATE0(X509_NAME_new)
LATE4(X509_NAME_print_ex)
LATE1(X509_SIG_free)
LATE3(X509_add_ext)
LATE2(X509_check_issued)
LATE2(X509_check_private_key)
LATE2(X509_cmp)
LATE1(X509_free)
LATE1(X509_get0_pubkey)
LATE1(X509_get_serialNumber)
LATE1(X509_get_subject_name)
LATE1(X509_getm_notAfter)
LATE1(X509_getm_notBefore)
LATE2(X509_gmtime_adj)
LATE0(X509_new)
LATE2(X509_set_issuer_name)
LATE2(X509_set_pubkey)
LATE2(X509_set_subject_name)
LATE2(X509_set_version)
LATE3(X509_sign)
LATE4(X509_time_adj_ex)
LATE1(X509_up_ref)
LATE2(X509_verify)
LATE3(d2i_ECDSA_SIG)
LATE3(d2i_PUBKEY)
LATE3(d2i_X509)
LATE2(i2d_ECDSA_SIG)
LATE2(i2d_X509)
// clang-format on

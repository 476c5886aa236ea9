#pragma once

#include "rksv/format/OpenSsl.h"
#include "rksv/format/TurnoverCounter.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

//! A fresh P-256 key and a certificate for it, made with OpenSSL in place: self-signed, or issued by `issuer`
//! (whose certificate then carries basic constraints CA:TRUE only if it was made with `ca`).
struct TestSigner
{
    explicit TestSigner(long serialNumber = 0x5a17c0de,
                        const TestSigner* issuer = nullptr,
                        const std::string& commonName = "DEP-Testkarte",
                        bool ca = false);

    rksv::EvpPkeyPtr key;
    rksv::X509Ptr certificate;
    std::string certificateBase64; //!< Base64 DER
    std::string serial;            //!< as the receipts name it (rksv::serialOf)
};

//! One receipt to sign. Counter fields and chain come from TillSigner.
struct DepReceipt
{
    enum class Kind
    {
        Normal, //!< ordinary, start and null receipts: the encrypted running sum
        Training,
        Storno,
    };
    std::string id;
    std::string dateTime;
    std::array<std::int64_t, 5> amounts{}; //!< cents
    Kind kind = Kind::Normal;
    bool failed = false; //!< failure-marked instead of signed
    //! Encrypted instead of the running sum (which goes on unchanged).
    std::optional<std::int64_t> counter;
    std::size_t counterBytes = rksv::DEFAULT_COUNTER_BYTES; //!< the encrypted counter's length
    std::string serial;                                     //!< written instead of the signer's serial when not empty
    std::string provider = "R1-AT1";                        //!< algorithm and provider code
    //! Chained to the till id with the sum back at 0, as a till's first receipt is.
    bool restart = false;
    //! Changes the signed data before it is signed (for what the receipt's own form cannot hold).
    std::function<void(std::string&)> editSignedData;
};

//! Signs one till's receipts in order: the first chained to the till id, each next to the one before, the turnover
//! counter (8 bytes) running. Throws std::runtime_error when OpenSSL fails.
class TillSigner
{
public:
    TillSigner(const TestSigner& signer, std::string kassenId, const rksv::AesKey& key);

    //! The receipt's compact JWS.
    std::string next(const DepReceipt& receipt);
    //! Signs the next receipts with another card.
    void changeSigner(const TestSigner& signer) { m_signer = &signer; }
    //! The Base64 counter field of the last receipt.
    const std::string& lastCounterField() const { return m_counterField; }

private:
    const TestSigner* m_signer;
    std::string m_kassenId;
    rksv::AesKey m_key;
    std::string m_previous;
    std::int64_t m_running = 0;
    std::string m_counterField;
};

//! A DEP group's JSON, `receiptsFirst` putting Belege-kompakt before the certificates.
std::string depGroup(const std::string& certificate,
                     const std::vector<std::string>& issuers,
                     const std::vector<std::string>& receipts,
                     bool receiptsFirst = false);
//! The DEP of the groups (each from depGroup).
std::string depOfGroups(const std::vector<std::string>& groups);

} // namespace testsupport

#pragma once

#include "rksv/Component.h"

#include <memory>
#include <string>
#include <vector>

namespace rksv {

/**
 * The program's gateway to the signing component, for one task: Init, a few calls, Close. No call raises an
 * error: each gives the empty value of its result and leaves a German message in the message slots. The first
 * slot keeps the first message since it was last cleared (the root cause), the last slot the latest.
 *
 * The service is ready only with a working component, a company number of four characters, an AES key from the
 * component, and an AES basis equal to the one this installation stored the first time.
 */
class RKSV
{
public:
    RKSV() = default;
    explicit RKSV(void* owner);

    //! Opens the component named by the installation and derives the till's AES key.
    RKSV& Init(void* owner);
    //! Releases the component at once.
    RKSV& Close();

    bool accReady() const { return m_component != nullptr; }
    QUORVEX* accRKSV() const { return m_component.get(); }
    void* accOwner() const { return m_owner; }
    const std::string& accMsgFirst() const { return m_msgFirst; }
    const std::string& accMsgLast() const { return m_msgLast; }
    const std::string& accAes256() const { return m_aes256; }
    //! Upper-cased host product, company number and upper-cased host product, joined by "|".
    std::string accAesBasis() const;
    const std::string& accBase64() const { return m_base64; }
    const std::string& accChain() const { return m_chain; }
    void assBase64(const std::string& certificate) { m_base64 = certificate; }
    void assChain(const std::string& chain) { m_chain = chain; }
    const std::string& accReader() const { return m_reader; }
    const std::string& accJws() const { return m_jws; }
    const std::string& accImage() const { return m_image; }

    std::string ConvertJWSCompactToText(const std::string& jws);
    bool VerifyPin(const std::string& pin);
    long GetReadersCount();
    std::string GetReaderAt(long position);
    std::vector<std::string> GetCardReaders();
    std::string GetCardInReader();
    bool IsCardReaderPresent(const std::string& reader);
    bool IsCardNumberPresent(const std::string& card);
    bool GetCardCertificate();
    bool VerifyJws(const std::string& jws);
    std::string ExportJws(const std::vector<std::string>& jwsList);
    std::string ExportJwsDelimitedString(const std::string& jwsText);
    bool JwsToImage(const std::string& jws);
    //! Saves the QR image (`qr` true) or the second image under `file` as the given type ("BMP", "PNG").
    bool SaveImageToFile(bool qr, const std::string& file, const std::string& type);
    std::string GenerateAES256Key(const std::string& basis);

    //! Signs with the card in the current reader and the PIN of the card check; the JWS goes to accJws().
    bool SignReceipt(Component::Receipt receipt);
    bool SignTrainReceipt(Component::Receipt receipt);
    bool SignStornoReceipt(Component::Receipt receipt);
    //! Keeps the answer of a signing call; true only for a logical true with a JWS.
    bool MySignAnswer(bool result, const Component::Signed& answer);

    //! The PIN every signing call passes (set by the card check).
    void setPin(const std::string& pin) { m_pin = pin; }

    //! Records a failure message in the slots.
    void record(const std::string& message);
    void clearMessages();

private:
    Component::Receipt prepared(Component::Receipt receipt) const;

    std::unique_ptr<QUORVEX> m_component;
    void* m_owner = nullptr;
    std::string m_aes256;
    std::string m_pin;
    std::string m_msgFirst;
    std::string m_msgLast;
    long m_readerCount = 0;
    std::string m_reader;
    std::vector<std::string> m_readers;
    std::string m_cardInReader;
    std::string m_base64;
    std::string m_chain;
    std::string m_jws;
    std::string m_image;
    std::string m_secondImage;
};

} // namespace rksv

#pragma once

#include <memory>
#include <string>
#include <vector>

namespace rksv {

/**
 * The signing component: signature cards in readers, receipt signing, JWS texts and images. Every operation
 * answers with true/false (or an empty value) and fills its out values; on false the error text, where the
 * operation has one, says why in German. A receipt signed while the card's signature device had failed carries
 * the failure marker as its signature (see rksv/Jws.h). All texts are UTF-8.
 */
class Component
{
public:
    virtual ~Component() = default;

    //! Compact JWS → machine-readable code ("_R1-AT…").
    [[nodiscard]] virtual bool
    ConvertJWSCompactToText(const std::string& jws, std::string& text, std::string& error) = 0;
    [[nodiscard]] virtual bool VerifyPin(const std::string& reader, const std::string& pin) = 0;
    //! Why the last VerifyPin failed when the PIN was not simply wrong (a locked card, a damaged or unencrypted key);
    //! "" after a wrong PIN or a success.
    virtual std::string PinProblem() const = 0;
    //! Why the component reaches no reader at all (a module that cannot be opened or stopped answering); "" when it
    //! has no such trouble.
    virtual std::string DeviceProblem() const { return {}; }
    [[nodiscard]] virtual long GetReadersCount() = 0;
    //! Name of the reader at a position counted from 0; "" when there is none.
    [[nodiscard]] virtual std::string GetReaderAt(long position) = 0;
    [[nodiscard]] virtual std::vector<std::string> GetCardReaders() = 0;
    //! Number (certificate serial, hex) of the card in the reader; "" when there is none.
    [[nodiscard]] virtual std::string GetCardInReader(const std::string& reader) = 0;
    [[nodiscard]] virtual bool IsCardReaderPresent(const std::string& reader) = 0;
    [[nodiscard]] virtual bool IsCardNumberPresent(const std::string& card) = 0;
    //! The card's signing certificate (Base64 DER) and its issuing chain (Base64 DER certificates, ";"-separated).
    [[nodiscard]] virtual bool
    GetCardCertificate(const std::string& reader, std::string& certificate, std::string& chain) = 0;
    [[nodiscard]] virtual bool VerifyJWS(const std::string& jws, const std::string& certificate) = 0;
    //! The DEP export (JSON) of the receipts signed with the certificate.
    [[nodiscard]] virtual bool ExportJWS(const std::string& certificate,
                                         const std::string& chain,
                                         const std::vector<std::string>& jws,
                                         std::string& json) = 0;
    //! The same for receipts in one text, separated by any character a compact JWS cannot hold (line break,
    //! blank, ";", "," …).
    [[nodiscard]] virtual bool ExportJWSDelimitedString(const std::string& certificate,
                                                        const std::string& chain,
                                                        const std::string& jws,
                                                        std::string& json) = 0;
    //! The QR code of the receipt's machine-readable code as an image (encoded as Base64 of a BMP), and a second
    //! image (the same code as PNG).
    [[nodiscard]] virtual bool RKSVJwsToImage(const std::string& jws, std::string& image, std::string& secondImage) = 0;
    //! The first image of RKSVJwsToImage alone, for a caller that does not need the second.
    [[nodiscard]] virtual bool JwsToQrImage(const std::string& jws, std::string& image)
    {
        std::string secondImage;
        return RKSVJwsToImage(jws, image, secondImage);
    }
    //! Saves an image of RKSVJwsToImage; type "mime/bmp" or "mime/png".
    [[nodiscard]] virtual bool
    SaveImageToFile(const std::string& image, const std::string& file, const std::string& type) = 0;
    //! The receipt's QR image (the BMP of JwsToQrImage) saved as `file` in one call, as a till does for every
    //! receipt: a component that can, writes it without taking the detour through Base64.
    [[nodiscard]] virtual bool SaveQrImage(const std::string& jws, const std::string& file)
    {
        std::string image;
        return JwsToQrImage(jws, image) && SaveImageToFile(image, file, "mime/bmp");
    }
    //! A 44-character Base64 AES-256 key that depends on the basis alone.
    [[nodiscard]] virtual bool GenerateAes256Key(const std::string& basis, std::string& key, std::string& error) = 0;

    //! The fields of a receipt to sign; amounts as texts in receipt form ("12,50"), in the order Normal,
    //! Ermäßigt-1, Ermäßigt-2, Null, Besonders.
    struct Receipt
    {
        std::string kassa;
        std::string reader;
        std::string pin;
        std::string bonnr;
        std::string dateTime; //!< "DD.MM.YYYY hh:mm:ss" as the service passes it
        std::vector<std::string> amounts;
        std::string turnoverCounter; //!< cents, as text
        std::string previous;        //!< the previous receipt's compact JWS, or the till id for the first
        std::string aesKey;
    };
    struct Signed
    {
        std::string jws;
        std::string image;
        std::string secondImage;
        std::string error;
    };
    [[nodiscard]] virtual bool SignReceipt(const Receipt& receipt, Signed& out) = 0;
    [[nodiscard]] virtual bool SignTrainReceipt(const Receipt& receipt, Signed& out) = 0;
    [[nodiscard]] virtual bool SignStornoReceipt(const Receipt& receipt, Signed& out) = 0;
};

/**
 * Creates the signing component named by the installation ("Signatur" of INSTALLATION.INI: a name, optionally
 * followed by ":" and its settings); "" means the software signature unit with its readers in the folder
 * "Karten" of the working directory ("Software:<folder>" names another folder).
 * "PKCS11:<module>[;token=<label>][;vda=AT<n>]" names a PKCS#11 module (see Pkcs11Unit); a module that cannot be
 * loaded still gives the component, which then reports why on every signature. Nothing when the name is unknown or
 * its settings are malformed.
 */
[[nodiscard]] std::unique_ptr<Component> createComponent(const std::string& signatur);

//! The signing component as the signing service holds it: created by the installation's name for it, with the
//! open flag that tells whether it could be created.
class QUORVEX
{
public:
    explicit QUORVEX(const std::string& signatur)
        : m_component(createComponent(signatur))
    {}

    [[nodiscard]] bool fInit() const { return m_component != nullptr; }
    Component* operator->() const { return m_component.get(); }
    Component* get() const { return m_component.get(); }

private:
    std::unique_ptr<Component> m_component;
};

} // namespace rksv

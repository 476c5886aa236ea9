#pragma once

#include "rksv/Component.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace rksv {

/**
 * The built-in signing component: a folder whose sub-folders are the card readers. A reader holds a card when it has
 * `certificate.pem` (the signing certificate, EC P-256), `chain.pem` (the issuing certificates, may be missing) and
 * `key.pem` (the EC private key as PKCS#8 PEM, encrypted under the card PIN). A file `AUSGEFALLEN` in the reader folder
 * (any case) marks the card's signature device as failed: signing then returns the failure-marked JWS and true.
 *
 * Signing: Receipt::turnoverCounter is the counter BEFORE this receipt (cents); an ordinary receipt carries it plus
 * the sum of its five amounts, encrypted. Training and storno receipts carry their marker instead; the caller adds a
 * storno's amounts to its own counter (training receipts leave it unchanged). Receipt::amounts must hold exactly five
 * amounts. With a failed device the PIN is not checked (the device cannot check it), the card must still be present.
 *
 * DEP export: one group with the given certificate ("" allowed) and chain (";"-separated, "" for none); false when a
 * certificate is not Base64 DER or a receipt is not a well-formed compact JWS. The delimited form splits the text at
 * every character a compact JWS cannot hold (line break, blank, ';', ',' ...), since the format names no delimiter.
 *
 * Images: RKSVJwsToImage encodes the receipt's machine-readable code as a QR code (byte mode, error correction M,
 * 4 px per module, 4 modules quiet zone) and returns it as Base64 of a 1-bit BMP and Base64 of an 8-bit grey PNG;
 * false with both outputs empty for a JWS that is not well-formed. SaveImageToFile decodes such a Base64 image and
 * writes it atomically (temporary file, then rename) when the type ("mime/bmp" or "mime/png", any case) matches the
 * image's own format; false for an empty or undecodable image, a mismatching or unknown type, or a failed write.
 * SignReceipt and its siblings leave Signed::image and Signed::secondImage empty; callers make them here.
 *
 * Not thread-safe; every call reads the folder anew.
 */
class SoftwareUnit : public Component
{
public:
    //! The algorithm field of every receipt this unit signs (a test trust service provider number).
    static constexpr std::string_view ALGORITHM = "R1-AT100";
    //! Name of the failure marker file in a reader folder.
    static constexpr std::string_view FAILED_MARKER = "AUSGEFALLEN";

    //! The readers are the sub-folders of `folder` (made absolute now, so a later change of directory is harmless).
    explicit SoftwareUnit(const std::filesystem::path& folder);

    bool ConvertJWSCompactToText(const std::string& jws, std::string& text, std::string& error) override;
    bool VerifyPin(const std::string& reader, const std::string& pin) override;
    long GetReadersCount() override;
    std::string GetReaderAt(long position) override;
    std::vector<std::string> GetCardReaders() override;
    std::string GetCardInReader(const std::string& reader) override;
    bool IsCardReaderPresent(const std::string& reader) override;
    bool IsCardNumberPresent(const std::string& card) override;
    bool GetCardCertificate(const std::string& reader, std::string& certificate, std::string& chain) override;
    bool VerifyJWS(const std::string& jws, const std::string& certificate) override;
    bool ExportJWS(const std::string& certificate,
                   const std::string& chain,
                   const std::vector<std::string>& jws,
                   std::string& json) override;
    bool ExportJWSDelimitedString(const std::string& certificate,
                                  const std::string& chain,
                                  const std::string& jws,
                                  std::string& json) override;
    bool RKSVJwsToImage(const std::string& jws, std::string& image, std::string& secondImage) override;
    bool SaveImageToFile(const std::string& image, const std::string& file, const std::string& type) override;
    bool GenerateAes256Key(const std::string& basis, std::string& key, std::string& error) override;
    bool SignReceipt(const Receipt& receipt, Signed& out) override;
    bool SignTrainReceipt(const Receipt& receipt, Signed& out) override;
    bool SignStornoReceipt(const Receipt& receipt, Signed& out) override;

    const std::filesystem::path& folder() const { return m_folder; }

private:
    enum class Kind
    {
        Normal,
        Training,
        Storno
    };
    bool sign(const Receipt& receipt, Kind kind, Signed& out);
    //! The reader's folder when `reader` names one of the readers; empty otherwise.
    std::filesystem::path readerFolder(const std::string& reader);
    //! The card certificate in the reader folder, nullptr when there is none (kept while its file is unchanged).
    X509* cardCertificate(const std::filesystem::path& folder);
    //! The card key decrypted with the PIN, nullptr for a wrong PIN (kept while reader, PIN and key file stay).
    EVP_PKEY* cardKey(const std::filesystem::path& folder, const std::string& pin, X509* certificate);

    std::filesystem::path m_folder;
    // The last card key decrypted and the last certificate parsed.
    std::filesystem::path m_keyFolder;
    std::string m_keyPin;
    std::string m_keyText;
    std::shared_ptr<EVP_PKEY> m_key;
    std::filesystem::path m_certificateFolder;
    std::string m_certificateText;
    std::shared_ptr<X509> m_certificate;
};

//! "DD.MM.YYYY hh:mm:ss" → "YYYY-MM-DDThh:mm:ss"; "" unless the text is exactly of that form with a valid date.
std::string receiptDateTime(std::string_view text);

/**
 * Makes a test card in `readers/reader/`: certificate.pem, chain.pem and key.pem (PKCS#8, AES-256-CBC under `pin`).
 * The card certificate (EC P-256, serial `serialHex` or 16 random bytes when empty, valid from yesterday for five
 * years) is issued by a throwaway CA (EC P-256) kept in `caDir` (ca-certificate.pem, ca-key.pem; reused when present,
 * created otherwise; when `caDir` is empty the CA lives only for this call). Existing card files are overwritten.
 * On success `serial` holds the serial as GetCardInReader reports it; on failure `error` says why in German.
 */
bool createTestCard(const std::filesystem::path& readers,
                    const std::string& reader,
                    const std::string& pin,
                    const std::string& serialHex,
                    const std::filesystem::path& caDir,
                    std::string& serial,
                    std::string& error);

} // namespace rksv

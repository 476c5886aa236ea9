#pragma once

#include "rksv/format/Encoding.h"
#include "rksv/units/Component.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rksv {

/**
 * What every signing component with signature cards shares: the receipt's signed data (amounts, encrypted turnover
 * counter, chaining value, the card's certificate serial), the compact JWS around the card's signature, the failure
 * marker of a failed device, the DEP export, the QR images and the AES key. A card technology supplies three hooks:
 * the card in a reader, the signature with the card, and the rest of the Component interface that is about readers,
 * cards and PINs.
 *
 * Signing: Receipt::turnoverCounter is the counter BEFORE this receipt (cents); an ordinary receipt carries it plus
 * the sum of its five amounts, encrypted. Training and storno receipts carry their marker instead; the caller adds a
 * storno's amounts to its own counter (training receipts leave it unchanged). Receipt::amounts must hold exactly five
 * amounts. The receipt's algorithm field is the component's (`R1-<provider code>`).
 *
 * DEP export: one group with the given certificate ("" allowed) and chain (";"-separated, "" for none); false when a
 * certificate is not Base64 DER or a receipt is not a well-formed compact JWS. The delimited form splits the text at
 * every character a compact JWS cannot hold (line break, blank, ';', ',' ...), since the format names no delimiter.
 *
 * Images: RKSVJwsToImage encodes the receipt's machine-readable code as a QR code (byte mode, error correction M,
 * 4 px per module, 4 modules quiet zone) and returns it as Base64 of a 1-bit BMP and Base64 of an 8-bit grey PNG;
 * false with both outputs empty for a JWS that is not well-formed; JwsToQrImage makes the BMP alone, SaveQrImage
 * writes it straight to a file as SaveImageToFile would. SaveImageToFile
 * decodes such a Base64 image and writes it atomically (temporary file, then rename; flushed to the disk first unless
 * the file is in the system's temporary folder, where an image is only kept for printing) when the type ("mime/bmp"
 * or "mime/png", any case) matches the image's own format; false for an empty or undecodable image, a mismatching or
 * unknown type, or a failed write.
 * SignReceipt and its siblings leave Signed::image and Signed::secondImage empty; callers make them here.
 */
class CardComponent : public Component
{
public:
    //! `algorithm` is the algorithm field of every receipt the component signs, `R1-AT<n>`.
    explicit CardComponent(std::string algorithm);

    [[nodiscard]] bool ConvertJWSCompactToText(const std::string& jws, std::string& text, std::string& error) override;
    [[nodiscard]] bool VerifyJWS(const std::string& jws, const std::string& certificate) override;
    [[nodiscard]] bool ExportJWS(const std::string& certificate,
                                 const std::string& chain,
                                 const std::vector<std::string>& jws,
                                 std::string& json) override;
    [[nodiscard]] bool ExportJWSDelimitedString(const std::string& certificate,
                                                const std::string& chain,
                                                const std::string& jws,
                                                std::string& json) override;
    [[nodiscard]] bool RKSVJwsToImage(const std::string& jws, std::string& image, std::string& secondImage) override;
    [[nodiscard]] bool JwsToQrImage(const std::string& jws, std::string& image) override;
    [[nodiscard]] bool SaveQrImage(const std::string& jws, const std::string& file) override;
    [[nodiscard]] bool
    SaveImageToFile(const std::string& image, const std::string& file, const std::string& type) override;
    [[nodiscard]] bool GenerateAes256Key(const std::string& basis, std::string& key, std::string& error) override;
    [[nodiscard]] bool SignReceipt(const Receipt& receipt, Signed& out) override;
    [[nodiscard]] bool SignTrainReceipt(const Receipt& receipt, Signed& out) override;
    [[nodiscard]] bool SignStornoReceipt(const Receipt& receipt, Signed& out) override;

    //! The algorithm field of the receipts this component signs.
    const std::string& algorithm() const { return m_algorithm; }

protected:
    //! What the card made of the signing input.
    struct CardSignature
    {
        enum class Outcome
        {
            Signed,       //!< `signature` holds the raw R‖S (64 bytes)
            DeviceFailed, //!< the card's signature device has failed: the receipt carries the failure marker
            Refused       //!< `refusal` says why in German (wrong or locked PIN, unusable key …)
        };
        Outcome outcome = Outcome::Refused;
        Bytes signature;
        std::string refusal;
    };

    /**
     * The serial (lower-case hex, as GetCardInReader reports it) of the signing certificate of the card in the
     * reader. Nothing, with `refusal` in German, when there is no such reader or no card in it.
     */
    [[nodiscard]] virtual std::optional<std::string> cardSerial(const std::string& reader, std::string& refusal) = 0;
    //! Signs the JWS signing input (ASCII) with the key of the card in the reader, presenting the PIN when the card
    //! needs it. Called right after cardSerial for the same reader.
    [[nodiscard]] virtual CardSignature
    signWithCard(const std::string& reader, const std::string& pin, std::string_view input) = 0;

private:
    enum class Kind
    {
        Normal,
        Training,
        Storno
    };
    [[nodiscard]] bool sign(const Receipt& receipt, Kind kind, Signed& out);

    std::string m_algorithm;
};

//! "DD.MM.YYYY hh:mm:ss" → "YYYY-MM-DDThh:mm:ss"; "" unless the text is exactly of that form with a valid date.
[[nodiscard]] std::string receiptDateTime(std::string_view text);

} // namespace rksv

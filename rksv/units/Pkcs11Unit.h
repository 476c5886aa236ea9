#pragma once

#include "rksv/units/CardComponent.h"

#include <array>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace rksv {

class Pkcs11Module;

//! The settings of a PKCS#11 signing component, as "Signatur" of INSTALLATION.INI writes them after "PKCS11:".
struct Pkcs11Settings
{
    //! The provider code of the algorithm field when the settings name none: A-Trust, which issues most of the
    //! signature cards Austrian tills use.
    static constexpr std::string_view DEFAULT_VDA_ID = "AT1";

    //! The longest time limit a module's call may be given, in seconds.
    static constexpr int MAX_TIME_LIMIT_SECONDS = 3600;

    std::string module;                              //!< path of the PKCS#11 module
    std::string token;                               //!< token label the readers are limited to; "" for every slot
    std::string vdaId = std::string(DEFAULT_VDA_ID); //!< provider code of the card's certificate (`AT<n>`)
    //! how long one call of the module may take before the device counts as failed
    std::chrono::milliseconds timeLimit = std::chrono::seconds(30);
};

/**
 * `<module path>[;token=<label>][;vda=AT<n>][;wartezeit=<seconds>]`: the module, optionally the label of the only
 * token to use, the provider code of its certificate and the time limit of a call of the module (1 to 3600 seconds,
 * 30 when not given). Nothing for an empty module path, an unknown or repeated setting, a provider code not of the
 * form AT<n>, or a time limit out of its range.
 */
[[nodiscard]] std::optional<Pkcs11Settings> parsePkcs11Settings(std::string_view text);

/**
 * The signing component of signature cards and HSMs behind a PKCS#11 module (OpenSC for smart cards, an HSM vendor's
 * module, SoftHSM2): a reader is a slot, named by its slot description without PKCS#11's blank padding; with a token
 * label in the settings only slots holding that token count. The card in a reader is the token's signing certificate
 * (the X.509 certificate whose CKA_ID is that of an EC key on the token), reported by its serial in lower-case hex;
 * the other certificates on the token form its chain, from the certificate's issuer upwards. The receipts' algorithm
 * field is `R1-<vdaId>`; the AES key stays the installation's.
 *
 * PIN: one login per card session. VerifyPin presents the PIN to the token (C_Login as user) unless the card's session
 * is still logged in with the same PIN; signing logs in only when the card's session is not logged in yet. One session
 * per card is kept while the card stays in its reader; the PIN is never kept (the buffer handed to the module is
 * wiped; a salted digest tells it again). The token counts wrong PINs: a locked PIN (CKR_PIN_LOCKED or
 * CKF_USER_PIN_LOCKED) is reported through PinProblem, the PIN is then not presented at all.
 *
 * Signing: the token's EC key must be on P-256 (CKA_EC_PARAMS); it signs the SHA-256 digest of the JWS input
 * (CKM_ECDSA) or the input itself (CKM_ECDSA_SHA256) when the token offers only that. A token that answers
 * CKR_DEVICE_ERROR or CKR_DEVICE_MEMORY has failed: the receipt carries the failure marker.
 *
 * Cards taken out and put back: a token that disappears (CKR_DEVICE_REMOVED, CKR_TOKEN_NOT_PRESENT, a closed
 * session, or a token that no longer answers) ends the card's session. Modules that read their tokens once at
 * initialisation (SoftHSM2) are initialised again when a slot's token is gone, and at every look at all readers
 * (GetCardReaders, GetReadersCount) while a card that was there is missing, until a receipt is signed again.
 *
 * The module is loaded when a card, a reader or a PIN is first asked for. A module that cannot be loaded leaves the
 * component without readers; its reason is the refusal of every signature and the PIN problem of every PIN check. A
 * module that does not answer a call within the time limit (Pkcs11Module::call) has failed for the rest of the run:
 * a receipt signed since carries the failure marker, and the card checks and PIN checks are refused with the
 * module's message. Not thread-safe.
 */
class Pkcs11Unit : public CardComponent
{
public:
    //! The name of the component in "Signatur" of INSTALLATION.INI.
    static constexpr std::string_view NAME = "PKCS11";

    explicit Pkcs11Unit(Pkcs11Settings settings);
    ~Pkcs11Unit() override;
    Pkcs11Unit(const Pkcs11Unit&) = delete;
    Pkcs11Unit& operator=(const Pkcs11Unit&) = delete;

    //! Why the module could not be opened; "" when it is open or was not needed yet.
    const std::string& openError() const { return m_openError; }

    [[nodiscard]] bool VerifyPin(const std::string& reader, const std::string& pin) override;
    std::string PinProblem() const override { return m_pinProblem; }
    //! openError(), or the module's stall once a call did not answer in time.
    std::string DeviceProblem() const override;
    [[nodiscard]] long GetReadersCount() override;
    [[nodiscard]] std::string GetReaderAt(long position) override;
    [[nodiscard]] std::vector<std::string> GetCardReaders() override;
    [[nodiscard]] std::string GetCardInReader(const std::string& reader) override;
    [[nodiscard]] bool IsCardReaderPresent(const std::string& reader) override;
    [[nodiscard]] bool IsCardNumberPresent(const std::string& card) override;
    [[nodiscard]] bool
    GetCardCertificate(const std::string& reader, std::string& certificate, std::string& chain) override;

protected:
    [[nodiscard]] std::optional<std::string> cardSerial(const std::string& reader, std::string& refusal) override;
    [[nodiscard]] CardSignature
    signWithCard(const std::string& reader, const std::string& pin, std::string_view input) override;

private:
    //! A slot as a reader.
    struct Slot
    {
        unsigned long id = 0;
        std::string reader;
        bool token = false;    //!< a token is present and initialised
        std::string tokenMark; //!< what tells one token from another: its serial and label
    };
    //! The card in a reader as this component last found it, with its session.
    struct Card
    {
        unsigned long slot = 0;
        unsigned long generation = 0; //!< of the module when the session was opened
        std::string tokenMark;
        unsigned long session = 0;
        bool loggedIn = false;
        std::array<unsigned char, 32> pinDigest{}; //!< of the PIN the session logged in with (pinDigest)
        std::string serial;
        std::string certificate; //!< Base64 DER
        std::string chain;       //!< Base64 DER certificates, ";"-separated
        std::vector<unsigned char> id;
        bool p256 = false;
        bool keyFound = false;
        unsigned long key = 0;
        unsigned long mechanism = 0;
    };
    enum class Login
    {
        Accepted,
        WrongPin,
        Refused
    };

    //! The readers; initialises the module again when a slot's token is gone, and first (`lookForMissing`) while a
    //! card that was there is missing.
    std::vector<Slot> listSlots(bool lookForMissing);
    std::vector<std::string> readerNames(bool lookForMissing);
    [[nodiscard]] bool readSlots(std::vector<Slot>& slots);
    //! The card in the reader, looked up anew (`check`) or as last found; nullptr with `refusal` when there is none.
    Card* card(const std::string& reader, bool check, std::string& refusal);
    [[nodiscard]] bool readCard(Card& card, std::string& refusal);
    //! Presents the PIN; `logoutFirst` makes the token check it even when the session is logged in already.
    Login login(const std::string& reader, Card& card, const std::string& pin, bool logoutFirst, std::string& refusal);
    [[nodiscard]] bool findKey(Card& card, std::string& refusal);
    //! The PIN's digest under this component's random salt: what tells the PIN of a login again without keeping it.
    [[nodiscard]] std::array<unsigned char, 32> pinDigest(const std::string& pin) const;
    void forget(const std::string& reader, bool missing);
    [[nodiscard]] std::string inReader(const std::string& reader) const;

    //! Loads and initialises the module when first needed, not when the component is made: the signing service is
    //! made for the installation's AES key alone too ("Aus RKSV einfügen", the DEP check), which needs no card.
    void openModule();

    Pkcs11Settings m_settings;
    bool m_opened = false;
    std::shared_ptr<Pkcs11Module> m_module;
    std::string m_openError;
    std::string m_pinProblem;
    std::array<unsigned char, 16> m_pinSalt{};
    std::map<std::string, Card> m_cards;
    //! Readers whose card went away; while there are any, every look at the readers makes the module look again.
    std::set<std::string> m_missing;
};

} // namespace rksv

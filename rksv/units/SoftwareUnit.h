#pragma once

#include "rksv/format/Jws.h"
#include "rksv/units/CardComponent.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
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
 * Receipts, DEP export and images: see CardComponent. With a failed device the PIN is not checked (the device
 * cannot check it), the card must still be present.
 *
 * PIN: VerifyPin and signing present the PIN to the card once per card session: the key decrypted with it is kept per
 * card (by its serial) while reader, PIN and key file stay the same, so further calls, and the looks at other readers
 * in between, cost no derivation and no counter access. The key file is encrypted under a scrypt derivation of the PIN
 * (about 0.16 s a PIN), and the card counts wrong PINs in a row in the file `PIN-FEHLER` of its reader folder: the
 * third locks the card, which then refuses the right PIN as well until it is unlocked (unlockCard, `quorvex-card
 * --unlock`); a right PIN before that starts the count again. An empty PIN is not presented and not counted. The count
 * is raised before each check and cleared after a right PIN; a session ends only when its card is locked (by wrong
 * PINs presented here or elsewhere), leaves its reader or gets another key, so stations sharing a reader folder do
 * not end each other's sessions.
 *
 * Looks at a reader: the reader folder's files (certificate, key, failure marker, PIN count) are looked at when a
 * reader is first used and again after the folder changed (the unit watches each reader folder it has looked at, with
 * inotify; without a watch it looks every time) or a signature failed. A signature in a card session therefore reads
 * nothing but the watch, and a failure marker set between two receipts is still seen at the second.
 *
 * Not thread-safe.
 */
class SoftwareUnit : public CardComponent
{
public:
    //! The algorithm field of every receipt this unit signs: suite R1 with the unit's provider code.
    static constexpr std::string_view ALGORITHM = "R1-AT99";
    //! The provider code (`vda_id` towards FinanzOnline) of the unit's cards: a code of the form FinanzOnline accepts
    //! that no real trust service provider holds.
    static constexpr std::string_view VDA_ID = "AT99";
    //! Name of the failure marker file in a reader folder.
    static constexpr std::string_view FAILED_MARKER = "AUSGEFALLEN";
    //! Name of the file in a reader folder that counts the wrong PINs presented in a row (owner-only).
    static constexpr std::string_view PIN_ERROR_FILE = "PIN-FEHLER";
    //! Wrong PINs in a row that lock a card.
    static constexpr int PIN_TRIES = 3;

    //! The readers are the sub-folders of `folder` (made absolute now, so a later change of directory is harmless).
    explicit SoftwareUnit(const std::filesystem::path& folder);
    ~SoftwareUnit() override;
    SoftwareUnit(const SoftwareUnit&) = delete;
    SoftwareUnit& operator=(const SoftwareUnit&) = delete;

    //! The PINs this process has presented to the card in the reader folder (key derivations), for statistics.
    [[nodiscard]] static long pinChecks(const std::filesystem::path& readerFolder);

    [[nodiscard]] bool VerifyPin(const std::string& reader, const std::string& pin) override;
    std::string PinProblem() const override { return m_pinProblem; }
    [[nodiscard]] long GetReadersCount() override;
    [[nodiscard]] std::string GetReaderAt(long position) override;
    [[nodiscard]] std::vector<std::string> GetCardReaders() override;
    [[nodiscard]] std::string GetCardInReader(const std::string& reader) override;
    [[nodiscard]] bool IsCardReaderPresent(const std::string& reader) override;
    [[nodiscard]] bool IsCardNumberPresent(const std::string& card) override;
    [[nodiscard]] bool
    GetCardCertificate(const std::string& reader, std::string& certificate, std::string& chain) override;

    const std::filesystem::path& folder() const { return m_folder; }

protected:
    [[nodiscard]] std::optional<std::string> cardSerial(const std::string& reader, std::string& refusal) override;
    [[nodiscard]] CardSignature
    signWithCard(const std::string& reader, const std::string& pin, std::string_view input) override;

private:
    //! What the last look at a reader folder found.
    struct Reader
    {
        std::filesystem::path folder;
        int watch = -1;     //!< the inotify watch of the folder; -1: none, look every time
        bool fresh = false; //!< looked at since the folder last changed
        std::string certificateStamp;
        std::shared_ptr<X509> certificate;
        std::string serial;
        std::string keyStamp;
        bool failed = false; //!< the failure marker, in any case
        bool locked = false; //!< three wrong PINs in a row
    };
    //! A card whose PIN was accepted: its key, while reader folder, PIN and key file stay.
    struct Session
    {
        std::filesystem::path folder;
        std::string pin;
        std::string keyStamp;
        std::shared_ptr<EVP_PKEY> key;
        std::shared_ptr<Es256Signer> signer; //!< with the key
    };

    //! The reader as last looked at, looked at anew when its folder may have changed (the watch read first unless
    //! `readWatch` is false: it was read a moment ago); nullptr when `reader` names no reader folder.
    Reader* look(const std::string& reader, bool readWatch = true);
    //! Reads the watch's news: each reader folder that changed is looked at again on its next use.
    void readWatchEvents();
    void dropWatch(Reader& reader);
    /**
     * The signer with the key of the reader's card decrypted with the PIN (kept for the card's session). nullptr for a
     * missing or wrong PIN, a locked card, an unusable key file or a counter that cannot be written; `refusal` then
     * says why in German.
     */
    [[nodiscard]] const Es256Signer* cardKey(Reader& reader, const std::string& pin, std::string& refusal);

    std::filesystem::path m_folder;
    std::string m_pinProblem;
    int m_inotify = -1;
    std::map<std::string, Reader> m_readers;   //!< by reader name
    std::map<std::string, Session> m_sessions; //!< by card serial
};

//! Who issues a test card: the root CA itself, or an intermediate CA that the root CA issues.
enum class TestCardIssuer
{
    RootCa,
    IntermediateCa
};

/**
 * Makes a test card in `readers/reader/`: certificate.pem, chain.pem and key.pem (PKCS#8, AES-256-CBC under a scrypt
 * derivation of `pin`). The card certificate (EC P-256, serial `serialHex` or 16 random bytes when empty, valid from
 * yesterday for five years) is issued by a throwaway root CA (EC P-256) kept in `caDir` (ca-certificate.pem,
 * ca-key.pem; reused when present, created otherwise; when `caDir` is empty the CA lives only for this call), or with
 * `IntermediateCa` by an intermediate CA that root issues, kept beside it (intermediate-certificate.pem,
 * intermediate-key.pem); chain.pem then holds the intermediate, then the root. Existing card files are replaced and
 * the card's count of wrong PINs starts at 0. Key files are written owner-only (0600), certificates 0644, whatever
 * the umask. On success `serial` holds the serial as GetCardInReader reports it; on failure `error` says why in German.
 */
[[nodiscard]] bool createTestCard(const std::filesystem::path& readers,
                                  const std::string& reader,
                                  const std::string& pin,
                                  const std::string& serialHex,
                                  const std::filesystem::path& caDir,
                                  std::string& serial,
                                  std::string& error,
                                  TestCardIssuer issuer = TestCardIssuer::RootCa);

/**
 * Unlocks the card in `readers/reader/` that three wrong PINs locked: its count of wrong PINs starts at 0 again.
 * False with `error` in German when there is no such reader or the count cannot be removed.
 */
[[nodiscard]] bool unlockCard(const std::filesystem::path& readers, const std::string& reader, std::string& error);

} // namespace rksv
